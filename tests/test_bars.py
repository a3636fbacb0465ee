"""BarSampler: every column against pandas' resample of the same windows, and what users meet around it."""

import inspect
import logging
import pickle
import zlib

import numpy as np
import pandas as pd
import pytest

from leakcheck import assert_no_leak
from norvane.kestrum_data.utility.timeseries import bars, samplers
from norvane.kestrum_data.utility.timeseries.bars import BarSampler

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
PRICES = ["open", "high", "low", "close"]
TIMES = ["open_time", "high_time", "low_time", "close_time"]


def expected_bars(df, window, origin=None, label="left", closed="left", empty="drop"):
    """The bars through pandas: resample's first/max/min/last/sum/size, the first rows reaching the high and
    the low (idxmax/idxmin), the two sums of the VWAP."""
    index = df.index
    if origin is None:  # the samplers' grid: the first wall-clock time cut down to the window's unit
        first = index[0].tz_localize(None)
        origin = pd.period_range(first, first, freq=window)[0].start_time.tz_localize(index.tz)
    windows = dict(rule=window, origin=origin, label=label, closed=closed)
    price = df["price"]
    times = pd.Series(index, index=index)
    out = pd.DataFrame(
        {name: getattr(price.resample(**windows), how)() for name, how in zip(PRICES, ["first", "max", "min", "last"])}
    )
    if "size" in df:
        size = df["size"]
        out["volume"] = size.resample(**windows).sum()
        amount = (price.astype("float64") * size.astype("float64")).resample(**windows).sum()
        weight = size.astype("float64").where(price.notna()).resample(**windows).sum()
        out["vwap"] = (amount / weight).where(weight != 0)
    out["trades"] = price.resample(**windows).size().astype("int64")
    for name, rows in [
        ("open_time", price.notna()),
        ("close_time", price.notna()),
        ("high_time", price == price.resample(**windows).transform("max")),
        ("low_time", price == price.resample(**windows).transform("min")),
    ]:
        out[name] = getattr(times.where(rows).resample(**windows), "last" if name == "close_time" else "first")()
    out = out[[name for name in PRICES + ["volume", "vwap", "trades"] + TIMES if name in out]]
    out = out[out["trades"] > 0] if empty == "drop" else out
    gaps = out["trades"] == 0
    carried = out["close"].ffill()
    for name in PRICES:
        out[name] = out[name].where(~gaps, carried).astype(price.dtype)
    if "size" in df:
        out["volume"] = out["volume"].astype(out["volume"].dtype)
    out.index.freq = None
    return out


def trades(seed, n_windows, window, price_dtype, size_dtype, tz, unit, per_window=None):
    rng = np.random.default_rng(seed)
    step = pd.Timedelta(window).value
    if per_window is None:
        per_window = rng.choice([1, 3, 20] if n_windows <= 1000 else [1, 2])
    rows = max(1, n_windows * per_window)
    gaps = np.where(rng.random(rows) < 0.01, rng.integers(1, 4, rows) * step, 0)  # windows without rows
    ticks = np.cumsum(rng.exponential(step / per_window, rows).astype("int64") + gaps)
    ticks[rng.random(rows) < 0.02] = 0
    ticks = np.maximum.accumulate(ticks + np.arange(rows) * 0) if rows > 1 else ticks  # repeats stay repeats
    ticks[1:][rng.random(rows - 1) < 0.02] = 0
    ticks = np.maximum.accumulate(ticks)
    start = pd.Timestamp("2024-03-05 09:31:17.123456789").value
    stamps = pd.DatetimeIndex((start + ticks).astype("datetime64[ns]"), name="t").floor(unit)
    if unit != "ns":
        stamps = stamps.as_unit(unit)
    price = rng.integers(100, 110, rows).astype(price_dtype)  # few values: the high and low tie often
    if price.dtype.kind == "f":
        price = price + rng.choice([0.0, 0.25, 0.5], rows).astype(price_dtype)
        for _ in range(rng.integers(0, 4)):  # NaN runs, some covering whole windows
            at = rng.integers(0, rows)
            price[at : at + rng.integers(1, 3 * per_window + 2)] = np.nan
    columns = {"price": price, "other": rng.random(rows)}
    if size_dtype is not None:
        size = rng.integers(1, 1000, rows).astype(size_dtype)
        if size.dtype.kind == "f":
            size = size * rng.choice([1, 0.1, 1e-3], rows).astype(size_dtype)
            size[rng.random(rows) < 0.05] = np.nan
            if rng.random() < 0.5:
                size[:] = np.nan_to_num(size, nan=1.5)  # no NaN at all: pandas 3.1 then sums pairwise
        columns["size"] = size
    table = pd.DataFrame(columns, index=stamps.tz_localize("UTC").tz_convert(tz) if tz else stamps)
    return table


