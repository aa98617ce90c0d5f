"""The main job, `bash scripts/example`'s `quillometer-monitor` run on the bundled daily highs:
its summary, flags and chart, and every appended value's statistics (its --trace file) against
pandas as an outside oracle, each to the closeness docs/api.md states for it."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from vega_datasets import local_data

ROOT = Path(__file__).resolve().parents[2]
COMMAND = str(Path(sys.executable).with_name("quillometer-monitor"))
EPS = np.finfo(float).eps
# The example's settings, as scripts/example passes them; the alpha is the command's default.
EXAMPLE = re.search(
    r"quillometer-monitor (--window-size (\d+) --threshold ([\d.]+))",
    (ROOT / "scripts" / "example").read_text(),
)
EXAMPLE_OPTIONS = EXAMPLE.group(1).split()
WINDOW_SIZE, THRESHOLD, ALPHA = int(EXAMPLE.group(2)), float(EXAMPLE.group(3)), 0.1
DAY = 86_400
# docs/api.md, "Against pandas": how far each statistic may be from pandas', X being the
# largest |value| appended so far (here less the reference, as the command appends them).
VARIANCE_ULPS = 3  # the all-time variance, in ulps of pandas'
LEVEL_ULPS_OF_X = 100  # the windowed means, in ulps of X
SPREAD_SQUARED_EPS_X2 = 150  # the windowed stds' squares, in eps * X**2


def pandas_highs():
    """The daily highs, read by pandas itself, indexed by date."""
    return local_data.seattle_weather().set_index("date")["temp_max"].sort_index()


def run_monitor(*args):
    result = subprocess.run(
        [COMMAND, "--no-progress", *args], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0 and result.stderr == "", result.stderr
    return result.stdout


def summary_rows(output):
    """{column: [fields]} from the summary table."""
    table = re.search(r"^-{20,}\n(.*?)(\n\n|\Z)", output, re.M | re.S).group(1)
    return {line.split()[0]: line.split() for line in table.splitlines()}


def pandas_flags(values):
    """|z| over a full window above the threshold, z recomputed by pandas."""
    rolling = values.rolling(WINDOW_SIZE)
    z = (values - rolling.mean()) / rolling.std(ddof=0)
    return z.abs() > THRESHOLD


@pytest.fixture(scope="module")
def example_run(tmp_path_factory):
    work = tmp_path_factory.mktemp("run")
    chart, trace = work / "chart.png", work / "trace.csv"
    return run_monitor(*EXAMPLE_OPTIONS, "--chart", str(chart), "--trace", str(trace)), chart, trace


def test_example_summarises_and_flags_the_outliers(example_run):
    output, chart, _ = example_run
    values = pandas_highs()
    rows = summary_rows(output)
    assert list(rows) == ["temp_max"]
    fields = rows["temp_max"]
    assert int(fields[1]) == len(values) and int(fields[2]) == 0
    assert float(fields[3]) == pytest.approx(values.mean(), abs=0.005)
    assert float(fields[4]) == pytest.approx(values.std(ddof=0), abs=0.005)
    assert float(fields[5]) == pytest.approx(values.iloc[-1], abs=0.005)
    # daily data: a closed window of WINDOW_SIZE days holds one value more
    assert fields[8] == f"{(WINDOW_SIZE + 1) / WINDOW_SIZE:.2f}/d"
    printed = re.findall(r"^(\d{4}-\d\d-\d\d)  temp_max .* z=([+-]\d+\.\d+)", output, re.M)
    want = [f"{day:%Y-%m-%d}" for day in values.index[pandas_flags(values)]]
    # every flag is printed (fewer than a file's 12 per column), and they are pandas' flags
    assert want and [day for day, _ in printed] == want and int(fields[-1]) == len(want)
    assert all(abs(float(z)) > THRESHOLD for _, z in printed)
    # the README names each flagged day
    readme = (ROOT / "README.md").read_text()
    assert all(day in readme for day in want), [day for day in want if day not in readme]
    assert f"chart: {chart}" in output
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_per_value_statistics_match_pandas(example_run):
    _, _, trace = example_run
    mine = pd.read_csv(trace)
    mine["date"] = pd.to_datetime(mine["ts"], unit="s")
    mine = mine.set_index("date")
    values = pandas_highs()
    assert list(mine.index) == list(values.index) and set(mine["column"]) == {"temp_max"}
    assert np.array_equal(mine["value"].to_numpy(), values.to_numpy())
    # The command measures from the first value and adds it back to the levels: so does pandas.
    reference = values.iloc[0]
    assert (mine["reference_added_back"] == reference).all()
    shifted = values - reference
    x = shifted.abs().cummax().to_numpy()
    count, timed = (
        shifted.rolling(WINDOW_SIZE, min_periods=1),
        shifted.rolling(f"{WINDOW_SIZE * DAY}s", closed="both"),
    )
    want = {
        "ewma": shifted.ewm(alpha=ALPHA, adjust=False).mean() + reference,
        "variance": shifted.expanding().var(ddof=0),
        "rolling_mean": count.mean() + reference,
        "time_mean": timed.mean() + reference,
        "rolling_std": count.std(ddof=0),
        "time_std": timed.std(ddof=0),
    }
    got = {name: mine[name].to_numpy() for name in [*want, "zscore"]}
    want = {name: series.to_numpy() for name, series in want.items()}

    assert np.array_equal(got["ewma"], want["ewma"])
    variance_ulps = np.abs(got["variance"] - want["variance"]) / np.spacing(want["variance"])
    assert variance_ulps.max() <= VARIANCE_ULPS
    level_bound = LEVEL_ULPS_OF_X * np.spacing(x)
    for name in ["rolling_mean", "time_mean"]:
        # the add-back rounds once more, to an ulp of the level
        excess = np.abs(got[name] - want[name]) - np.spacing(np.abs(want[name]))
        assert np.all(excess <= level_bound), f"{name}: {np.max(excess / np.spacing(x)):.3g} ulps"
    spread_bound = SPREAD_SQUARED_EPS_X2 * EPS * x * x
    for name in ["rolling_std", "time_std"]:
        gap = np.abs(got[name] ** 2 - want[name] ** 2)
        assert np.all(gap <= spread_bound), f"{name}: {np.max(gap / (EPS * x * x)):.3g} eps X^2"

    # zscore: relatively as close as the std, plus the mean's difference over the std
    # (over the rows with a spread: the first row's std is 0 and its z reads 0)
    spread = want["rolling_std"] > 0
    assert not spread[0] and spread[1:].all() and got["zscore"][0] == 0
    std, mean = want["rolling_std"][spread], want["rolling_mean"][spread]
    z = (values.to_numpy()[spread] - mean) / std
    relative = spread_bound[spread] / (2 * std * std)
    bound = np.abs(z) * relative + (level_bound[spread] + np.spacing(np.abs(mean))) / std
    assert np.all(np.abs(got["zscore"][spread] - z) <= bound)
    # |z| <= sqrt(n - 1) in exact arithmetic, exceeded by no more than rounding
    held = np.minimum(np.arange(1, len(values) + 1), WINDOW_SIZE)[spread]
    assert np.all(np.abs(got["zscore"][spread]) <= np.sqrt(held - 1) * (1 + relative))
    assert np.array_equal(mine["flagged"].to_numpy().astype(bool), pandas_flags(values).to_numpy())


def test_any_csv_with_gaps_and_non_finite_cells(tmp_path):
    """Empty, non-numeric and non-finite cells are skipped and counted per column; a row
    names only what it has."""
    csv = tmp_path / "readings.csv"
    csv.write_text("a,timestamp,b\n1,0,10\n2,5,\n,10,nan\n4,20,inf\n8,25,x\n")
    trace = tmp_path / "trace.csv"
    output = run_monitor(
        str(csv), "--window-size", "3", "--time-window", "10", "--trace", str(trace)
    )
    rows = summary_rows(output)
    # a: mean of 1, 2, 4, 8; rate: 4 and 8 sit within 10 units of ts 25, over 10 units
    assert rows["a"][1:4] == ["4", "1", "3.75"] and rows["a"][8] == "0.200/unit"
    assert rows["b"][1:4] == ["1", "4", "10.00"]
    appended = pd.read_csv(trace)
    assert list(zip(appended["ts"], appended["column"], appended["value"], strict=True)) == [
        (0, "a", 1.0),
        (0, "b", 10.0),
        (5, "a", 2.0),
        (20, "a", 4.0),
        (25, "a", 8.0),
    ]
