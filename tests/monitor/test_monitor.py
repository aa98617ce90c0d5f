"""The installed `quillometer-monitor` command: every bad input gets one line and an exit code,
a live feed through a real pipe prints flags as they happen, and the chart stays readable."""

import os
import queue
import random
import re
import signal
import subprocess
import sys
import threading
from datetime import UTC, datetime
from pathlib import Path

import pytest

from quillometer_tools.times import EPOCH

COMMAND = str(Path(sys.executable).with_name("quillometer-monitor"))

GOOD = "timestamp,v\n0,1\n1,2\n2,3\n"
# name: (file content or None for no file, extra arguments, exit code, the key text on stderr;
# None: stderr stays empty)
BAD_INPUTS = {
    "missing file": (None, [], 1, "missing.csv: No such file or directory"),
    "unreadable file (a directory)": ("<dir>", [], 1, "Is a directory"),
    "empty file": ("", [], 1, "empty input"),
    "no header": ("0,1\n1,2\n", [], 1, "no header: line 1 holds values"),
    "header only": ("timestamp,v\n", [], 1, "no rows after the header"),
    "not UTF-8": (b"timestamp,v\n0,\xff\xfe\n", [], 1, "not UTF-8 text"),
    "unknown time column": (
        GOOD,
        ["--time-column", "when"],
        1,
        "no time column 'when' (columns: timestamp, v)",
    ),
    "unknown --columns name": (
        GOOD,
        ["--columns", "v", "w"],
        1,
        "no column 'w' (columns: timestamp, v)",
    ),
    "no numeric value in a named column": (
        "timestamp,v,station\n0,1,A\n1,2,B\n",
        ["--columns", "v", "station"],
        1,
        "column 'station' has no numeric value in 2 rows (--columns v station)",
    ),
    "unparseable time": (
        "date,v\n2000-01-01,1\nJan 2 2000,2\n",
        [],
        1,
        "line 3: cannot read the time 'Jan 2 2000'",
    ),
    "time against --time-format": (
        "date,v\nJan 1 2000,1\n2000-01-02,2\n",
        ["--time-format", "%b %d %Y"],
        1,
        "line 3: time '2000-01-02' does not match the time format "
        "'%b %d %Y' (--time-format '%b %d %Y')",
    ),
    "epoch in another unit": (
        "ts,v\n1700000000000,1\n",
        ["--epoch", "s"],
        1,
        "line 2: time 1700000000000 counted in s since 1970 falls outside "
        "the years 1 to 9999; is the unit ms? (--epoch s)",
    ),
    # Bad option values: exit 2, one line naming the flag (the options shared with the Ray
    # command are tested with it, in tests/scale_out/test_cli.py).
    "time window past any float": (
        "ts,v\n1,1\n",
        ["--epoch", "s", "--time-window", "9" * 400 + "s"],
        2,
        "s: out of range",
    ),
    "zoom not a time": (
        "date,v\n2000-01-01,1\n",
        ["--zoom", "soon", "later"],
        2,
        "--zoom 'soon': expected a time such as 2010-03-01",
    ),
    "chart column not a value column": (
        GOOD,
        ["--chart-columns", "w"],
        2,
        "--chart-columns: 'w' is not a value column",
    ),
    "trace on a full disk": (
        GOOD,
        ["--trace", "/dev/full"],
        1,
        "--trace /dev/full: No space left on device",
    ),
    "unsorted timestamps": (
        "ts,v\n5,1\n3,2\n4,3\n1,4\n",
        [],
        0,
        "warning: 2 rows have a time below the previous row's",
    ),
    "duplicate timestamps": ("ts,v\n1,1\n1,2\n2,3\n", [], 0, None),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_gets_one_line_and_an_exit_code(tmp_path, case):
    content, extra, code, key = BAD_INPUTS[case]
    path = tmp_path / "missing.csv"
    if content == "<dir>":
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    result = subprocess.run(
        [COMMAND, str(path), "--no-progress", *extra], capture_output=True, text=True, timeout=60
    )
    assert "Traceback" not in result.stderr
    assert result.returncode == code, result.stderr
    if key is None:
        assert result.stderr == ""
    else:
        assert result.stderr.count("\n") == 1 and result.stderr.endswith("\n"), result.stderr
        assert result.stderr.startswith("quillometer-monitor: ") and key in result.stderr
        assert result.stderr.endswith(" (see --help)\n") == (code == 2), result.stderr
    if code == 0:
        assert re.search(r"^v\s+4|^v\s+3", result.stdout, re.M), result.stdout


def lines_of(stream, into):
    for line in iter(stream.readline, ""):
        into.put(line)
    into.put(None)


def wait_for(lines, pattern, seen, timeout=20.0):
    """Reads output lines until one matches; fails if the output ends or stalls first."""
    while True:
        try:
            line = lines.get(timeout=timeout)
        except queue.Empty:
            pytest.fail(f"no line matching {pattern!r} within {timeout} s; got {seen}")
        if line is None:
            pytest.fail(f"output ended before a line matching {pattern!r}; got {seen}")
        seen.append(line)
        if re.search(pattern, line):
            return line


@pytest.mark.parametrize("ending", ["end of input", "Ctrl-C"])
def test_a_live_feed_through_a_pipe(ending):
    """Flags come out while the writer still holds the pipe open; the summary counts every row
    written, whether the input ends or the monitor is interrupted."""
    # Output to a pipe is block-buffered unless the monitor flushes (as a user's shell has it).
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    monitor = subprocess.Popen(
        [COMMAND, "-", "--window-size", "10", "--epoch", "s"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        bufsize=1,
        env=env,
    )
    lines: queue.Queue = queue.Queue()
    threading.Thread(target=lines_of, args=(monitor.stdout, lines), daemon=True).start()
    seen: list[str] = []
    try:
        monitor.stdin.write("ts,load\n")
        rows = 0
        for spike_at in (1_700_000_000, 1_700_001_000):
            for i in range(30):
                monitor.stdin.write(f"{spike_at - 30 + i},{10 + i % 3}\n")
                monitor.stdin.flush()
                rows += 1
            monitor.stdin.write(f"{spike_at},500\n")
            monitor.stdin.flush()
            rows += 1
            # The spike's flag line arrives while stdin is still open.
            wait_for(lines, r"^2023-11-14 [\d:]+\s+load\s+500\.00\s+z=\+3\.00", seen)
        if ending == "Ctrl-C":
            monitor.send_signal(signal.SIGINT)
        else:
            monitor.stdin.close()
        wait_for(lines, r"^load\s", seen)
        code = monitor.wait(timeout=20)
    finally:
        monitor.kill()
    summary = seen[-1].split()
    assert summary[1] == str(rows) and summary[-1] == "2", seen
    assert code == (130 if ending == "Ctrl-C" else 0)
    assert "Traceback" not in monitor.stderr.read()


def test_chart_panels_markers_and_zoom(tmp_path, monkeypatch, capsys):
    """Five value columns: four charted panels and the zoom. Column a is Gaussian noise with
    thousands of flags, of which at most a few hundred are drawn; column b is flat but for a
    stretch of spikes, the busiest window of flags, where the zoom must go."""
    pytest.importorskip("matplotlib")
    import matplotlib.dates as mdates
    from matplotlib.collections import PathCollection

    from quillometer_tools.monitor import chart, cli

    rng = random.Random(16)
    start, rows = 1_600_000_000, 60_000
    burst = range(30_000, 33_000)  # b spikes on every tenth row here
    csv = tmp_path / "five.csv"
    with open(csv, "w") as out:
        out.write("when,a,b,c,d,e\n")
        for i in range(rows):
            flat = 5 + (i * 7919 % 13) / 130
            b = flat + (40 if i in burst and i % 10 == 0 else 0)
            out.write(f"{start + 60 * i},{rng.gauss(0, 1)},{b},{flat},{flat},{flat}\n")
    figures = []
    real_save = chart.save
    monkeypatch.setattr(
        chart, "save", lambda fig, path: (figures.append(fig), real_save(fig, path))
    )
    png = tmp_path / "chart.png"
    assert (
        cli.main(
            [str(csv), "--epoch", "s", "--chart", str(png), "--no-progress", "--window-size", "100"]
        )
        == 0
    )
    output = capsys.readouterr().out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    flagged = {
        line.split()[0]: int(line.split()[-1])
        for line in output.splitlines()
        if re.match(rf"^[a-e]\s+{rows}\s", line)
    }
    assert len(flagged) == 5 and flagged["a"] > 2_000 and flagged["b"] > 200, output

    (fig,) = figures
    assert len(fig.axes) == 5  # a, b, c, d and the zoom; e is past the default cap
    for ax, name in zip(fig.axes[:4], "abcd", strict=True):
        assert ax.get_title().startswith(f"{name}:")
        markers = [c for c in ax.collections if isinstance(c, PathCollection)]
        drawn = sum(len(c.get_offsets()) for c in markers)
        assert drawn <= chart.MAX_MARKERS and (drawn > 0) == (flagged[name] > 0)
        legend = " ".join(t.get_text() for t in ax.get_legend().get_texts())
        assert f"{flagged[name]:,} flags" in legend
        assert isinstance(ax.xaxis.get_major_formatter(), mdates.ConciseDateFormatter)
    zoom = fig.axes[-1]
    assert zoom.get_title().startswith("zoom on b")
    middle = mdates.num2date(sum(zoom.get_xlim()) / 2).timestamp()
    assert start + 60 * burst.start < middle < start + 60 * burst.stop


def test_summary_table_fits_its_values_and_shows_drift_as_zero(tmp_path):
    """Values in the millions keep the table in line; windows that hold only 5.0 or only 0.0
    after larger values (back at the level the column started from) show a spread of 0 and
    never -0.00, while the figures themselves (the trace) keep their rounding drift."""
    csv = tmp_path / "drift.csv"
    big = [5, 1234567.1, 2345678.3, 3456789.7, 987654.2, 5, 5, 5, 5]
    small = [0, 0.1, 0.3, 0.7, 0.2, 0, 0, 0, 0]
    csv.write_text(
        "ts,big,small\n"
        + "".join(f"{i},{b},{s}\n" for i, (b, s) in enumerate(zip(big, small, strict=True)))
    )
    trace = tmp_path / "trace.csv"
    result = subprocess.run(
        [COMMAND, str(csv), "--window-size", "4", "--time-window", "3", "--trace", str(trace)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    table = result.stdout.split("\n\n")[-1].splitlines()
    assert len({len(line) for line in table}) == 1, "\n".join(table)  # every line as wide
    rows = {line.split()[0]: line.split() for line in table[2:]}
    assert rows["big"][6:8] == ["5.00±0.00", "5.00±0.00"]
    assert rows["small"][6:8] == ["0.00±0.00", "0.00±0.00"]
    last = {line.split(",")[1]: line.split(",") for line in trace.read_text().splitlines()[-2:]}
    assert float(last["big"][5]) > 0.01 and float(last["small"][4]) < 0  # std, mean drift


def run_monitor(path, *extra):
    result = subprocess.run(
        [COMMAND, str(path), "--no-progress", *extra], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    return result


def seconds(*date):
    return int((datetime(*date, tzinfo=UTC) - EPOCH).total_seconds())


HOURS = [f"2024-01-01 {h:02d}:00:00" for h in range(3)]
# name: (CSV, extra arguments, the kind of times and the value columns in the first line,
# the first row's timestamp, the note on stderr)
SHAPES = {
    "a data frame's time index": (
        ",load\n" + "".join(f"{t},{i}\n" for i, t in enumerate(HOURS)),
        [],
        "columns load (date-times)",
        seconds(2024, 1, 1),
        "",
    ),
    "a data frame's row index": (
        ",a,b\n0,1,2\n1,2,3\n2,4,5\n",
        [],
        "columns a, b (row numbers as times)",
        0,
        "",
    ),
    "a row index beside a time column": (
        ",date,a\n0,2001-02-03,1\n1,2001-02-04,2\n",
        [],
        "columns a (date-times)",
        seconds(2001, 2, 3),
        "",
    ),
    "years as floats": (
        "YEAR,spots\n1700.0,5\n1701.0,11\n1702.0,16\n",
        [],
        "columns spots (years)",
        seconds(1700, 1, 1),
        "",
    ),
    "years as integers": (
        "year,spots\n1700,5\n1701,11\n",
        [],
        "(years; assumed: integers in 1000-2999 are years; --epoch none",
        seconds(1700, 1, 1),
        "",
    ),
    "fractional years": (
        "year,spots\n1749.5,58\n1749.583,62.6\n",
        [],
        "columns spots (years)",
        seconds(1749, 7, 2, 12),
        "",
    ),
    "a text column": (
        "date,station,temp\n2024-03-01,A,15.5\n2024-03-02,B,16\n",
        [],
        "columns temp (date-times)",
        seconds(2024, 3, 1),
        "note: left out 'station': no numeric value in the first 2 rows",
    ),
    "epoch milliseconds": (
        "ts,ms\n1700000000123,1\n1700000001123,2\n",
        [],
        "columns ms (epoch ms; assumed: 1700000000123 falls in 1990-2100 counted in ms since 1970",
        1_700_000_000_123,
        "",
    ),
    "epoch guess turned off": (
        "ts,ms\n1700000000123,1\n1700000001123,2\n",
        ["--epoch", "none"],
        "columns ms (plain integer times)",
        1_700_000_000_123,
        "",
    ),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_the_files_people_have(tmp_path, shape):
    """A data frame's index, years, text columns and epoch integers are read as they are
    meant, and the first line says how."""
    content, extra, first_line, first_ts, note = SHAPES[shape]
    path, trace = tmp_path / "in.csv", tmp_path / "trace.csv"
    path.write_text(content)
    result = run_monitor(path, "--trace", str(trace), *extra)
    assert first_line in result.stdout.splitlines()[0], result.stdout
    assert result.stderr == (
        f"quillometer-monitor: {note} (name value columns with --columns)\n" if note else ""
    ), result.stderr
    assert int(trace.read_text().splitlines()[1].split(",")[0]) == first_ts


def cadence_csv(path, first, step, form, rows=400):
    """Noisy readings at a regular step, written with as many decimals as they happen to
    have, so that some rows are flagged."""
    rng = random.Random(7)
    with open(path, "w") as out:
        out.write("time,v\n")
        for i in range(rows):
            out.write(f"{form(first + i * step)},{round(rng.gauss(300, 20), rng.choice([0, 1]))}\n")


def iso(ts):
    return datetime.fromtimestamp(ts, UTC).strftime("%Y-%m-%d %H:%M:%S")


# name: (first time, step in seconds or units, how a time is written, the time window shown,
# the rate's unit, steps per that unit)
CADENCES = {
    "half-minutely, in epoch seconds": (1_600_000_020, 30, str, "84m", "/min", 2),
    "minutely": (1_600_000_020, 60, iso, "168m", "/min", 1),
    "hourly": (seconds(2024, 1, 1), 3600, iso, "1w", "/h", 1),
    "weekly": (seconds(2015, 1, 4), 7 * 86_400, lambda ts: iso(ts)[:10], "168w", "/w", 1),
    "yearly": (1700, 1, str, "168y", "/y", 1),
    "plain integers": (0, 5, str, "840", "/unit", 1 / 5),
}


@pytest.mark.parametrize("cadence", CADENCES)
def test_defaults_follow_the_cadence(tmp_path, cadence):
    """The time window spans window_size median steps, the rate is per the unit of the step,
    and the flag lines keep one time precision and one number of decimals."""
    first, step, form, window, per, steps_per_unit = CADENCES[cadence]
    path = tmp_path / "in.csv"
    cadence_csv(path, first, step, form)
    output = run_monitor(path, "--flags", "100").stdout
    assert f"time_window={window} (168 × the median step" in output.splitlines()[1], output
    row = next(line.split() for line in output.splitlines() if line.startswith("v "))
    rate, unit = row[8].split("/")
    # a full closed window holds about window_size + 1 values
    assert "/" + unit == per and float(rate) == pytest.approx(steps_per_unit, rel=0.03), row
    flags = re.findall(r"^(.+?)  v +(\S+)  z=", output, re.M)
    assert len(flags) > 5
    assert len({len(time) for time, _ in flags}) == 1, flags
    assert len({len(value.partition(".")[2]) for _, value in flags}) == 1, flags
