"""The sampler under hostile tables, windows and method names.

Whatever the table (empty, one row, unnamed, unsorted, repeated or missing timestamps, time-zone-aware,
other index kinds, a Series), the window (from a nanosecond to weeks, or one pandas refuses) and the method
name, the sampler gives exactly the result or the exception of the same steps in plain pandas, leaves the
caller's table alone, and needs memory in proportion to the table, never to the span over the window.
"""

import os
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler
from samplers_reference import reference_sample, require_ascending, row_times

HAS_UNITS = hasattr(pd.DatetimeIndex, "as_unit")
UNITS = ("ns", "us", "ms", "s") if HAS_UNITS else ("ns",)
UNIT_NS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": 1_000_000_000}
MIB = 1 << 20


class Text(str):
    """A method name that is a str subclass."""


METHODS = ("first", "last", "min", "max", "sum", "mean", "count", "size", "head", "nunique", Text("last"))
LARGEST_FULL_GRID = 1 << 20  # beyond this many periods, indexes of objects or text are read as timestamps
REFUSED_METHODS = ("frist", "", "__class__", None, 3, b"first")
FIXED_UNITS_NS = (1, 1_000, 1_000_000, 1_000_000_000, 60 * 10**9, 3_600 * 10**9, 86_400 * 10**9)
CALENDAR_WINDOWS = ("1W", "W-MON", "1M")
REFUSED_WINDOWS = (pd.Timedelta(0), pd.Timedelta("-1min"), None, "fortnight", 60, float("nan"), pd.NaT, object())


@st.composite
def windows(draw):
    """A window and a rough length in nanoseconds to lay timestamps with."""
    kind = draw(st.sampled_from(("fixed",) * 4 + ("text", "text", "calendar", "refused")))
    if kind == "fixed":
        length = draw(st.sampled_from(FIXED_UNITS_NS)) * draw(st.integers(1, 90))
        return pd.Timedelta(length, unit="ns"), length
    if kind == "text":
        text = draw(st.sampled_from(("1ns", "7us", "250ms", "1s", "90s", "5min", "1h", "36h", "1D")))
        return text, pd.Timedelta(text).value
    if kind == "calendar":
        return draw(st.sampled_from(CALENDAR_WINDOWS)), 31 * 86_400 * 10**9
    return draw(st.sampled_from(REFUSED_WINDOWS)), 10**9


often = st.sampled_from((True,) * 5 + (False,))


@st.composite
def tables(draw, length_ns, periods):
    """A table whose timestamps span up to `periods` windows of `length_ns`, made awkward at will."""
    rows = draw(st.integers(1, 12)) if draw(often) else 0
    start = draw(st.integers(-2 * 10**18, 7 * 10**18))
    offsets = sorted(draw(st.lists(st.integers(0, periods * length_ns), min_size=rows, max_size=rows)))
    stamps = np.array([min(start + offset, 9 * 10**18) for offset in offsets], dtype=np.int64)
    if rows > 1 and draw(st.booleans()):
        stamps[1:] = np.where(
            np.array(draw(st.lists(st.booleans(), min_size=rows - 1, max_size=rows - 1))), stamps[:-1], stamps[1:]
        )  # repeated timestamps
    if rows and not draw(often):
        stamps[draw(st.integers(0, rows - 1))] = np.iinfo(np.int64).min  # NaT
    name = draw(st.sampled_from(("ts",) * 6 + (None, 0, "group_by_label")))
    index = pd.DatetimeIndex(stamps.view("M8[ns]"), name=name)
    unit = draw(st.sampled_from(UNITS))
    # Cutting the timestamps down to a unit coarser than the whole span could stretch the span to one unit:
    # a second of nanosecond windows, a grid that plain pandas, the reference here, cannot afford.
    if unit != "ns" and UNIT_NS[unit] <= periods * length_ns:
        index = index.floor(unit).as_unit(unit)
    if rows > 1 and draw(st.booleans()):
        index = index[draw(st.permutations(range(rows)))]
    shape = draw(st.sampled_from(("naive", "naive", "naive", "UTC", "Asia/Tokyo", "object", "text", "series")))
    if shape in ("UTC", "Asia/Tokyo"):
        index = index.tz_localize(shape)
    elif shape == "object":
        index = pd.Index(list(index), dtype=object, name=index.name)
    elif shape == "text":
        index = pd.Index([str(stamp) for stamp in index], name=index.name)
    table = pd.DataFrame({"price": np.arange(rows, dtype=float), "size": np.arange(rows) % 3}, index=index)
    return table["price"] if shape == "series" else table


