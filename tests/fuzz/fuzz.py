#!/usr/bin/env python
"""Coverage-guided fuzzing of quillometer with atheris (libFuzzer under the hood).

    python tests/fuzz/fuzz.py [libFuzzer flags] CORPUS_DIR [MORE_DIRS...]
    python tests/fuzz/fuzz.py --replay FILE...     (runs saved inputs, reports shown)

Each input is decoded by program.py into a short program of calls whose every outcome is checked
against the model; a failed check, a crash or a hang is reported by libFuzzer with the input
saved as crash-*/timeout-* in the working directory. The module's own fatal-error reports go to
the file named by QUILLOMETER_FUZZ_STDERR (default: discarded) while an input runs, so that
libFuzzer's status lines stay readable.
"""

import ctypes
import os
import sys
import sysconfig
from pathlib import Path

import atheris

with atheris.instrument_imports(include=["program", "model"]):
    import program


def make_runtime_global():
    """Makes the fuzzer's runtime (its libFuzzer) global, so that a module built with clang's
    -fsanitize=fuzzer-no-link (scripts/fuzz's default build) links its edge counters to it.
    While fuzzing, atheris has loaded it privately by the first input; to replay, it is loaded."""
    core = sys.modules.get("atheris.core_with_libfuzzer")
    path = (
        core.__file__
        if core
        else str(
            Path(atheris.__file__).with_name(
                "core_with_libfuzzer" + sysconfig.get_config_var("EXT_SUFFIX")
            )
        )
    )
    ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_GLOBAL)


def replay(paths):
    make_runtime_global()
    for path in paths:
        print(f"--- {path}", file=sys.stderr)
        with open(path, "rb") as f:
            program.run(f.read())


def main():
    if sys.argv[1:2] == ["--replay"]:
        replay(sys.argv[2:])
        return
    sink = os.open(
        os.environ.get("QUILLOMETER_FUZZ_STDERR", os.devnull),
        os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
        0o644,
    )
    saved = os.dup(2)

    def one_input(data):
        if program.Quillometer is None:
            make_runtime_global()
            program.load_module()
            print(f"module: {sys.modules['quillometer'].__file__}", file=sys.stderr)
        os.dup2(sink, 2)
        try:
            program.run(data)
        finally:
            os.dup2(saved, 2)

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
