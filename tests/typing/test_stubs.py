"""Type-checks typed uses of the installed module with mypy --strict and pyright (basedpyright),
and checks that the stubs agree with what the module itself accepts and refuses."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent
ACCEPTED = HERE / "accepted.py"
REJECTED = HERE / "rejected.py"
MARK = re.compile(r"#\s*rejected(?P<static>, type only)?\s*$")


def marked_lines():
    """{line number: source line} of every line in rejected.py that a checker must report."""
    lines = REJECTED.read_text().splitlines()
    return {n: line for n, line in enumerate(lines, 1) if MARK.search(line)}


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A copy of the examples outside the source tree, so only the installed stubs are seen."""
    work = tmp_path_factory.mktemp("typing")
    for source in (ACCEPTED, REJECTED):
        shutil.copy(source, work / source.name)
    (work / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    return work


def mypy_lines(workdir, name):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--hide-error-context",
            name,
        ],
        cwd=workdir,
        capture_output=True,
        text=True,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    found = set()
    for line in result.stdout.splitlines():
        match = re.match(rf"{re.escape(name)}:(\d+): error:", line)
        if match:
            found.add(int(match.group(1)))
    return found, result.stdout


def pyright_lines(workdir, name):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "basedpyright",
            "--outputjson",
            "--pythonpath",
            sys.executable,
            name,
        ],
        cwd=workdir,
        capture_output=True,
        text=True,
    )
    report = json.loads(result.stdout)
    assert report["summary"]["filesAnalyzed"] == 1, result.stdout
    found = {
        d["range"]["start"]["line"] + 1
        for d in report["generalDiagnostics"]
        if d["severity"] in ("error", "warning")
    }
    return found, result.stdout


CHECKERS = {"mypy --strict": mypy_lines, "pyright (strict)": pyright_lines}


@pytest.mark.parametrize("checker", CHECKERS)
def test_typed_uses_are_accepted(workdir, checker):
    found, output = CHECKERS[checker](workdir, ACCEPTED.name)
    assert found == set(), output


@pytest.mark.parametrize("checker", CHECKERS)
def test_every_misuse_is_reported_and_nothing_else(workdir, checker):
    expected = set(marked_lines())
    assert len(expected) >= 15
    found, output = CHECKERS[checker](workdir, REJECTED.name)
    assert found == expected, (
        f"missed {sorted(expected - found)}, extra {sorted(found - expected)}\n{output}"
    )


def test_typed_uses_run():
    """What the stubs accept, the module accepts."""
    namespace = {"__name__": "accepted"}
    exec(compile(ACCEPTED.read_text(), str(ACCEPTED), "exec"), namespace)
    results = namespace["results"]
    assert len(results) == 11 and all(type(r) is float for r in results)


def test_misuses_fail_at_run_time():
    """What the stubs reject, the module refuses, except misuses that only a type checker sees."""
    source = REJECTED.read_text().splitlines()
    prelude = "\n".join(source[: min(marked_lines()) - 1])
    for line in marked_lines().values():
        statement = MARK.sub("", line).strip()
        if statement.endswith(":"):
            statement += " pass"
        namespace = {}
        exec(prelude, namespace)
        if MARK.search(line).group("static"):
            exec(statement, namespace)
            continue
        with pytest.raises((TypeError, OverflowError)):
            exec(statement, namespace)
