"""A real RabbitMQ cluster with its MQTT plugin on 127.0.0.1, for the failover tests and benchmark.

    with RabbitCluster(nodes=3, durable_queue_type="quorum") as cluster:
        sdk.init("id", cluster.addresses[0], "tcp", cluster.user, cluster.password,
                 failoverHosts=cluster.addresses[1:])
        cluster.kill(0)    # SIGKILL to that node's own Erlang VM

Each node runs from Debian's package by hand: the scripts in the package's own library folder (the
wrappers on PATH switch to the rabbitmq user and its home), with its own name, free ports, data and
log folders and rabbitmq.conf in a temporary folder. The nodes share an Erlang cookie and a private
port mapper (ERL_EPMD_PORT, bound to 127.0.0.1); node and CLI distribution listen on 127.0.0.1 only.
The first node is the seed; the others join it with `rabbitmqctl join_cluster`. A user with full
permissions on "/" is added with rabbitmqctl.

durable_queue_type: None keeps RabbitMQ's default (classic queues, which live on one node);
"quorum" makes each non-clean MQTT session's queue a quorum queue replicated on every node.
"""

from __future__ import annotations

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from harness import free_port

DIST_ARGS = "-kernel inet_dist_use_interface {127,0,0,1}"


def rabbit_sbin() -> Path:
    """The package's own scripts (not Debian's user-switching wrappers on PATH)."""
    found = sorted(glob.glob("/usr/lib/rabbitmq/lib/rabbitmq_server-*/sbin"))
    if not found:
        raise RuntimeError("rabbitmq-server is not installed: run 'make setup'")
    return Path(found[-1])


