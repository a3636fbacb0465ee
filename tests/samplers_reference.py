"""The existing-timestamp sampler written out in plain pandas.

The differential test compares the native module against `reference_sample`, and the benchmark times
the module against it, so both measure the same thing: every step below is what
`ExistingTimestampSampler.sample` does through pandas, minus the logging.

What the pandas steps do, measured on pandas 1.5.3, 2.2.3 and 3.1.2 (numpy 1.26 and 2.x):

* `pd.period_range(start=first, end=last, freq=window)` turns `window` into a period frequency and
  lays consecutive periods from `Period(first, freq)` to `Period(last, freq)`, stepping by the
  frequency's multiple. The first period starts at the first timestamp cut down (towards minus
  infinity, also before 1970) to the period's own resolution, which is the frequency's base offset:
  a 5-minute period starts on the minute, a 90 s period on the second, a 250 ms period on the
  millisecond, a 36 h period on the hour, a day period at midnight. The grid is never aligned to
  multiples of the window on the clock.
* Fixed-length frequencies are pandas' Tick offsets: Hour, Minute, Second, Milli, Micro, Nano, and
  Day before pandas 3. A Timedelta window becomes the Tick of the largest unit that divides it
  (`Timedelta("36h")` -> 36 Hours, `"90s"` -> 90 Seconds, `"1500us"` -> 1500 Micros). Pandas 3
  reads a one-day Timedelta as 24 Hours, so its grid starts on the hour of the first timestamp,
  where pandas 1.5 and 2.x start at midnight; the string "1D" stays a Day in pandas 3, but Day is
  no longer a Tick there. Week ("1W", "W-MON") and month ("1M") frequencies are calendar periods.
  Zero and negative windows are refused by pandas ("Frequency must be positive").
* The index resolution (s, ms, us, ns) does not move the grid: the period starts are the same
  instants, and the label column built from them is always datetime64[ns]. Pandas 3 parses
  datetime strings to microsecond indexes by default; the result keeps the input's resolution.
* Timestamps whose grid does not fit in datetime64[ns] (after 2262-04-11) fail the grid
  conversion with OutOfBoundsDatetime; windows much smaller than the span build a huge grid. The
  module samples a naive s/ms/us table beyond those years as the same table whole 400-year cycles
  nearer (the calendar repeats), moved back; the differential test states that directly.

Calls replaced so that the steps run, without warnings, from pandas 1.5 to 3.x:

* `PeriodIndex.astype(np.datetime64)` raises "Supported units are 's', 'ms', 'us', 'ns'" from 2.2;
  `astype("datetime64[ns]")` gives the same period starts everywhere.
* `Series.fillna(method="ffill")` warns from 2.1 and is gone in 3.0; `Series.ffill()` is identical.
* `DataFrame.set_index(..., inplace=True)` warns in 3.0; assigning the returned table is identical.

Four mends of the listed steps, which silently lost rows:

* A datetime index out of order or holding NaT is refused with ValueError naming the first offending
  position, before anything else happens; rows outside the grid the first and last timestamps bound
  would otherwise get no label and vanish.
* A time-zone-aware index: the union of aware timestamps with the naive grid matches none of them, so
  every row vanished. Rows are labelled by their wall-clock times (the periods pandas reads from aware
  timestamps), over a grid from the earliest to the latest of them; the result keeps the time zone.
* An index of text or objects that `pd.to_datetime` reads (text, datetimes, datetime64 values, dates,
  or a mix of them) is sampled as the DatetimeIndex it converts to: the union of text with the
  timestamp grid matched nothing, so every row vanished whenever the grid was short. The conversion is
  tried as given, then with format "ISO8601" (decimals that differ from row to row); aware datetimes in
  several zones, which neither reads, are read as UTC instants, so that their order is checked. An
  index that does not convert takes the steps as they are; in the module, one of those whose full grid
  would be long is converted as well, and the steps here give the same labels for it, slowly.

Duplicate timestamps: the union of an index holding duplicates with the grid keeps the duplicates,
so looking the rows up in the forward-filled map returns k*k rows for a timestamp seen k times and
the label assignment fails with a length mismatch. Building the map on the unique timestamps gives
every row the start of its period; for unique timestamps the map is unchanged.
"""

