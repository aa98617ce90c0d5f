"""The installed `quillometer-ray` command: a CSV run whose table agrees with one in-process
Quillometer fed by the same reader, with rows/s, the log's size and the skipped cells; and bad
input or too many shards as one line on stderr, never a traceback."""

import math
import os
import subprocess
import sys

import pytest

from quillometer import Quillometer
from quillometer_tools.feed import FeedOptions, open_feed

COMMAND = os.path.join(os.path.dirname(sys.executable), "quillometer-ray")


def run(*args, cwd):
    return subprocess.run([COMMAND, *args], cwd=cwd, capture_output=True, text=True, timeout=120)


def test_a_csv_run_prints_the_statistics_of_one_quillometer(tmp_path):
    lines = ["when,temp,hum,flow"]
    for i in range(3_000):
        temp = "n/a" if i % 97 == 0 else f"{20 + math.sin(i / 50) * 3:.3f}"
        lines.append(f"2024-05-01T10:{i // 60 % 60:02d}:{i % 60:02d},{temp},{40 + i % 7},{i * 0.5}")
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    done = run("run", "in.csv", "--time-column", "when", "--columns", "temp,hum", "--shards", "2",
               "--cpus", "2", "--window-size", "30", "--alpha", "0.2", "--time-window", "90",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = done.stdout.splitlines()
    assert out[0].startswith("in.csv: 3,000 rows over 2 columns on 2 shards in ")
    assert out[0].endswith(" rows/s)")
    assert out[1].startswith("recovery log: ") and " bytes (" in out[1]
    assert 28 * 5_900 < int(out[1].split()[2].replace(",", "")) < 28 * 6_100
    assert out[2] == "skipped cells (empty, non-numeric or non-finite): temp 31"

    q = Quillometer(["temp", "hum"], 30, 0.2, 90)
    feed = open_feed(str(tmp_path / "in.csv"),
                     FeedOptions(time_column="when", columns=["temp", "hum"]))
    for ts, row in feed:
        q.append(row, ts)
    table = {line.split()[0]: line.split()[1:] for line in out[4:]}
    for name in ("temp", "hum"):
        expected = [q.mean(name), math.sqrt(q.variance(name)), q.rolling_mean(name),
                    q.ewma(name), q.rate(name)]
        assert table[name] == [f"{x:.4g}" for x in expected], name


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "missing.csv"], "quillometer-ray: missing.csv: No such file or directory"),
        (["run", "empty.csv"], "quillometer-ray: empty.csv: empty input (expected a header "
                               "line such as timestamp,value)"),
        (["run", "ok.csv", "--columns", "nope"], "quillometer-ray: ok.csv: no column 'nope' "
                                                 "(columns: ts, a, b)"),
        (["run", "ok.csv", "--shards", "3", "--cpus", "1"],
         "quillometer-ray: cannot place 3 shards of 1 CPU each: the Ray cluster has 1 CPU "
         "(1 free); ask for at most 1 shards, or add nodes"),
    ],
    ids=["missing file", "empty file", "unknown column", "too many shards"],
)
def test_bad_input_is_one_line_on_stderr(tmp_path, args, message):
    (tmp_path / "empty.csv").write_text("")
    (tmp_path / "ok.csv").write_text("ts,a,b\n1,2,3\n2,3,4\n")
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [message]
    assert done.stdout == ""


def test_without_ray_the_command_names_the_extra(tmp_path):
    # The installed entry point, loaded in a process where `import ray` fails.
    code = ("import sys; sys.modules['ray'] = None; from importlib.metadata import entry_points;"
            "main = entry_points(group='console_scripts')['quillometer-ray'].load();"
            "sys.exit(main(['run', '--synthetic', '10']))")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "quillometer-ray: Ray is not installed: pip install 'quillometer[ray]'"]
