"""Entry point of the `quillometer-ray` command. The command is installed with the package,
Ray only with its `ray` extra: without Ray it says so in one line instead of a traceback."""

from __future__ import annotations

import importlib.util
import sys
from collections.abc import Sequence

from quillometer_tools.command import Exit


def main(argv: Sequence[str] | None = None) -> int:
    # Found, not imported: the command imports Ray only once it has set up the environment.
    if importlib.util.find_spec("ray") is None:
        print(
            "quillometer-ray: Ray is not installed: pip install 'quillometer[ray]'", file=sys.stderr
        )
        return Exit.INPUT
    from quillometer_tools.ray.cli import main as ray_main

    return ray_main(argv)
