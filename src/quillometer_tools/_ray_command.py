"""Entry point of the `quillometer-ray` command. The command is installed with the package,
Ray only with its `ray` extra: without Ray it says so in one line instead of a traceback."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from quillometer_tools.command import Exit


def main(argv: Sequence[str] | None = None) -> int:
    try:
        from quillometer_tools.ray.cli import main as ray_main
    except ModuleNotFoundError as error:
        if error.name == "ray" or (error.name or "").startswith("ray."):
            print("quillometer-ray: Ray is not installed: pip install 'quillometer[ray]'",
                  file=sys.stderr)
            return Exit.INPUT
        print(f"quillometer-ray: internal error: ModuleNotFoundError: {error}", file=sys.stderr)
        return Exit.INTERNAL
    return ray_main(argv)