def outcome(function):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = function(), None
        except Exception as raised:  # noqa: BLE001 - the exception is what is compared
            result, error = None, raised
    return result, error, {(warning.category, str(warning.message)) for warning in caught}


def assert_same_outcome(actual, expected, same_warnings=True):
    result, error, caught = actual
    expected_result, expected_error, expected_caught = expected
    if same_warnings:
        assert caught == expected_caught
    assert (type(error), str(error)) == (type(expected_error), str(expected_error))
    if expected_error is None:
        assert type(result) is type(expected_result)
        if isinstance(expected_result, pd.DataFrame):
            pd.testing.assert_frame_equal(result, expected_result, check_exact=True)
        elif isinstance(expected_result, pd.Series):
            pd.testing.assert_series_equal(result, expected_result, check_exact=True)
        else:
            assert result == expected_result


def pandas_own_or_documented(error):
    documented = (TypeError, ValueError, AttributeError, OverflowError, KeyError, IndexError, RuntimeError)
    return isinstance(error, documented) or type(error).__module__.split(".")[0] == "pandas"


def sample_leaving_the_table_alone(table, window, func_name):
    before = table.copy(deep=True)
    sampler = ExistingTimestampSampler(func_name=func_name, window=window)
    actual = outcome(lambda: sampler(table))
    if isinstance(table, pd.DataFrame):
        pd.testing.assert_frame_equal(table, before, check_exact=True)
    else:
        pd.testing.assert_series_equal(table, before, check_exact=True)
    return actual


# Every result against plain pandas, on grids plain pandas can still afford ------------------------------


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_any_table_window_and_method_give_what_plain_pandas_gives(data):
    window, length = data.draw(windows())
    table = data.draw(tables(length, periods=data.draw(st.sampled_from((3, 300, 3000)))))
    func_name = data.draw(st.sampled_from(METHODS) | st.sampled_from(REFUSED_METHODS))
    converted = converted_when_long(table.index, window)
    if converted is not None:
        # The module reads such an index as timestamps rather than lay the full grid.
        event("converted")
        expected = outcome(lambda: sparse_reference(table, window, func_name, converted))
    else:
        expected = outcome(lambda: reference_sample(table, window, func_name))
    event("pandas raises" if expected[1] is not None else "a result")
    actual = sample_leaving_the_table_alone(table, window, func_name)
    assert_same_outcome(actual, expected, same_warnings=converted is None)


# Short windows over long spans ------------------------------------------------------------------------


def converted_when_long(index, window):
    """An index of objects or text as pandas' datetime conversion reads it, when its full grid would be long."""
    if isinstance(index, pd.DatetimeIndex) or index.dtype.kind != "O" or not len(index):
        return None
    try:
        first = pd.period_range(start=index[0], end=index[0], freq=window)
        last = pd.period_range(start=index[-1], end=index[-1], freq=window)
        long = len(first) == len(last) == 1 and (last.asi8[0] - first.asi8[0]) // first.freq.n >= LARGEST_FULL_GRID
    except Exception:  # noqa: BLE001 - what pandas cannot lay periods for keeps the listed steps
        return None
    for text_format in (None, "ISO8601") if long else ():
        try:
            converted = pd.to_datetime(index, format=text_format)
        except Exception:  # noqa: BLE001 - what does not convert keeps the listed steps
            continue
        return converted if isinstance(converted, pd.DatetimeIndex) else None
    return None


def sparse_reference(table, window, func_name, times=None):
    """The plain-pandas steps with only the periods that rows fall in, built from pandas' own periods; rows
    are labelled by `times` when given (a converted index), else by the index."""
    index = table.index if times is None else times
    require_ascending(index)
    times, first, last = row_times(index)
    if index is not table.index and index.tz is None:
        first, last = table.index[0], table.index[-1]
    first_period = pd.period_range(start=first, end=first, freq=window)
    last_period = pd.period_range(start=last, end=last, freq=window)
    step = first_period.freq.n
    last_number = (last_period.asi8[0] - first_period.asi8[0]) // step
    if last_number < 0:  # an empty grid
        return reference_sample(table, window, func_name)
    ordinals = times.to_period(first_period.freq.base).asi8
    numbers = (ordinals - first_period.asi8[0]) // step
    numbers = np.unique(np.concatenate([[0, last_number], np.minimum(numbers[numbers >= 0], last_number)]))
    grid = (first_period.repeat(len(numbers)) + numbers).astype("datetime64[ns]")
    new_time = pd.Series(grid, index=grid).reindex(times.unique().union(grid)).ffill()
    table = table.copy()
    table["group_by_label"] = new_time.loc[times].values
    index_col = table.index.name
    grouped = table.reset_index().groupby("group_by_label", as_index=True, sort=False)
    return getattr(grouped, func_name)().set_index(keys=index_col, drop=True)