import numpy as np
import pandas as pd

LABEL_COLUMN = "group_by_label"


def _reduction(grp_obj, func_name):
    if not isinstance(func_name, str):
        raise TypeError("hasattr(): attribute name must be string")
    try:
        getattr(grp_obj, func_name)
    except Exception:
        raise RuntimeError(f"Unsupported agg_func_name={func_name}, typo?") from None
    return getattr(grp_obj, func_name)()


def require_ascending(index):
    """The refusal of a datetime index out of order or holding NaT."""
    if not isinstance(index, pd.DatetimeIndex):
        return
    prefix = "the index must be ascending without missing timestamps: "
    ticks = index.asi8
    missing = np.flatnonzero(index.isna())
    backwards = np.flatnonzero(ticks[1:] < ticks[:-1]) + 1
    if len(missing) and (not len(backwards) or missing[0] <= backwards[0]):
        raise ValueError(f"{prefix}position {missing[0]} holds NaT")
    if len(backwards):
        at = backwards[0]
        raise ValueError(f"{prefix}position {at} ({index[at]}) is earlier than position {at - 1} ({index[at - 1]})")


def timestamp_index(index):
    """An index of text or objects as the DatetimeIndex pandas converts it to, else the index as it is."""
    if isinstance(index, pd.DatetimeIndex) or getattr(index.dtype, "kind", None) != "O":
        return index
    inferred = index.inferred_type
    if inferred not in ("string", "datetime", "datetime64", "date", "mixed"):
        return index
    attempts = [{}, {"format": "ISO8601"}]
    if inferred == "datetime" and all(getattr(value, "tzinfo", None) is not None for value in index):
        attempts.append({"utc": True})
    for keywords in attempts:
        try:
            converted = pd.to_datetime(index, **keywords)
        except Exception:  # noqa: BLE001 - an index pandas does not read stays as it is
            continue
        if isinstance(converted, pd.DatetimeIndex):
            return converted
    return index


def row_times(index):
    """The timestamps rows are labelled by and the ends of the grid: wall-clock times for an aware index."""
    first, last = index[0], index[-1]
    if getattr(index, "tz", None) is None:
        return index, first, last
    wall = index.tz_localize(None)
    return wall, wall.min(), wall.max()


def reference_sample(df, window, func_name):
    """The sampler's steps with the replacements and mends above; runs on pandas 1.5 to 3.x."""
    if isinstance(df, pd.DataFrame):
        df = df.set_axis(timestamp_index(df.index), axis=0)
    require_ascending(df.index)
    df = df.copy()
    times, first, last = row_times(df.index)
    new_time_index = pd.period_range(start=first, end=last, freq=window).astype("datetime64[ns]")
    new_time_index.freq = None
    new_time = pd.Series(new_time_index, index=new_time_index).reindex(times.unique().union(new_time_index)).ffill()
    df[LABEL_COLUMN] = new_time.loc[times].values
    index_col = df.index.name
    temp_df = df.reset_index()
    grp_obj = temp_df.groupby(LABEL_COLUMN, as_index=True, sort=False)
    df = _reduction(grp_obj, func_name)
    df = df.set_index(keys=index_col, drop=True)
    return df


def listed_sample(df, window, func_name):
    """The steps exactly as first written; they only run on pandas below 2.1 with unique timestamps."""
    df = df.copy()
    new_time_index = pd.period_range(start=df.index[0], end=df.index[-1], freq=window).astype(np.datetime64)
    new_time_index.freq = None
    new_time = (
        pd.Series(new_time_index, index=new_time_index).reindex(df.index.union(new_time_index)).fillna(method="ffill")
    )
    df[LABEL_COLUMN] = new_time.loc[df.index].values
    index_col = df.index.name
    temp_df = df.reset_index()
    grp_obj = temp_df.groupby(LABEL_COLUMN, as_index=True, sort=False)
    df = _reduction(grp_obj, func_name)
    df.set_index(keys=index_col, drop=True, inplace=True)
    return df
