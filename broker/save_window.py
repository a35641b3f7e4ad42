"""What a persistent mosquitto's log says about a QoS 1 message that never reached its subscriber.

mosquitto answers a PUBLISH with its PUBACK at once, while it handles the packet, and saves its
database (autosave_on_changes) only after its loop has handled every ready socket. A message the
broker acknowledged and could not hand to the subscriber at once (the subscriber offline, or its
window of unacknowledged messages full) lives only in the broker's memory until that save ends;
SIGKILL in between loses it, although the publisher was told it was delivered. Such a loss is the
broker's, not the publisher's, and a test or benchmark that kills the broker must tell the two
apart.

For that the broker logs every packet (`log_type all`, to standard error, which is unbuffered, so a
SIGKILL loses no line), each message has a topic of its own (topic/<number>), and mark() writes a
marker line into the same file after each kill. mosquitto logs "Saving in-memory database" when a
save begins; its loop is single-threaded, so any line logged after that one shows the save ended.

Each lost message gets one verdict:
- "not received": the broker never logged its PUBLISH (the publisher's loss);
- "not acknowledged": received, but no PUBACK for it was logged (the publisher must not have taken
  it as delivered);
- "unsaved at a kill": acknowledged, then the broker was killed before a save begun after the
  acknowledgement ended (the broker's loss);
- "saved" (or "unsaved at the end", the log ending without a kill): acknowledged and kept, yet never
  delivered: unexplained.
"""

from __future__ import annotations

import os
import re
import time
from pathlib import Path

from broker.harness import Broker

KILL_MARKER = "movra: killed"
START_MARKER = "movra: starting"
SAVING = "Saving in-memory database"
_RECEIVED = re.compile(r"Received PUBLISH from (\S+) \(d(\d), q\d, r\d, m(\d+), '([^']*)'")
_PUBACK = re.compile(r"Sending PUBACK to (\S+) \(m(\d+),")
_SENT = re.compile(r"Sending PUBLISH to (\S+) \(d\d, q\d, r\d, m(\d+), '([^']*)'")

# From the best-kept copy to the worst: a message the broker received more than once is judged by
# the best.
_RANKED = ("saved", "unsaved at the end", "unsaved at a kill", "not acknowledged", "not received")
# The verdicts that put a loss on the broker, not on the publisher.
BROKER_VERDICTS = frozenset({"unsaved at a kill"})


def persistent_broker(data: Path) -> Broker:
    """A broker (not started) that keeps sessions and queued messages in `data` across kills,
    saved after every change (autosave_on_changes with an interval of 1), with no limit on queued
    messages and every packet logged. Started by root, mosquitto would otherwise give up root for a
    user that cannot write to `data`."""
    run_as = ["user root"] if os.geteuid() == 0 else []
    return Broker(
        log_verbose=True,
        extra=[
            *run_as,
            "persistence true",
            f"persistence_location {data}/",
            "autosave_on_changes true",
            "autosave_interval 1",
        ],
    )


def mark(broker: Broker, text: str) -> None:
    """Writes a marker line (KILL_MARKER after a kill, START_MARKER before a start) with the
    wall-clock time into the broker's log."""
    with open(broker.log, "a") as log:
        log.write(f"{text} {time.time():.3f}\n")


def acknowledged(log: str, topic: str, publisher: str) -> set[int]:
    """The numbers n whose PUBLISH on topic/n from `publisher` the broker answered with a PUBACK
    of the same packet identifier (a kill forgets the PUBLISHes still unanswered)."""
    unanswered: dict[str, str] = {}  # packet identifier -> topic
    numbers: set[int] = set()
    prefix = topic + "/"
    for line in log.splitlines():
        if line.startswith(KILL_MARKER):
            unanswered.clear()
        elif (received := _RECEIVED.search(line)) and received[1] == publisher:
            unanswered[received[3]] = received[4]
        elif (ack := _PUBACK.search(line)) and ack[1] == publisher:
            answered = unanswered.pop(ack[2], "")
            if answered.startswith(prefix) and answered[len(prefix) :].isdigit():
                numbers.add(int(answered[len(prefix) :]))
    return numbers


def _after_ack(lines: list[str], start: int) -> str:
    """Whether a save begun after line `start` ended before the next kill."""
    saving = False
    for line in lines[start + 1 :]:
        if line.startswith(KILL_MARKER):
            return "unsaved at a kill"
        if SAVING in line:
            saving = True
        elif saving and not line.startswith(START_MARKER):
            return "saved"
    return "saved" if saving else "unsaved at the end"


def explain(log: str, topic: str, publisher: str, number: int) -> dict:
    """The verdict on message `number`, published by client `publisher` on topic/number, with the
    log lines behind it: its receipts and acknowledgements, the lines up to the next kill, and
    each time the broker sent it on."""
    lines = log.splitlines()
    wanted = f"{topic}/{number}"
    verdicts, evidence = {"not received"}, []
    for i, line in enumerate(lines):
        received = _RECEIVED.search(line)
        if received is None or received[1] != publisher or received[4] != wanted:
            continue
        evidence.append(line)
        mid = received[3]
        ack = next(
            (
                j
                for j in range(i + 1, len(lines))
                if (m := _PUBACK.search(lines[j])) and m[1] == publisher and m[2] == mid
            ),
            None,
        )
        if ack is None:
            verdicts.add("not acknowledged")
            continue
        evidence.append(lines[ack])
        verdicts.add(_after_ack(lines, ack))
        kill = next((j for j in range(ack, len(lines)) if lines[j].startswith(KILL_MARKER)), None)
        if kill is not None:
            evidence.extend(lines[max(ack + 1, kill - 2) : kill + 1])
    for line in lines:
        if (sent := _SENT.search(line)) and sent[3] == wanted:
            evidence.append(line)
    verdict = next(v for v in _RANKED if v in verdicts)
    return {"number": number, "verdict": verdict, "log": list(dict.fromkeys(evidence))}