DTYPES = ["float64", "float32", "int64", "int32"]
CASES = [
    # n_windows, window, tz, unit, origin, rows per window (None: drawn)
    (1, "5min", None, "ns", None, None),
    (10, "90s", "Asia/Tokyo", "ns", "epoch", None),
    (1000, "5min", "UTC", "us" if PANDAS_3 else "ns", "start_day", None),
    (300, "1h", None, "s" if PANDAS_3 else "ns", pd.Timestamp("2024-01-01 00:17"), None),
    (50, "250ms", "America/New_York", "ms" if PANDAS_3 else "ns", pd.Timestamp("2024-03-05 04:00:00.1"), None),
    (20, "1min", "Asia/Tokyo", "ns", None, 400),  # windows long enough for the vector passes
    (100_000, "7s", None, "ns", None, None),
]


@pytest.mark.parametrize("empty", ["drop", "fill"])
@pytest.mark.parametrize("label, closed", [("left", "left"), ("right", "right"), ("left", "right"), ("right", "left")])
# The 10^5-window case runs outside the sanitizer build, where it would take minutes.
@pytest.mark.parametrize("case", [*range(len(CASES) - 1), pytest.param(len(CASES) - 1, marks=pytest.mark.slow)])
def test_every_column_equals_pandas_resample_exactly(case, label, closed, empty):
    n_windows, window, tz, unit, origin, per_window = CASES[case]
    if isinstance(origin, pd.Timestamp) and tz:
        origin = origin.tz_localize(tz)
    for k, price_dtype in enumerate(DTYPES if n_windows <= 1000 else DTYPES[(case + len(label)) % 2 :: 2]):
        size_dtype = (DTYPES + [None])[(k + case) % 5]
        seed = zlib.crc32(repr((case, label, closed, empty, k)).encode())
        table = trades(seed, n_windows, window, price_dtype, size_dtype, tz, unit, per_window)
        before = table.copy()
        result = BarSampler(
            window, size="size" if size_dtype else None, origin=origin, label=label, closed=closed, empty=empty
        )(table)
        expected = expected_bars(table, window, origin, label, closed, empty)
        pd.testing.assert_frame_equal(
            result, expected, check_exact=True, check_freq=False, obj=f"{price_dtype} prices, {size_dtype} sizes"
        )
        pd.testing.assert_frame_equal(table, before)


def test_the_same_table_comes_out_where_pandas_has_no_constructor_from_arrays(monkeypatch):
    table = trades(7, 30, "5min", "float64", "int64", "Asia/Tokyo", "ns")
    expected = BarSampler("5min", empty="fill")(table)
    monkeypatch.delattr(pd.DataFrame, "_from_arrays")
    pd.testing.assert_frame_equal(BarSampler("5min", empty="fill")(table), expected, check_exact=True)


def test_a_subclass_of_time_sampler_with_its_conventions():
    assert issubclass(BarSampler, samplers.TimeSampler) and bars.TimeSampler is samplers.TimeSampler
    assert str(inspect.signature(BarSampler)) == (
        "(window: 'pd.Timedelta | str', price: 'Hashable' = 'price', size: 'Hashable | None' = 'size', "
        "origin: 'pd.Timestamp | str | None' = None, label: 'str' = 'left', closed: 'str' = 'left', "
        "empty: 'str' = 'drop')"
    )
    sampler = BarSampler("5min", size=None, origin="epoch", label="right", empty="fill")
    assert repr(sampler) == f"{BarSampler!r}_0 days 00:05:00"
    again = pickle.loads(pickle.dumps(sampler))
    assert type(again) is BarSampler and vars(again) == vars(sampler)
    assert vars(sampler) == {
        "window": pd.Timedelta("5min"),
        "price": "price",
        "size": None,
        "origin": "epoch",
        "label": "right",
        "closed": "left",
        "empty": "fill",
    }


def test_five_minute_bars_of_a_day_with_sum_and_labels_by_window(caplog):
    table = trades(1, 288, "5min", "float64", "int64", None, "ns")
    with caplog.at_level(logging.INFO):
        result = BarSampler(pd.Timedelta("5min")).sample(df=table)
    assert list(result.columns) == PRICES + ["volume", "vwap", "trades"] + TIMES
    assert caplog.messages == [f"Sampled {len(result)}/{len(table)} rows."]
    assert (result.index.to_series().diff().dropna() % pd.Timedelta("5min") == pd.Timedelta(0)).all()
    assert result["trades"].sum() == len(table) and result["volume"].sum() == table["size"].sum()


