"""The main job, `quillometer-monitor` on the bundled temperatures: its summary, flags and
chart, and every appended value's statistics (its --trace file) against pandas as an outside
oracle."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from vega_datasets import local_data

COMMAND = str(Path(sys.executable).with_name("quillometer-monitor"))
RTOL = 1e-9
# The command's defaults; hourly data: a time window of 168 hours.
WINDOW_SIZE, ALPHA, TIME_WINDOW, THRESHOLD = 168, 0.1, 168 * 3600, 2.0


def pandas_columns():
    """The two temperature series, read by pandas itself, indexed by time."""
    frames = {"seattle": local_data.seattle_temps(), "san_francisco": local_data.sf_temps()}
    return {name: frame.set_index("date")["temp"].sort_index() for name, frame in frames.items()}


def run_monitor(*args):
    result = subprocess.run([COMMAND, "--no-progress", *args], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    return result.stdout


def summary_rows(output):
    """{column: [fields]} from the summary table."""
    table = re.search(r"^-{20,}\n(.*?)(\n\n|\Z)", output, re.M | re.S).group(1)
    return {line.split()[0]: line.split() for line in table.splitlines()}


@pytest.fixture(scope="module")
def default_run(tmp_path_factory):
    work = tmp_path_factory.mktemp("run")
    chart, trace = work / "chart.png", work / "trace.csv"
    return run_monitor("--chart", str(chart), "--trace", str(trace)), chart, trace


def test_default_run_summarises_both_cities(default_run):
    output, chart, _ = default_run
    series = pandas_columns()
    rows = summary_rows(output)
    assert set(rows) == set(series)
    for name, values in series.items():
        fields = rows[name]
        assert int(fields[1]) == len(values) and int(fields[2]) == 0
        assert float(fields[3]) == pytest.approx(values.mean(), abs=0.005)
        assert float(fields[4]) == pytest.approx(values.std(ddof=0), abs=0.005)
        assert float(fields[5]) == pytest.approx(values.iloc[-1], abs=0.005)
        # hourly data: a closed 168-hour window holds 169 values
        assert fields[8] == f"{169 / 168:.2f}/h"
    flagged = re.findall(r"^\d{4}-\d\d-\d\d \d\d:\d\d  (\w+) .* z=([+-]\d+\.\d+)", output, re.M)
    assert flagged and all(abs(float(z)) > THRESHOLD for _, z in flagged)
    assert sum(int(fields[-1]) for fields in rows.values()) >= len(flagged)
    assert f"chart: {chart}" in output
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_per_value_statistics_match_pandas(default_run):
    _, _, trace = default_run
    frame = pd.read_csv(trace)
    frame["date"] = pd.to_datetime(frame["ts"], unit="s")
    ours = {name: part.set_index("date") for name, part in frame.groupby("column")}
    w, tw = WINDOW_SIZE, TIME_WINDOW
    for name, values in pandas_columns().items():
        mine = ours[name]
        assert list(mine.index) == list(values.index)
        assert np.array_equal(mine["value"].to_numpy(), values.to_numpy())
        expected = {
            "rolling_mean": values.rolling(w, min_periods=1).mean(),
            "rolling_std": values.rolling(w, min_periods=1).std(ddof=0),
            "time_mean": values.rolling(f"{tw}s", closed="both").mean(),
            "time_std": values.rolling(f"{tw}s", closed="both").std(ddof=0),
            "ewma": values.ewm(alpha=ALPHA, adjust=False).mean(),
            "variance": values.expanding().var(ddof=0),
        }
        for statistic, reference in expected.items():
            got, want = mine[statistic].to_numpy(), reference.to_numpy()
            # a spread of exactly zero cannot be matched relatively
            scale = np.maximum(np.abs(want), 1e-6)
            worst = np.max(np.abs(got - want) / scale)
            assert worst <= RTOL, f"{name} {statistic}: relative error {worst:.3g}"
        # flagged: |z| over the full window above the threshold, z recomputed by pandas
        rolling = values.rolling(w)
        z = (values - rolling.mean()) / rolling.std(ddof=0)
        want_flags = (z.abs() > THRESHOLD).to_numpy()
        assert np.array_equal(mine["flagged"].to_numpy().astype(bool), want_flags)


def test_any_csv_with_gaps_and_non_finite_cells(tmp_path):
    """Empty, non-numeric and non-finite cells are skipped and counted per column; a row
    names only what it has."""
    csv = tmp_path / "readings.csv"
    csv.write_text("a,timestamp,b\n1,0,10\n2,5,\n,10,nan\n4,20,inf\n8,25,x\n")
    trace = tmp_path / "trace.csv"
    output = run_monitor(str(csv), "--window-size", "3", "--time-window", "10",
                         "--trace", str(trace))
    rows = summary_rows(output)
    # a: mean of 1, 2, 4, 8; rate: 4 and 8 sit within 10 units of ts 25, over 10 units
    assert rows["a"][1:4] == ["4", "1", "3.75"] and rows["a"][8] == "0.200/unit"
    assert rows["b"][1:4] == ["1", "4", "10.00"]
    appended = pd.read_csv(trace)
    assert list(zip(appended["ts"], appended["column"], appended["value"])) == [
        (0, "a", 1.0), (0, "b", 10.0), (5, "a", 2.0), (20, "a", 4.0), (25, "a", 8.0)]
