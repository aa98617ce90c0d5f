"""Command line of the scale-out layer (`quillometer-ray`)."""

from __future__ import annotations


def main(argv: list[str] | None = None) -> int:
    raise SystemExit("quillometer-ray: not built yet")
