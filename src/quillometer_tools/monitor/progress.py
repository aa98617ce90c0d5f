"""A one-line progress report on standard error, shown only on a terminal."""

from __future__ import annotations

import sys
import time
from typing import TextIO


class Progress:
    """Rewrites one status line at most four times a second; nothing when disabled."""

    def __init__(self, enabled: bool, stream: TextIO = sys.stderr) -> None:
        self.enabled = enabled and stream.isatty()
        self.stream = stream
        self.started = time.monotonic()
        self.shown = 0.0
        self.visible = False

    def rows(self, rows: int, fraction: float | None) -> None:
        """Called every few thousand rows."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.shown < 0.25:
            return
        self.shown = now
        rate = rows / max(now - self.started, 1e-9)
        share = f" ({fraction:.0%})" if fraction is not None else ""
        self.status(f"streaming: {rows:,} rows{share}, {rate:,.0f} rows/s")

    def status(self, text: str) -> None:
        if self.enabled:
            self.stream.write(f"\r\x1b[K{text}")
            self.stream.flush()
            self.visible = True

    def clear(self) -> None:
        """Removes the line, before other output or at the end."""
        if self.visible:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.visible = False