class RabbitNode:
    def __init__(self, cluster: RabbitCluster, index: int):
        self.cluster = cluster
        self.index = index
        self.name = f"movra{index}-{cluster.epmd_port}@localhost"
        self.amqp_port = free_port()
        self.dist_port = free_port()
        self.mqtt_port = free_port()
        self.dir = cluster.dir / f"node{index}"
        self.dir.mkdir()
        self.config = self.dir / "rabbitmq.conf"
        lines = [
            f"listeners.tcp.default = 127.0.0.1:{self.amqp_port}",
            f"mqtt.listeners.tcp.default = 127.0.0.1:{self.mqtt_port}",
            "mqtt.allow_anonymous = false",
            "loopback_users = none",
            "log.console = false",
            "log.file.level = warning",
        ]
        if cluster.durable_queue_type:
            lines.append(f"mqtt.durable_queue_type = {cluster.durable_queue_type}")
        self.config.write_text("\n".join(lines) + "\n")
        self.process: subprocess.Popen | None = None

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.mqtt_port}"

    def env(self) -> dict[str, str]:
        env = dict(self.cluster.base_env)
        env.update(
            RABBITMQ_NODENAME=self.name,
            RABBITMQ_NODE_IP_ADDRESS="127.0.0.1",
            RABBITMQ_NODE_PORT=str(self.amqp_port),
            RABBITMQ_DIST_PORT=str(self.dist_port),
            RABBITMQ_MNESIA_BASE=str(self.dir / "mnesia"),
            RABBITMQ_LOG_BASE=str(self.dir / "log"),
            RABBITMQ_CONFIG_FILE=str(self.config),
            RABBITMQ_ENABLED_PLUGINS_FILE=str(self.dir / "enabled_plugins"),
            RABBITMQ_PID_FILE=str(self.dir / "pid"),
        )
        return env

    def start(self) -> None:
        (self.dir / "enabled_plugins").write_text("[rabbitmq_mqtt].\n")
        with open(self.dir / "stdout.log", "ab") as log:
            self.process = subprocess.Popen(
                [str(rabbit_sbin() / "rabbitmq-server")],
                env=self.env(),
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                # The VM writes its crash dumps (erl_crash.dump, MnesiaCore.*) where it runs.
                cwd=self.dir,
            )

    def ctl(self, *args: str, timeout: float = 60) -> str:
        done = subprocess.run(
            [str(rabbit_sbin() / "rabbitmqctl"), "-n", self.name, *args],
            env=self.env(),
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=self.dir,
        )
        if done.returncode != 0:
            raise RuntimeError(f"rabbitmqctl {' '.join(args)}: {done.stdout}{done.stderr}")
        return done.stdout

    def wait_ready(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        # await_startup fails at once while the VM has not registered with the port mapper yet.
        while True:
            if self.process is not None and self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited:\n{self.output()}")
            try:
                self.ctl("await_startup", "--timeout", str(int(timeout)), timeout=timeout + 15)
                break
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.mqtt_port), timeout=0.5):
                    return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} does not listen for MQTT on {self.address}")

    def output(self) -> str:
        return (self.dir / "stdout.log").read_text(errors="replace")[-4000:]

    def vm_pid(self) -> int:
        """The node's own Erlang VM (the script's process is a shell that execs it)."""
        return int((self.dir / "pid").read_text().split()[0])

    def kill(self) -> None:
        """SIGKILL to the node's VM: a crash, nothing said to the peers or the clients."""
        try:
            os.kill(self.vm_pid(), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        if self.process is not None:
            # A node killed before it wrote its pid file: its whole process group (the script and
            # the VM it started; start_new_session made the group).
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except OSError:
                    pass
                self.process.wait()
            self.process = None

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None


class RabbitCluster:
    user = "movra"
    password = "movra-cluster"

    def __init__(self, nodes: int = 3, *, durable_queue_type: str | None = "quorum"):
        self.dir = Path(tempfile.mkdtemp(prefix="movra-rabbit-"))
        self.durable_queue_type = durable_queue_type
        self.epmd_port = free_port()
        home = self.dir / "home"
        home.mkdir()
        cookie = home / ".erlang.cookie"
        cookie.write_text(os.urandom(16).hex().upper())
        cookie.chmod(0o400)
        empty = self.dir / "rabbitmq-env.conf"
        empty.write_text("")
        self.base_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": str(home),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "RABBITMQ_CONF_ENV_FILE": str(empty),
            "RABBITMQ_USE_LONGNAME": "false",
            "ERL_EPMD_ADDRESS": "127.0.0.1",
            "ERL_EPMD_PORT": str(self.epmd_port),
            "RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS": DIST_ARGS,
            "RABBITMQ_CTL_ERL_ARGS": DIST_ARGS,
        }
        self.nodes = [RabbitNode(self, i) for i in range(nodes)]

    @property
    def addresses(self) -> list[str]:
        return [node.address for node in self.nodes]

    def start(self, timeout: float = 90) -> RabbitCluster:
        for node in self.nodes:
            node.start()
        with ThreadPoolExecutor(len(self.nodes)) as pool:
            list(pool.map(lambda node: node.wait_ready(timeout), self.nodes))
        seed = self.nodes[0]

        def join(node: RabbitNode) -> None:
            node.ctl("stop_app")
            node.ctl("join_cluster", seed.name)
            node.ctl("start_app")
            node.wait_ready(timeout)

        # One at a time: concurrent joins race on the cluster's schema.
        for node in self.nodes[1:]:
            join(node)
        seed.ctl("add_user", self.user, self.password)
        seed.ctl("set_permissions", "-p", "/", self.user, ".*", ".*", ".*")
        return self

    def kill(self, index: int) -> None:
        self.nodes[index].kill()

    def restart(self, index: int, timeout: float = 90) -> None:
        """Starts a killed node again on its ports and data: it rejoins the cluster by itself."""
        node = self.nodes[index]
        if node.running():
            return
        node.start()
        node.wait_ready(timeout)

    def close(self) -> None:
        for node in self.nodes:
            node.kill()
        # The private port mapper the first node started; nothing else uses its port.
        subprocess.run(
            ["epmd", "-port", str(self.epmd_port), "-kill"],
            env=self.base_env,
            capture_output=True,
            timeout=10,
            cwd=self.dir,
        )
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> RabbitCluster:
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc) -> None:
        self.close()


if __name__ == "__main__":
    started = time.monotonic()
    with RabbitCluster() as c:
        print(f"cluster of {len(c.nodes)} up in {time.monotonic() - started:.1f}s: {c.addresses}")
        print(c.nodes[0].ctl("cluster_status"))