@pytest.mark.parametrize("dtype", ["float64", "int32"])
def test_an_empty_table_gives_empty_bars_of_the_right_kinds(dtype):
    table = trades(2, 10, "5min", dtype, dtype, "UTC", "ns").iloc[:0]
    result = BarSampler("5min")(table)
    assert len(result) == 0 and list(result.columns) == PRICES + ["volume", "vwap", "trades"] + TIMES
    assert (result[PRICES].dtypes == dtype).all() and result["trades"].dtype == "int64"
    assert str(result.index.tz) == "UTC" and (result[TIMES].dtypes == table.index.dtype).all()


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        (dict(window="0s"), ValueError, "window must be a fixed positive length"),
        (dict(window="-5min"), ValueError, "window must be a fixed positive length"),
        (dict(window="1M" if PANDAS_3 else "1BM"), ValueError, "window must be a fixed positive length"),
        (dict(window=pd.offsets.MonthEnd()), ValueError, "window must be a fixed positive length"),
        (dict(window="5min", label="middle"), ValueError, "label must be 'left' or 'right', not 'middle'"),
        (dict(window="5min", closed=None), ValueError, "closed must be 'left' or 'right', not None"),
        (dict(window="5min", empty="zero"), ValueError, "empty must be 'drop' or 'fill', not 'zero'"),
        (dict(window="5min", origin="start"), ValueError, "origin must be None, 'epoch', 'start_day' or a timestamp"),
    ],
)
def test_construction_refuses_what_it_cannot_lay_a_grid_with(arguments, error, text):
    with pytest.raises(error, match=text):
        BarSampler(**arguments)


def test_tables_it_cannot_read_are_refused_with_what_to_do():
    table = trades(3, 5, "5min", "float64", "float64", None, "ns")
    with pytest.raises(KeyError, match="'px'"):
        BarSampler("5min", price="px")(table)
    with pytest.raises(KeyError, match="'qty'"):
        BarSampler("5min", size="qty")(table)
    with pytest.raises(TypeError, match="column 'price' has dtype object; BarSampler reads float64, float32"):
        BarSampler("5min")(table.astype({"price": object}))
    with pytest.raises(TypeError, match="DatetimeIndex") as raised:
        BarSampler("5min")(table.reset_index())
    assert "pd.to_datetime" in raised.value.__notes__[0] and "set_index" in raised.value.__notes__[0]
    with pytest.raises(ValueError, match="the index must be ascending without missing timestamps: position 1"):
        BarSampler("5min")(table.iloc[[1, 0, 2]])
    with pytest.raises(ValueError, match="The origin must have the same timezone as the index."):
        BarSampler("5min", origin="2024-01-01")(table.tz_localize("UTC"))
    fall_back = pd.date_range("2024-11-03 05:00", periods=5, freq="20min", tz="UTC").tz_convert("America/New_York")
    with pytest.raises(ValueError, match=r'wall clock turns back .* sample df.tz_convert\("UTC"\) instead'):
        BarSampler("5min")(pd.DataFrame({"price": 1.0, "size": 1.0}, index=fall_back))


@pytest.mark.parametrize("origin", [None, "2024-01-01"])
def test_a_long_index_out_of_order_is_refused_before_what_the_grid_finds_wrong(origin):
    # Long enough that the order is checked on a thread of its own while the grid is laid; a naive origin
    # on the aware index makes laying it fail too.
    rows = 1 << 17
    ticks = pd.Timestamp("2024-01-01").value + np.arange(rows) * 10**6
    ticks[[rows - 2, rows - 1]] = ticks[[rows - 1, rows - 2]]
    index = pd.DatetimeIndex(ticks.view("M8[ns]")).tz_localize("UTC")
    table = pd.DataFrame({"price": np.ones(rows), "size": np.ones(rows)}, index=index)
    with pytest.raises(ValueError, match=f"ascending without missing timestamps: position {rows - 1} "):
        BarSampler("5min", origin=origin)(table)


def test_sampling_and_its_refusals_leak_nothing():
    table = trades(4, 50, "5min", "float64", "int64", "Asia/Tokyo", "ns")
    columns, stamps = {name: table[name].to_numpy() for name in table}, table.index.asi8.view("M8[ns]")

    def fresh_table():  # pandas keeps weak references to every column taken from a table, pruned now and then
        return pd.DataFrame(
            columns, index=pd.DatetimeIndex(stamps, name="t").tz_localize("UTC").tz_convert("Asia/Tokyo")
        )

    sampler = BarSampler("5min", empty="fill")
    assert_no_leak(lambda: sampler(fresh_table()), sampler, calls=200, bytes_per_call=1024)
    assert_no_leak(
        lambda: BarSampler("5min", price="px")(fresh_table()), calls=200, expected=KeyError, bytes_per_call=1024
    )
    assert_no_leak(lambda: BarSampler("0s"), calls=200, expected=ValueError)
