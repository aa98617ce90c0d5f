"""The bundled input: Seattle's daily high temperatures (°C) for 2012-2015, from the
seattle-weather table that the vega_datasets package ships (read from its own file, never
downloaded).

With the example's settings (`scripts/example`: a window of 45 days, flags above |z| 3.25) the
flags are the weather's outliers rather than its seasons: the cold snaps of December 2013 and
February 2014, the heat of late April 2014 and of 1 July 2014, and a warm day in April 2012.
"""

from __future__ import annotations

import importlib

from quillometer_tools.feed import Feed, FeedOptions, InputError, open_feed

NAME = "vega_datasets: seattle-weather (2012-2015, daily high, °C)"
COLUMN = "temp_max"


def bundled_temperatures() -> Feed:
    try:
        local_data = importlib.import_module("vega_datasets").local_data  # no type hints
    except ImportError:
        raise InputError(
            "no CSV given, and the bundled temperatures need vega_datasets "
            "(pip install 'quillometer[examples]'); give a CSV file, or - for "
            "standard input"
        ) from None
    feed = open_feed(
        str(local_data.seattle_weather.filepath), FeedOptions(time_column="date", columns=[COLUMN])
    )
    feed.name = NAME
    return feed
