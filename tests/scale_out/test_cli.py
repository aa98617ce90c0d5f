"""The installed `quillometer-ray` command: a CSV run whose summary is the monitor's for the same
feed, with rows/s and the log's size; bad input or too many shards as one line on stderr, never a
traceback; and the options it shares with `quillometer-monitor`, read, refused and answered alike
by both (parsed in process: no Ray is started)."""

import itertools
import math
import os
import subprocess
import sys

import pytest

from quillometer_tools.monitor import cli as monitor_cli
from quillometer_tools.ray import cli as ray_cli

COMMAND = os.path.join(os.path.dirname(sys.executable), "quillometer-ray")
MONITOR = os.path.join(os.path.dirname(sys.executable), "quillometer-monitor")


def run(*args, cwd):
    return subprocess.run([COMMAND, *args], cwd=cwd, capture_output=True, text=True, timeout=120)


def test_a_csv_run_prints_the_summary_of_the_monitor(tmp_path):
    lines = ["when,temp,hum,flow"]
    for i in range(3_000):
        temp = "n/a" if i % 97 == 0 else f"{20 + math.sin(i / 50) * 3:.3f}"
        lines.append(f"2024-05-01T10:{i // 60 % 60:02d}:{i % 60:02d},{temp},{40 + i % 7},{i * 0.5}")
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    options = ["--time-column", "when", "--window-size", "30", "--alpha", "0.2"]
    done = run(
        "run",
        "in.csv",
        *options,
        "--columns",
        "temp,hum",
        "--shards",
        "2",
        "--cpus",
        "2",
        cwd=tmp_path,
    )
    assert done.returncode == 0 and done.stderr == "", done.stderr
    out = done.stdout.split("\n\n")
    head = out[0].splitlines()
    assert (
        head[0] == "window_size=30  alpha=0.2  time_window=30s (30 × the median step, 1s)  shards=2"
    )
    assert head[1].startswith("in.csv: 3,000 rows over 2 columns on 2 shards in ")
    assert head[1].endswith(" rows/s)")
    assert head[2].startswith("recovery log: ") and " bytes (" in head[2]
    assert 28 * 5_900 < int(head[2].split()[2].replace(",", "")) < 28 * 6_100

    # The monitor's table of the same feed, but for its flags (the figures differ in their last
    # bits: the monitor measures from a reference level).
    monitor = subprocess.run(
        [MONITOR, "in.csv", *options, "--columns", "temp", "hum"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert monitor.returncode == 0, monitor.stderr
    expected = monitor.stdout.split("\n\n")[-1].splitlines()
    assert expected[2].split()[2] == "31"  # temp's skipped cells
    table = out[1].splitlines()
    assert len(table) == len(expected) == 4 and set(table[1]) == {"-"}
    assert [line.split() for line in table[:1] + table[2:]] == [
        line.split()[:-1] for line in expected[:1] + expected[2:]
    ]


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "missing.csv"], "quillometer-ray: missing.csv: No such file or directory"),
        (
            ["run", "empty.csv"],
            "quillometer-ray: empty.csv: empty input (expected a header "
            "line such as timestamp,value)",
        ),
        (
            ["run", "ok.csv", "--columns", "nope"],
            "quillometer-ray: ok.csv: no column 'nope' (columns: ts, a, b) (--columns nope)",
        ),
        (
            ["run", "ok.csv", "--shards", "3", "--cpus", "1"],
            "quillometer-ray: cannot place 3 shards of 1 CPU each: the Ray cluster has 1 CPU "
            "(1 free); ask for at most 1 shards, or add nodes",
        ),
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
    code = (
        "import sys; sys.modules['ray'] = None; from importlib.metadata import entry_points;"
        "main = entry_points(group='console_scripts')['quillometer-ray'].load();"
        "sys.exit(main(['run', '--synthetic', '10']))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "quillometer-ray: Ray is not installed: pip install 'quillometer[ray]'"
    ]


