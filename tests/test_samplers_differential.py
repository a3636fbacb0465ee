"""The native sampler against the same steps written in plain pandas, on many seeded tables.

Fixed-length windows over a datetime64 index, naive or time-zone-aware, take the module's own labelling
pass; calendar windows and other indexes go through pandas; unsorted or NaT-holding indexes are refused.
Each must give exactly the table (or the exception) that the pandas steps give, and leave the caller's
table as it was.
"""

import datetime
import warnings

import numpy as np
import pandas as pd
import pytest

from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler
from samplers_reference import listed_sample, reference_sample

PANDAS_VERSION = tuple(int(part) for part in pd.__version__.split(".")[:2])
HAS_UNITS = hasattr(pd.DatetimeIndex, "as_unit")
UNITS = ("ns", "us", "ms", "s") if HAS_UNITS else ("ns",)
REDUCTIONS = ("first", "last", "min", "max", "sum", "mean", "median", "count")
# Reductions that keep the label column or return something other than a table.
ODD_REDUCTIONS = ("head", "nunique", "size", "std")

FIXED_WINDOWS = (
    pd.Timedelta("1ms"),
    pd.Timedelta("7ms"),
    pd.Timedelta("250ms"),
    pd.Timedelta("1s"),
    pd.Timedelta("1500ms"),
    pd.Timedelta("90s"),
    pd.Timedelta("1min"),
    pd.Timedelta("5min"),
    pd.Timedelta("15min"),
    pd.Timedelta("1h"),
    pd.Timedelta("36h"),
    pd.Timedelta("1D"),
    pd.Timedelta("2D"),
    pd.Timedelta("3D"),
    datetime.timedelta(minutes=5),
    "250ms",
    "1s",
    "1min",
    "5min",
    "1h",
    "1D",  # a Tick before pandas 3, a calendar day from pandas 3 on
    "7D",
)
CALENDAR_WINDOWS = ("1W", "W-MON", "2W", "1M")
LATEST = int(np.datetime64("2200-01-01T00:00:00", "ns").astype(np.int64))


def _window_length(window):
    """A rough length, to keep the plain-pandas grid small."""
    lengths = {"1W": "7D", "W-MON": "7D", "2W": "14D", "1M": "31D"}
    return pd.Timedelta(lengths.get(window, window)) if isinstance(window, str) else pd.Timedelta(window)


def _timestamps(rng, n, window, pattern):
    length = _window_length(window).value
    start = int(np.datetime64("1965-01-01T00:00:00", "ns").astype(np.int64)) + int(
        rng.integers(0, 65 * 365 * 86_400 * 10**9)
    )
    if rng.random() < 0.3:  # start exactly on a period boundary of the clock
        start -= start % min(length, 86_400 * 10**9)
    mean_step = length * rng.choice([0.02, 0.3, 1.0, 3.0])
    steps = rng.exponential(mean_step, n).astype(np.int64)
    if pattern == "duplicates":
        steps[rng.random(n) < 0.4] = 0
    elif pattern == "gaps":
        gaps = rng.random(n) < 0.1
        steps[gaps] += (length * rng.integers(2, 20, gaps.sum())).astype(np.int64)
    elif pattern == "boundaries":  # many rows exactly on, or just before, a window multiple
        steps = np.full(n, length, dtype=np.int64)
        steps[rng.random(n) < 0.5] -= 1
    steps[0] = 0
    values = start + np.cumsum(steps)
    # The grid of the plain-pandas steps is as long as span / window: keep it affordable.
    limit = min(start + 20_000 * length, LATEST)
    return np.minimum(values, limit)


def _table(rng, n, window, pattern, unit):
    index = pd.DatetimeIndex(_timestamps(rng, n, window, pattern).view("M8[ns]"), name="ts")
    if unit != "ns":
        index = index.floor({"us": "us", "ms": "ms", "s": "s"}[unit]).as_unit(unit)
    floats = rng.standard_normal((n, 4))
    floats[rng.random((n, 4)) < 0.15] = np.nan
    table = pd.DataFrame(floats, index=index, columns=["open", "high", "low", "close"])
    table["volume"] = rng.integers(0, 1000, n)
    return table


