"""Checks that every relative link of README.md and docs/*.md leads somewhere: the file exists and,
for a link with #anchor into a Markdown page, the page has a heading of that anchor. And that the
README links every page of docs/, so none is out of a reader's reach.

    .venv/bin/python scripts/check_links.py     # run by `make lint`; exit status 1 on a dead link
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LINK = re.compile(r"\[[^\]]*\]\(([^()\s]+)\)")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose(text: str) -> list[str]:
    """The lines outside fenced code, with inline code taken out."""
    lines, fenced = [], False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            lines.append(re.sub(r"`[^`]*`", "", line))
    return lines


def anchors(text: str) -> set[str]:
    """The anchors a Markdown renderer gives the page's headings (GitHub's way: lower case, no
    punctuation but '-' and '_', spaces as '-', a repeated one numbered)."""
    seen: dict[str, int] = {}
    out = set()
    in_fence = False
    for line in text.splitlines():
        if FENCE.match(line):
            in_fence = not in_fence
            continue
        heading = None if in_fence else re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        out.add(slug if count == 0 else f"{slug}-{count}")
    return out


def relative_links(page: Path) -> list[str]:
    return [
        target
        for line in prose(page.read_text())
        for target in LINK.findall(line)
        if not re.match(r"[a-z][a-z0-9+.-]*:", target)  # https:, mailto:, ...
    ]


def dead_links(page: Path) -> list[str]:
    dead = []
    for target in relative_links(page):
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists():
            dead.append(f"{page.relative_to(ROOT)}: {target}: no such file")
        elif anchor and file.suffix == ".md" and anchor not in anchors(file.read_text()):
            dead.append(f"{page.relative_to(ROOT)}: {target}: no such heading")
    return dead


def main() -> int:
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    dead = [line for page in pages for line in dead_links(page)]
    linked = {(ROOT / t.partition("#")[0]).resolve() for t in relative_links(pages[0])}
    dead += [f"README.md: no link to {p.relative_to(ROOT)}" for p in pages[1:] if p not in linked]
    for line in dead:
        print(f"links: {line}", file=sys.stderr)
    return 1 if dead else 0


if __name__ == "__main__":
    sys.exit(main())