# The shared options after `CSV` (ts,a,b with plain integer times): the options parsed, or the
# exit status and the line on stderr after the command's name.
SHARED_OPTIONS = {
    "defaults": (
        [],
        {
            "columns": None,
            "window_size": 168,
            "alpha": 0.1,
            "time_window": None,
            "epoch": None,
            "time_format": None,
            "show": 20,
        },
    ),
    "columns by spaces": (["--columns", "a", "b"], {"columns": ["a", "b"]}),
    "columns by commas": (["--columns", "a,b"], {"columns": ["a", "b"]}),
    "settings": (
        [
            "--window-size",
            "5",
            "--alpha",
            "1",
            "--time-window",
            "2h",
            "--epoch",
            "ms",
            "--time-column",
            "ts",
            "--show",
            "1",
        ],
        {
            "window_size": 5,
            "alpha": 1.0,
            "time_window": "2h",
            "epoch": "ms",
            "time_column": "ts",
            "show": 1,
        },
    ),
    "window size 0": (
        ["--window-size", "0"],
        2,
        "argument --window-size: expected an integer from 1 to 10,000,000, not '0'",
    ),
    "window size past the largest": (
        ["--window-size", "10000001"],
        2,
        "argument --window-size: expected an integer from 1 to 10,000,000, not '10000001'",
    ),
    "window size not an integer": (
        ["--window-size", "1.5"],
        2,
        "argument --window-size: expected an integer from 1 to 10,000,000, not '1.5'",
    ),
    "alpha 0": (
        ["--alpha", "0"],
        2,
        "argument --alpha: expected a number with 0 < alpha <= 1, not '0'",
    ),
    "alpha nan": (
        ["--alpha", "nan"],
        2,
        "argument --alpha: expected a number with 0 < alpha <= 1, not 'nan'",
    ),
    "time window of no width": (
        ["--time-window", "0s"],
        2,
        "argument --time-window: expected "
        "timestamp units (an integer of at least 1) or a duration such "
        "as 90s, 30m, 24h, 7d, 2w or 1y, not '0s'",
    ),
    "time window in an unknown unit": (
        ["--time-window", "3x"],
        2,
        "argument --time-window: "
        "expected timestamp units (an integer of at least 1) or a "
        "duration such as 90s, 30m, 24h, 7d, 2w or 1y, not '3x'",
    ),
    "a duration for plain integers": (
        ["--time-window", "1d"],
        2,
        "--time-window 1d: the times "
        "are plain integers with no unit, so a duration needs to "
        "be given in their units",
    ),
    "an empty column name": (
        ["--columns", "a,"],
        2,
        "argument --columns: expected column names, not 'a,'",
    ),
    "unknown epoch unit": (
        ["--epoch", "min"],
        2,
        "argument --epoch: invalid choice: 'min' (choose from 's', 'ms', 'us', 'ns', 'none')",
    ),
    "epoch with a time format": (
        ["--epoch", "s", "--time-format", "%Y"],
        2,
        "--epoch is for integer times and --time-format for date-times; give one of them",
    ),
    "show 0": (["--show", "0"], 2, "argument --show: expected an integer of at least 1, not '0'"),
    "unknown column": (
        ["--columns", "a", "nope"],
        1,
        "CSV: no column 'nope' (columns: ts, a, b) (--columns a nope)",
    ),
}
COMMANDS = {"quillometer-monitor": (monitor_cli, []), "quillometer-ray": (ray_cli, ["run"])}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("case", SHARED_OPTIONS)
def test_the_shared_options_mean_the_same_in_both_commands(
    tmp_path, monkeypatch, capsys, command, case
):
    # Through the layer's own import, which gives Ray the driver's settings first (the session's
    # local Ray, started later, must still bind to loopback).
    from quillometer_tools.ray.cluster import import_ray

    ray = import_ray()
    monkeypatch.chdir(tmp_path)
    (tmp_path / "CSV").write_text("ts,a,b\n1,2,3\n2,3,4\n")
    module, subcommand = COMMANDS[command]
    options, *expected = SHARED_OPTIONS[case]
    argv = [*subcommand, "CSV", *options]
    if isinstance(expected[0], dict):
        args = vars(module.parse_args(argv))
        assert {name: args[name] for name in expected[0]} == expected[0]
        return
    code, message = expected
    assert module.main(argv) == code
    suffix = " (see --help)" if code == 2 else ""
    assert capsys.readouterr() == ("", f"{command}: {message}{suffix}\n")
    assert not ray.is_initialized()


@pytest.mark.parametrize("command", COMMANDS)
def test_an_unexpected_error_is_one_line_and_exit_70(tmp_path, monkeypatch, capsys, command):
    module, subcommand = COMMANDS[command]

    def broken(*args):
        raise RuntimeError("the reader broke\nwith a second line")

    monkeypatch.setattr(module, "open_feed", broken)
    assert module.main([*subcommand, str(tmp_path / "in.csv")]) == 70
    assert capsys.readouterr().err == f"{command}: internal error: RuntimeError: the reader broke\n"


def test_bench_reports_every_process_cpu_and_ratios_to_the_in_process_rate(tmp_path):
    done = run("bench", "--rows", "3000", "--columns", "40", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    measures = {
        line.split("  ")[1].strip(): cpu
        for line, cpu in itertools.pairwise(lines)
        if cpu.startswith("      CPU s: ")
    }
    assert list(measures) == [
        "in-process, one Quillometer",
        "K=1 driver-fed",
        "K=1 partitioned",
        "K=2 driver-fed",
        "K=2 partitioned",
        "K=2 driver-fed, discarding",
    ]
    for label, cpu in measures.items():
        shards = (
            [] if label.startswith("in-process") else [f"shard {s}" for s in range(int(label[2]))]
        )
        fields = cpu.removeprefix("      CPU s: ").split("  ")
        assert [field.rsplit(" ", 1)[0] for field in fields] == [
            "driver",
            *shards,
            "raylet",
            "gcs_server",
            "other Ray",
            "(wall",
        ]
        # Every shard's process was found and read.
        assert all(math.isfinite(float(field.rsplit(" ", 1)[1].rstrip(")"))) for field in fields)
    rated = [line for line in lines if line.startswith("  K=") and " rows/s " in line]
    assert len(rated) == 5 and all(line.endswith("x in-process") for line in rated)
    assert any(line.startswith("K=2 over K=1, partitioned: ") for line in lines)
    assert any(line.startswith("rows per CPU second: ") for line in lines)
