"""The example program on its default data: its output and chart, and its per-row statistics
against pandas as an outside oracle."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from vega_datasets import local_data

EXAMPLE = Path(__file__).parents[2] / "examples" / "temperature_stream.py"
RTOL = 1e-9


def load_example():
    spec = importlib.util.spec_from_file_location("temperature_stream", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


example = load_example()


def pandas_columns():
    """The two temperature series, read by pandas itself, indexed by time."""
    frames = {"seattle": local_data.seattle_temps(), "san_francisco": local_data.sf_temps()}
    return {name: frame.set_index("date")["temp"].sort_index() for name, frame in frames.items()}


def run_example(*args):
    result = subprocess.run([sys.executable, str(EXAMPLE), "--no-progress", *args],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


def summary_rows(output):
    """{column: [fields]} from the summary table."""
    table = re.search(r"^-{20,}\n(.*?)\n\n", output, re.M | re.S).group(1)
    return {line.split()[0]: line.split() for line in table.splitlines()}


@pytest.fixture(scope="module")
def default_run(tmp_path_factory):
    chart = tmp_path_factory.mktemp("chart") / "chart.png"
    return run_example("--chart", str(chart)), chart


def test_default_run_summarises_both_cities(default_run):
    output, _ = default_run
    series = pandas_columns()
    rows = summary_rows(output)
    assert set(rows) == set(series)
    for name, values in series.items():
        fields = rows[name]
        assert int(fields[1]) == len(values) and int(fields[2]) == 0
        assert float(fields[3]) == pytest.approx(values.mean(), abs=0.005)
        assert float(fields[4]) == pytest.approx(values.std(ddof=0), abs=0.005)
        assert float(fields[5]) == pytest.approx(values.iloc[-1], abs=0.05)
        # hourly data: a closed 24-hour window holds 25 values
        assert float(fields[8]) == pytest.approx(25 / 24, abs=0.005)
    flagged = re.findall(r"^\d{4}-\d\d-\d\d \d\d:\d\d  (\w+) .* z=([+-]\d+\.\d+)", output, re.M)
    assert flagged and all(abs(float(z)) > example.Settings.threshold for _, z in flagged)
    assert sum(int(fields[-1]) for fields in rows.values()) >= len(flagged)


def test_default_run_writes_the_chart(default_run):
    output, chart = default_run
    assert f"chart: {chart}" in output
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    import matplotlib.image

    height, width, _ = matplotlib.image.imread(chart).shape
    assert width >= 800 and height >= 600


@pytest.fixture(scope="module")
def example_readings():
    """The example's per-row statistics on its default data, per column, indexed by time."""
    settings = example.Settings()
    stream = example.default_stream()
    q = example.Quillometer(stream.columns, settings.window_size, settings.alpha,
                            settings.time_window)
    frame = pd.DataFrame([r.__dict__ for r in example.readings(q, stream.rows, settings)])
    frame["date"] = pd.to_datetime(frame["ts"], unit="s")
    return {name: part.set_index("date") for name, part in frame.groupby("column")}, settings


def test_per_row_statistics_match_pandas(example_readings):
    ours, settings = example_readings
    w, tw = settings.window_size, settings.time_window
    for name, values in pandas_columns().items():
        mine = ours[name]
        assert list(mine.index) == list(values.index)
        assert np.array_equal(mine["value"].to_numpy(), values.to_numpy())
        expected = {
            "rolling_mean": values.rolling(w, min_periods=1).mean(),
            "rolling_std": values.rolling(w, min_periods=1).std(ddof=0),
            "time_mean": values.rolling(f"{tw}s", closed="both").mean(),
            "time_std": values.rolling(f"{tw}s", closed="both").std(ddof=0),
            "ewma": values.ewm(alpha=settings.alpha, adjust=False).mean(),
            "variance": values.expanding().var(ddof=0),
        }
        for statistic, reference in expected.items():
            got, want = mine[statistic].to_numpy(), reference.to_numpy()
            # a spread of exactly zero cannot be matched relatively
            scale = np.maximum(np.abs(want), 1e-6)
            worst = np.max(np.abs(got - want) / scale)
            assert worst <= RTOL, f"{name} {statistic}: relative error {worst:.3g}"


def test_any_csv_with_gaps_and_non_finite_cells(tmp_path):
    """Empty, non-numeric and non-finite cells are skipped; a row names only what it has."""
    csv = tmp_path / "readings.csv"
    csv.write_text("a,timestamp,b\n1,0,10\n2,5,\n,10,nan\n4,20,inf\n8,25,x\n")
    stream = example.read_csv(csv)
    assert stream.columns == ["a", "b"] and not stream.seconds
    assert stream.rows == [(0, {"a": 1.0, "b": 10.0}), (5, {"a": 2.0}), (10, {}),
                           (20, {"a": 4.0}), (25, {"a": 8.0})]
    assert stream.skipped == {"a": 1, "b": 4}
    output = run_example(str(csv), "--window-size", "3", "--time-window", "10",
                         "--chart", str(tmp_path / "a.png"))
    rows = summary_rows(output)
    # a: mean of 1, 2, 4, 8; rate: 4 and 8 sit within 10 units of ts 25, over 10 units
    assert rows["a"][1:4] == ["4", "1", "3.75"] and rows["a"][8] == "0.20"
    assert rows["b"][1:4] == ["1", "4", "10.00"]
    assert (tmp_path / "a.png").exists()