@st.composite
def long_span_tables(draw):
    rows = draw(st.integers(1, 40))
    start = draw(st.integers(-(10**18), 10**18))
    span = draw(st.sampled_from((10**7, 10**12, 10**15, 10**18)))
    stamps = np.array(sorted(draw(st.lists(st.integers(start, start + span), min_size=rows, max_size=rows))))
    index = pd.DatetimeIndex(stamps.view("M8[ns]"), name="ts")
    if rows > 1 and draw(st.booleans()):
        index = index[draw(st.permutations(range(rows)))]
    if rows > 2 and draw(st.booleans()):
        index = pd.DatetimeIndex([pd.NaT if i == rows // 2 else stamp for i, stamp in enumerate(index)], name="ts")
    tz = draw(st.sampled_from((None, None, "UTC", "America/New_York")))
    if tz is not None:
        index = index.tz_localize(tz)
    return pd.DataFrame({"price": np.arange(rows, dtype=float)}, index=index)


@settings(max_examples=150, deadline=None)
@given(
    table=long_span_tables(),
    window=st.sampled_from(("1ns", "3ns", "1us", "250us", pd.Timedelta("7ms"))),
    func_name=st.sampled_from(("first", "last", "count", "head")),
)
def test_short_windows_over_long_spans_lay_only_the_periods_rows_fall_in(table, window, func_name):
    tracemalloc.start()
    try:
        actual = sample_leaving_the_table_alone(table, window, func_name)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 * MIB, f"{peak} bytes at the peak for {len(table)} rows"
    # The reference reads the rows' periods through pandas calls of its own, with warnings of their own.
    assert_same_outcome(actual, outcome(lambda: sparse_reference(table, window, func_name)), same_warnings=False)


@pytest.mark.parametrize("shape", ["UTC", "unsorted", "NaT", "series", "seconds"])
def test_a_nanosecond_window_over_milliseconds_needs_no_grid(shape):
    # Plain pandas lays 2e7 periods here and then unions them with the index: gigabytes, and minutes for
    # a time-zone-aware index.
    start = pd.Timestamp("2024-01-01")
    stamps = [start, start + pd.Timedelta("10ms"), start + pd.Timedelta("20ms")]
    index = pd.DatetimeIndex(stamps, name="ts")
    expected = 3  # rows, or the exception
    if shape == "UTC":
        index = index.tz_localize("UTC")
    elif shape == "unsorted":
        index, expected = index[[0, 2, 1]], ValueError  # refused before anything is laid
    elif shape == "NaT":
        index, expected = pd.DatetimeIndex([stamps[0], pd.NaT, stamps[2]], name="ts"), ValueError
    elif shape == "seconds" and HAS_UNITS:
        index = pd.DatetimeIndex(["1900-01-01", "2000-01-01", "2100-01-01"], name="ts").as_unit("s")
    elif shape == "series":
        expected = KeyError  # labelled, then refused by the group-by as pandas refuses it
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index)
    if shape == "series":
        table = table["price"]
    tracemalloc.start()
    try:
        result, error, _ = outcome(lambda: ExistingTimestampSampler(func_name="last", window="1ns")(table))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * MIB
    if isinstance(expected, int):
        assert len(result) == expected
    else:
        assert isinstance(error, expected)


@pytest.mark.parametrize(
    "index, window",
    [
        (pd.Index(["2024-01-01 00:00:00", "2024-01-01 00:00:00.01", "2024-01-01 00:00:00.02"], name="ts"), "1ns"),
        (
            pd.Index(
                list(pd.DatetimeIndex(["2024-01-01", "2024-01-01 00:00:00.02", "2024-01-02"])), dtype=object, name="ts"
            ),
            "1ns",
        ),
        (
            pd.Index(
                list(pd.DatetimeIndex(["2021-01-01", "2022-01-01", "2023-01-01"], tz="UTC")), dtype=object, name="ts"
            ),
            pd.Timedelta("1min"),
        ),
        (pd.Index(["2024-01-01 00:00", "2024-01-02 00:00", "2024-01-01 12:00"], name="ts"), "1ns"),
        (pd.PeriodIndex(["2024-01-01", "2024-01-02", "2024-01-03"], freq="D", name="ts"), "1ns"),
    ],
    ids=["text", "object", "aware objects", "text out of order", "periods"],
)
def test_other_indexes_over_long_grids_are_read_as_timestamps_where_pandas_can(index, window):
    # Plain pandas lays every period of the span over these (a year of minutes takes some 40 s); read as
    # timestamps they take the path that lays only the periods rows fall in, and the result is indexed by
    # the timestamps they stand for, as with a short grid.
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index)
    converted = converted_when_long(index, window)
    if converted is None:  # a PeriodIndex does not convert: pandas' own steps, and its failure
        if os.environ.get("NORVANE_SANITIZED"):
            pytest.skip("pandas asks for pebibytes, an allocation the sanitizer run does not survive")
        actual = outcome(lambda: ExistingTimestampSampler(func_name="last", window=window)(table))
        assert isinstance(actual[1], MemoryError)
        assert_same_outcome(actual, outcome(lambda: reference_sample(table, window, "last")))
        return
    tracemalloc.start()
    try:
        actual = outcome(lambda: ExistingTimestampSampler(func_name="last", window=window)(table))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < MIB
    if not converted.is_monotonic_increasing:
        assert isinstance(actual[1], ValueError)
    else:
        assert actual[0].index.equals(converted)
        as_timestamps = table.set_axis(converted, axis=0)
        assert_same_outcome(
            actual, outcome(lambda: sparse_reference(as_timestamps, window, "last")), same_warnings=False
        )