def _outcome(function):
    """The result or the exception of a call, and the set of warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = function(), None
        except Exception as raised:  # noqa: BLE001 - the error itself is what is compared
            result, error = None, raised
    return result, error, {(warning.category, str(warning.message)) for warning in caught}


def assert_same_as_pandas(table, window, func_name):
    before = table.copy(deep=True)
    expected, expected_error, expected_warnings = _outcome(lambda: reference_sample(table, window, func_name))
    sampler = ExistingTimestampSampler(func_name=func_name, window=window)
    actual, actual_error, actual_warnings = _outcome(lambda: sampler(table))
    if isinstance(table, pd.DataFrame):
        pd.testing.assert_frame_equal(table, before, check_exact=True, check_freq=True)
    else:
        pd.testing.assert_series_equal(table, before, check_exact=True, check_freq=True)
    assert actual_warnings == expected_warnings
    if expected_error is not None or actual_error is not None:
        assert type(actual_error) is type(expected_error), (actual_error, expected_error)
        assert str(actual_error) == str(expected_error)
        return
    assert type(actual) is type(expected)
    assert actual.attrs == expected.attrs
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(actual, expected, check_exact=True, check_freq=True)
    else:
        pd.testing.assert_series_equal(actual, expected, check_exact=True)


def _case(seed, windows, reductions=REDUCTIONS):
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 2, 3, int(rng.integers(4, 60)), int(rng.integers(60, 400))]))
    window = windows[int(rng.integers(len(windows)))]
    pattern = ("unique", "duplicates", "gaps", "boundaries")[int(rng.integers(4))]
    unit = UNITS[int(rng.integers(len(UNITS)))]
    func_name = reductions[int(rng.integers(len(reductions)))]
    return _table(rng, n, window, pattern, unit), window, func_name


@pytest.mark.parametrize("seed", range(400))
def test_fixed_windows_match_pandas(seed):
    table, window, func_name = _case(seed, FIXED_WINDOWS)
    assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize("seed", range(1000, 1060))
def test_calendar_windows_match_pandas(seed):
    table, window, func_name = _case(seed, CALENDAR_WINDOWS)
    assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize("seed", range(2000, 2040))
def test_other_group_by_methods_match_pandas(seed):
    table, window, func_name = _case(seed, FIXED_WINDOWS + CALENDAR_WINDOWS, ODD_REDUCTIONS)
    assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize("seed", range(3000, 3030))
def test_indexes_left_to_pandas_match_pandas(seed):
    table, window, func_name = _case(seed, FIXED_WINDOWS)
    rng = np.random.default_rng(seed)
    kind = seed % 5
    if kind == 0:
        table = table.tz_localize("UTC")
    elif kind == 1:
        table = table.tz_localize("Asia/Tokyo")
    elif kind == 2 and len(table) > 1:
        table = table.iloc[rng.permutation(len(table))]
    elif kind == 3:
        index = table.index.to_numpy().copy()
        index[int(rng.integers(len(index)))] = np.datetime64("NaT")
        table.index = pd.DatetimeIndex(index, name="ts")
    else:
        table = table.reset_index(drop=True).rename_axis("ts")
    assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize(
    "window",
    [pd.Timedelta("1D"), pd.Timedelta("1h"), pd.Timedelta("36h"), "1D", pd.Timedelta("90s"), pd.Timedelta("1ns")],
)
@pytest.mark.parametrize("unit", UNITS)
def test_grid_start_and_step_match_pandas_on_every_resolution(window, unit):
    # Rows straddle midnight and the hour so that a grid cut down to the wrong unit shows.
    start = pd.Timestamp("2023-12-31 22:59:59.999999999")
    offsets = pd.to_timedelta([0, 1, 2, 10**9, 3_600 * 10**9, 7_200 * 10**9 + 1, 30 * 3_600 * 10**9], unit="ns")
    index = pd.DatetimeIndex(start + offsets, name="ts")
    if unit != "ns":
        index = index.floor(unit).as_unit(unit)
    if window == pd.Timedelta("1ns"):  # the plain-pandas grid has one period per nanosecond of span
        index = index[:3] if unit == "ns" else index[:1]
    table = pd.DataFrame({"price": np.arange(len(index), dtype=float)}, index=index)
    for func_name in ("first", "last", "head"):
        assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize("window", [pd.Timedelta("1s"), pd.Timedelta("7s"), pd.Timedelta("1D")])
def test_timestamps_before_1970_are_cut_down_towards_the_past(window):
    index = pd.DatetimeIndex(
        ["1969-12-31 23:59:58.5", "1969-12-31 23:59:59.5", "1970-01-01 00:00:00.5", "1970-01-01 00:00:07"], name="ts"
    )
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0, 4.0]}, index=index)
    assert_same_as_pandas(table, window, "first")


CYCLE = np.timedelta64(146_097, "D")  # 400 Gregorian years: the calendar repeats after them


@pytest.mark.parametrize("window", [pd.Timedelta("1min"), pd.Timedelta("36h"), "1W", "1M"])
@pytest.mark.parametrize("func_name", ["first", "last", "min", "max", "mean", "median", "count"])
@pytest.mark.parametrize("unit", ["s", "ms", "us"])
@pytest.mark.parametrize("cycles", [1, -1, 17, -4])  # some 400, -400, 6800 and -1600 years away
def test_dates_beyond_the_nanosecond_range_sample_as_the_calendar_400_years_nearer(cycles, unit, func_name, window):
    if not HAS_UNITS:
        pytest.skip("pandas before 2.0 has nanosecond indexes only")
    rng = np.random.default_rng(abs(cycles) * 7 + len(unit))
    near = pd.DatetimeIndex(_timestamps(rng, 200, pd.Timedelta("2min"), "gaps").view("M8[ns]"), name="ts")
    near = near.floor(unit).as_unit(unit)
    table = pd.DataFrame({"price": rng.standard_normal(200), "size": rng.integers(0, 9, 200)}, index=near)
    far = table.set_axis(near + cycles * CYCLE, axis=0)
    assert far.index.dtype == near.dtype
    expected, expected_error, _ = _outcome(lambda: reference_sample(table, window, func_name))
    actual, actual_error, _ = _outcome(lambda: ExistingTimestampSampler(func_name=func_name, window=window)(far))
    assert (type(actual_error), str(actual_error)) == (type(expected_error), str(expected_error))
    if expected_error is None:
        if isinstance(expected.index, pd.DatetimeIndex):
            expected.index = expected.index + cycles * CYCLE
        pd.testing.assert_frame_equal(actual, expected, check_exact=True)


@pytest.mark.parametrize(
    "stamps, window",
    [
        (["2024-01-01", "5138-01-01"], pd.Timedelta("1D")),
        (["2024-01-01", "5138-01-01"], "1D"),  # a calendar day from pandas 3 on: a full grid of 1.1e6 days
    ],
)
def test_grid_beyond_the_nanosecond_range_fails_as_pandas_fails(stamps, window):
    if not HAS_UNITS:
        pytest.skip("pandas before 2.0 has nanosecond indexes only")
    index = pd.DatetimeIndex(np.array(stamps, dtype="M8[s]"), name="ts")
    table = pd.DataFrame({"price": [1.0, 2.0]}, index=index)
    with pytest.raises(pd.errors.OutOfBoundsDatetime):
        ExistingTimestampSampler(func_name="first", window=window)(table)
    assert_same_as_pandas(table, window, "first")


# Indexes of text or objects that pandas reads as timestamps, and what they stand for.
ZONES = ("Europe/Berlin", "Asia/Tokyo", "America/New_York")
TEXT_INDEXES = {
    "text_index": lambda index: index.strftime("%Y-%m-%d %H:%M:%S"),
    "text_index_decimals": lambda index: pd.Index(
        ["2024-01-01T10:00:00", "2024-01-01T10:00:30.5", "2024-01-01T10:01:10.25"], name="ts"
    ),
    "timestamp_objects": lambda index: index.tz_localize("UTC").astype(object),
    "mixed_zones": lambda index: pd.Index(
        [stamp.tz_localize("UTC").tz_convert(zone) for stamp, zone in zip(index, ZONES)], dtype=object, name="ts"
    ),
    "mixed_zones_backwards": lambda index: pd.Index(
        [stamp.tz_localize(zone) for stamp, zone in zip(index, ZONES)], dtype=object, name="ts"
    ),
}
CONVERTED = {
    "text_index": lambda index: pd.to_datetime(index),
    "text_index_decimals": lambda index: pd.to_datetime(index, format="ISO8601" if HAS_UNITS else None),
    "timestamp_objects": lambda index: pd.to_datetime(index),
    "mixed_zones": lambda index: pd.to_datetime(index, utc=True),
}


@pytest.mark.parametrize("window", [pd.Timedelta("1min"), pd.Timedelta("1s")])
@pytest.mark.parametrize(
    "table_maker",
    [
        "label_named_index",
        "label_column",
        "unnamed_index",
        "empty",
        "object_column",
        "series",
        "column_levels",
        "every_other_row",
        "regular_index",
        "text_not_dates",
        *TEXT_INDEXES,
    ],
)
def test_awkward_tables_match_pandas(table_maker, window):
    index = pd.DatetimeIndex(["2024-01-01 10:00", "2024-01-01 10:00:30", "2024-01-01 10:01:10"], name="ts")
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index)
    if table_maker in TEXT_INDEXES:
        table.index = TEXT_INDEXES[table_maker](index)
    elif table_maker == "text_not_dates":
        table.index = pd.Index(["open", "mid", "close"], name="ts")
    elif table_maker == "series":
        table = table["price"]
    elif table_maker == "column_levels":
        table.columns = pd.MultiIndex.from_tuples([("price", "bid")])
    elif table_maker == "every_other_row":  # an index over a strided view of its timestamps
        index = pd.DatetimeIndex(pd.date_range("2024-01-01 10:00", periods=12, freq="25s").to_numpy()[::2], name="ts")
        table = pd.DataFrame({"price": np.arange(6.0)}, index=index)
    elif table_maker == "regular_index":  # an index that carries a frequency of its own
        table = pd.DataFrame(
            {"price": np.arange(9.0)}, index=pd.date_range("2024-01-01 10:00", periods=9, freq="20s", name="ts")
        )
    elif table_maker == "label_named_index":
        table = table.rename_axis("group_by_label")
    elif table_maker == "label_column":
        table.insert(0, "group_by_label", [7, 8, 9])
    elif table_maker == "unnamed_index":
        table = table.rename_axis(None)
    elif table_maker == "empty":
        table = table.iloc[:0]
    else:
        table["side"] = ["buy", "sell", "buy"]
    for func_name in ("first", "last", "count"):
        assert_same_as_pandas(table, window, func_name)
        if table_maker in CONVERTED:  # sampled as the timestamps it stands for, never as text
            as_timestamps = table.set_axis(CONVERTED[table_maker](table.index), axis=0)
            sampler = ExistingTimestampSampler(func_name=func_name, window=window)
            pd.testing.assert_frame_equal(sampler(table), sampler(as_timestamps), check_exact=True)
    if table_maker == "mixed_zones_backwards":  # 10:00 in Berlin is after 10:00:30 in Tokyo
        with pytest.raises(ValueError, match="position 1 .* is earlier than position 0"):
            ExistingTimestampSampler(func_name="first", window=window)(table)


@pytest.mark.parametrize("window", [pd.Timedelta(0), pd.Timedelta("-1min"), None, "fortnight", 60])
def test_windows_pandas_refuses_fail_as_pandas_fails(window):
    index = pd.DatetimeIndex(["2024-01-01 10:00", "2024-01-01 10:01"], name="ts")
    assert_same_as_pandas(pd.DataFrame({"price": [1.0, 2.0]}, index=index), window, "first")


@pytest.mark.skipif(PANDAS_VERSION >= (2, 1), reason="the listed calls are deprecated or gone from pandas 2.1 on")
@pytest.mark.parametrize("seed", range(60))
def test_replacement_calls_give_what_the_listed_calls_gave(seed):
    table, window, func_name = _case(seed, FIXED_WINDOWS + CALENDAR_WINDOWS)
    table = table[~table.index.duplicated()]
    expected, expected_error, _ = _outcome(lambda: listed_sample(table, window, func_name))
    actual, actual_error, _ = _outcome(lambda: reference_sample(table, window, func_name))
    if expected_error is not None or actual_error is not None:
        assert (type(actual_error), str(actual_error)) == (type(expected_error), str(expected_error))
    else:
        pd.testing.assert_frame_equal(actual, expected, check_exact=True)


# Tables reduced natively: the column types, special values and block layouts that decide pandas' results.

NATIVE_REDUCTIONS = ("first", "last", "min", "max", "mean", "count")
NATIVE_WINDOWS = (
    pd.Timedelta("1ms"),
    pd.Timedelta("1s"),
    pd.Timedelta("90s"),
    pd.Timedelta("1min"),
    pd.Timedelta("1h"),
)


def _float_values(rng, n, dtype, style):
    scale = 10.0 ** rng.integers(-3, 13, n)  # mixed magnitudes make compensated and pairwise sums differ
    values = (rng.standard_normal(n) * scale).astype(dtype)
    if style == "zeros":  # extremes that are zero, with either sign first
        values = np.where(rng.random(n) < 0.6, rng.choice([0.0, -0.0], n), np.abs(values) + 1).astype(dtype)
    if style in ("special", "zeros"):
        special = rng.random(n) < 0.1
        values[special] = rng.choice(np.array([np.inf, -np.inf, 0.0, -0.0], dtype=dtype), special.sum())
    if style in ("special", "nan"):
        values[rng.random(n) < 0.15] = np.nan
        start = int(rng.integers(n))
        values[start : start + int(rng.integers(1, 200))] = np.nan  # a run that empties whole groups
    return values


def _native_table(rng, index):
    n = len(index)
    columns = {}
    for k in range(int(rng.integers(1, 7))):
        kind = ("float64", "float32", "int64", "int32", "bool")[int(rng.integers(5))]
        if kind.startswith("float"):
            style = ("clean", "special", "nan", "zeros")[int(rng.integers(4))]
            values = _float_values(rng, n, kind, style)
        elif kind == "bool":
            values = rng.random(n) < 0.5
        else:
            bound = {"int64": 2**62, "int32": 2**31 - 1}[kind]
            values = rng.integers(-bound, bound, n, dtype=kind)
        columns[f"c{k}_{kind}"] = values
    layout = int(rng.integers(3))
    if layout == 0:  # consolidated blocks, one per type
        table = pd.DataFrame(columns, index=index)
    elif layout == 1:  # one block per column, as column-by-column assignment leaves them
        table = pd.DataFrame(index=index)
        for label, values in columns.items():
            table[label] = values
    else:  # floats from one row-major array: strided columns
        floats = rng.standard_normal((n, 3))
        floats[rng.random((n, 3)) < 0.05 * int(rng.integers(2))] = np.nan
        table = pd.DataFrame(floats, index=index, columns=["open", "high", "low"])
    if rng.random() < 0.2:
        table.columns = pd.Index(list(table.columns), dtype=object, name="field")
    return table


@pytest.mark.parametrize("seed", range(4000, 4300))
def test_native_reductions_match_pandas(seed):
    rng = np.random.default_rng(seed)
    window = NATIVE_WINDOWS[int(rng.integers(len(NATIVE_WINDOWS)))]
    n = int(rng.choice([1, 2, int(rng.integers(3, 50)), int(rng.integers(50, 3000))]))
    pattern = ("unique", "duplicates", "gaps", "boundaries")[int(rng.integers(4))]
    unit = UNITS[int(rng.integers(len(UNITS)))]
    index = pd.DatetimeIndex(_timestamps(rng, n, window, pattern).view("M8[ns]"), name="ts")
    if unit != "ns":
        index = index.floor(unit).as_unit(unit)
    zone = (None, None, "UTC", "Asia/Tokyo", "Europe/Berlin")[int(rng.integers(5))]
    if zone is not None:  # the same instants, read on another clock
        index = index.tz_localize("UTC").tz_convert(zone)
    table = _native_table(rng, index)
    for func_name in NATIVE_REDUCTIONS:
        assert_same_as_pandas(table, window, func_name)


@pytest.mark.parametrize("groups", [10**4, 10**5])
def test_native_reductions_over_many_groups_match_pandas(groups):
    rng = np.random.default_rng(groups)
    steps = rng.integers(0, 2 * 10**9, 2 * groups)  # about one row per second under a one-second window
    index = pd.DatetimeIndex((np.datetime64("2024-03-01", "ns") + np.cumsum(steps)).astype("M8[ns]"), name="ts")
    table = _native_table(rng, index)
    for func_name in NATIVE_REDUCTIONS:
        assert_same_as_pandas(table, pd.Timedelta("1s"), func_name)


class _TableSubclass(pd.DataFrame):
    pass


def _path_case(case):
    index = pd.date_range("2024-01-01 10:00", periods=400, freq="7s", name="ts")
    table = pd.DataFrame({"price": np.linspace(-1.0, 1.0, 400), "size": np.arange(400)}, index=index)
    func_name, window = "first", pd.Timedelta("1min")
    if case == "mean":
        func_name = "mean"
    elif case == "other_method":
        func_name = "median"
    elif case == "calendar_window":
        window = "1W"
    elif case == "object_column":
        table["side"] = "buy"
    elif case == "small_int_column":
        table["flag"] = np.zeros(400, dtype=np.uint8)
    elif case == "number_labels":
        table.columns = [0, 1]
    elif case == "duplicate_labels":
        table.columns = ["price", "price"]
    elif case == "column_levels":
        table.columns = pd.MultiIndex.from_tuples([("price", "bid"), ("size", "bid")])
    elif case == "label_column":
        table["group_by_label"] = 1.0
    elif case == "subclass":
        table = _TableSubclass(table)
    elif case == "aware":
        table.index = table.index.tz_localize("Asia/Tokyo")
    elif case == "clock_turned_back":  # the wall clock repeats an hour: periods are no longer runs of rows
        table.index = pd.date_range("2024-10-27 00:30", periods=400, freq="30s", tz="Europe/Berlin", name="ts")
        window = pd.Timedelta("1h")
    elif case in ("attrs_and_flags", "attrs_and_flags_count"):  # metadata the group-by hands on, or not
        table.attrs = {"source": ["feed"]}
        table = table.set_flags(allows_duplicate_labels=False)
        func_name = "count" if case.endswith("count") else "max"
    elif case == "zero_extremes":  # which zero numpy's minimum keeps is its own affair
        func_name = "min"
        table["price"] = np.tile([0.0, -0.0, 1.0, 2.0], 100)
    return table, window, func_name


@pytest.mark.parametrize(
    "case, native",
    [
        ("plain", True),
        ("mean", PANDAS_VERSION >= (2, 1)),
        ("other_method", False),
        ("calendar_window", False),
        ("object_column", False),
        ("small_int_column", False),
        ("number_labels", False),
        ("duplicate_labels", False),
        ("column_levels", False),
        ("label_column", False),
        ("subclass", False),
        ("aware", True),
        ("clock_turned_back", False),
        ("attrs_and_flags", True),
        ("attrs_and_flags_count", True),
        ("zero_extremes", not hasattr(pd.core.groupby.ops.BaseGrouper, "_reduceat_aggregate")),
    ],
)
def test_group_by_is_left_out_only_for_what_is_reduced_natively(case, native, monkeypatch):
    table, window, func_name = _path_case(case)
    assert_same_as_pandas(table, window, func_name)
    grouped = []
    original = pd.DataFrame.groupby

    def counting_groupby(self, *args, **kwargs):
        grouped.append(args)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "groupby", counting_groupby)
    with warnings.catch_warnings():  # compared above
        warnings.simplefilter("ignore")
        try:
            ExistingTimestampSampler(func_name=func_name, window=window)(table)
        except Exception:  # noqa: BLE001 - pandas 1.5's mean fails, after grouping
            pass
    assert (grouped == []) is native


@pytest.mark.parametrize(
    "case",
    [
        "plain",
        pytest.param("other_method", marks=pytest.mark.skipif(PANDAS_VERSION < (2, 0), reason="1.5's median fails")),
        "object_column",
        "subclass",
        "clock_turned_back",
        "zero_extremes",
    ],
)
def test_a_fixed_length_grid_is_laid_once_whichever_way_the_table_goes(case, monkeypatch):
    # The native path lays the grid before it decides; the group-by labels by the same grid.
    table, window, func_name = _path_case(case)
    laid = []
    for name in ("period_range", "Period"):  # the grid's first period comes from one or the other

        def counting(*args, _original=getattr(pd, name), **kwargs):
            laid.append(kwargs)
            return _original(*args, **kwargs)

        monkeypatch.setattr(pd, name, counting)
    ExistingTimestampSampler(func_name=func_name, window=window)(table)
    assert len(laid) == 1
