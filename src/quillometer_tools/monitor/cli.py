"""Command line of the monitor (`quillometer-monitor`)."""

from __future__ import annotations


def main(argv: list[str] | None = None) -> int:
    raise SystemExit("quillometer-monitor: not built yet")