@pytest.mark.parametrize("window", ["1ns", "2ns"])
def test_a_grid_too_long_to_lay_at_all_is_refused_without_trying(window):
    # The whole nanosecond range, as objects: pandas' full grid would ask for exbibytes (an allocation
    # that a sanitizer run does not survive). Read as the timestamps they stand for, they are sampled as
    # that DatetimeIndex is, without laying a grid.
    index = pd.Index(list(pd.DatetimeIndex(["1677-09-22", "2000-01-01", "2262-04-11"])), dtype=object, name="ts")
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index)
    sampler = ExistingTimestampSampler(func_name="last", window=window)
    result = sampler(table)
    assert len(result) == 3
    pd.testing.assert_frame_equal(result, sampler(table.set_axis(pd.to_datetime(index), axis=0)), check_exact=True)


def test_the_grid_end_beyond_the_nanosecond_range_fails_as_the_full_grid_fails():
    if not HAS_UNITS:
        pytest.skip("pandas before 2.0 has nanosecond indexes only")
    # Past the nanosecond range, so the grid is laid through pandas: hourly from 2262-04-10 to 2262-07-01,
    # the nanosecond range ending at 2262-04-11 23:47; the first period past it is the one pandas names.
    # Aware, so that it is not moved 400 years back as its naive twin is, which samples.
    index = pd.DatetimeIndex(np.array(["2262-04-10", "2262-06-01", "2262-07-01"], dtype="M8[s]"), name="ts")
    naive = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index)
    assert len(ExistingTimestampSampler(func_name="first", window="1h")(naive)) == 3
    table = naive.tz_localize("UTC")
    with pytest.raises(ValueError) as raised:
        ExistingTimestampSampler(func_name="first", window="1h")(table)
    with pytest.raises(ValueError) as expected:
        reference_sample(table, "1h", "first")
    assert (type(raised.value), str(raised.value)) == (type(expected.value), str(expected.value))


def test_an_index_whose_data_changes_while_it_is_sampled():
    # The index is checked, then Python code runs (here the index's own __getitem__) before the rows are
    # labelled. Timestamps written into the index's data in between leave wrong labels, as pandas would
    # give, but must not make the labelling arithmetic undefined: the sanitizer run stops on that.
    class Rewritten(pd.DatetimeIndex):
        armed = False

        def __getitem__(self, key):
            if Rewritten.armed and isinstance(key, int):
                Rewritten.armed = False
                self.asi8[1], self.asi8[-1] = -(2**62), 2**62
            return super().__getitem__(key)

    unit = "s" if HAS_UNITS else "ns"
    stamps = np.array(["2024-01-01T00:00", "2024-01-01T00:01", "2024-01-01T00:02"], dtype=f"M8[{unit}]")
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=Rewritten(stamps, name="ts"))
    Rewritten.armed = True
    result, error, _ = outcome(lambda: ExistingTimestampSampler(func_name="last", window="1min")(table))
    assert not Rewritten.armed
    assert isinstance(result, pd.DataFrame) or pandas_own_or_documented(error)
