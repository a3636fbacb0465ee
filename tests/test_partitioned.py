"""The samplers over Dask DataFrames give what one machine gives, value for value, wherever the
partitions happen to be cut."""

import importlib
import sys

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

from norvane.kestrum_data.utility.timeseries import partitioned  # noqa: E402
from norvane.kestrum_data.utility.timeseries.bars import BarSampler  # noqa: E402
from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler  # noqa: E402

WINDOWS = ["1min", "7min", "90s", "1h", "1D"]
METHODS = ["first", "last", "max", "mean", "median", "count", "head"]


def ticks(tz=None, rows=1500, seed=3):
    """Two busy stretches with a quiet gap of six hours between them, trades on whole seconds (so
    several share a timestamp), an int column, around a clock turned back; NaN in a few places only,
    so that most partitions hold none (pandas sums a float block differently when it holds one)."""
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2024-11-02 22:02:17")
    offsets = np.sort(
        np.concatenate([rng.integers(0, 3 * 3600, rows // 2), rng.integers(9 * 3600, 14 * 3600, rows - rows // 2)])
    )
    index = pd.DatetimeIndex(start + pd.to_timedelta(offsets, unit="s"), name="ts")
    price = 100 + np.cumsum(rng.normal(0, 0.1, rows))
    price[100:130] = np.nan
    size = rng.exponential(1.0, rows)
    size[1400] = np.nan
    weight = rng.random(rows).astype(np.float32)
    weight[5] = np.nan
    table = pd.DataFrame(
        {"price": price, "size": size, "count": rng.integers(0, 50, rows), "weight": weight}, index=index
    )
    if tz is not None:
        # Localised as UTC and shown in New York: the rows stay ascending through the clock change.
        table = table.tz_localize("UTC").tz_convert(tz)
    return table


def split(table, cuts):
    """``table`` in partitions cut at the row positions ``cuts`` (an empty partition where two repeat),
    divisions unknown."""
    bounds = [0, *sorted(cuts), len(table)]
    chunks = [table.iloc[a:b] for a, b in zip(bounds, bounds[1:])]
    return dd.from_delayed([dask.delayed(chunk) for chunk in chunks], meta=table.iloc[:0])


def split_by_time(table, hours):
    """``table`` in partitions of ``hours`` each, divisions known (partitions in the gap are empty)."""
    divisions = pd.date_range(table.index[0], table.index[-1], freq=f"{hours}h", tz=table.index.tz).append(
        table.index[-1:]
    )
    chunks = [
        table[(table.index >= a) & ((table.index < b) | (b == divisions[-1]))] for a, b in zip(divisions, divisions[1:])
    ]
    return dd.from_delayed([dask.delayed(chunk) for chunk in chunks], meta=table.iloc[:0], divisions=tuple(divisions))


def layouts():
    table = ticks()
    repeated = int(np.flatnonzero(table.index[1:] == table.index[:-1])[0]) + 1  # inside a run of one timestamp
    return {
        # unknown divisions: an empty partition, a cut between two rows of one timestamp, one in a run of
        # NaN prices, partitions narrower than a window
        "uneven": (None, [repeated, repeated, 110, 300, 749, 750, 751, 900, 905, 1300]),
        # known divisions, an hour apart: the quiet gap spans several empty partitions
        "hourly": ("Asia/Tokyo", 1),
        # the same around New York's clock turned back an hour: no cut near the change
        "clock change": ("America/New_York", 1),
    }


LAYOUTS = layouts()


def frames(layout):
    tz, cuts = LAYOUTS[layout]
    table = ticks(tz)
    if isinstance(cuts, int):
        return table, split_by_time(table, cuts)
    return table, split(table, cuts)


def one_machine(sampler, table):
    try:
        return sampler(table), None
    except Exception as error:  # the partitioned call must fail the same way
        return None, error


def assert_equal_to_one_machine(samplers, table, ddf):
    """Each sampler's partitioned result equals its one-machine result (or fails as that fails), and
    every partition lies within its divisions; all computed in one go."""
    cases = []
    for sampler in samplers:
        try:
            expected = sampler(table)
        except Exception as error:
            with pytest.raises(type(error)):
                partitioned.sample(sampler, ddf).compute()
            continue
        cases.append((sampler, expected, partitioned.sample(sampler, ddf)))
    computed = dask.compute(*[result.to_delayed() for _, _, result in cases])
    for (sampler, expected, result), parts in zip(cases, computed):
        assert_frame_equal(pd.concat(parts), expected, check_exact=True, obj=repr(sampler))
        if isinstance(expected.index, pd.DatetimeIndex):
            assert result.known_divisions
            for number, (part, low, high) in enumerate(zip(parts, result.divisions, result.divisions[1:])):
                last = number == len(parts) - 1
                assert ((part.index >= low) & ((part.index < high) | (last & (part.index == high)))).all()


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("window", WINDOWS)
def test_every_method_equals_one_machine(layout, window):
    table, ddf = frames(layout)
    assert_equal_to_one_machine(
        [ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta(window)) for func_name in METHODS],
        table,
        ddf,
    )


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("empty", ["drop", "fill"])
def test_bars_equal_one_machine(layout, empty):
    table, ddf = frames(layout)
    tz = table.index.tz
    origins = [None, "epoch", "start_day", pd.Timestamp("2024-11-01 10:00:41", tz=tz)]
    sides = [(label, closed) for label in ("left", "right") for closed in ("left", "right")]
    # Every window, every side and every kind of origin, each met once in a layout.
    assert_equal_to_one_machine(
        [
            BarSampler(
                window, origin=origins[number % 4], label=sides[number % 4][0], closed=sides[number % 4][1], empty=empty
            )
            for number, window in enumerate(WINDOWS)
        ],
        table,
        ddf,
    )


def test_bars_of_int_prices_over_empty_partitions_of_a_gap():
    # No float column: nothing to learn up front, so the known divisions (in the quiet gap too) are cut.
    table = ticks()[["count"]]
    assert_equal_to_one_machine(
        [
            BarSampler(window, price="count", size=None, empty="fill", closed=closed)
            for window, closed in (("7min", "left"), ("90s", "right"))
        ],
        table,
        split_by_time(table, 1),
    )


def test_a_mean_of_timestamps_rounding_past_a_cut_moves_to_the_next_partition():
    # Two rows a nanosecond before 10:01 average to 10:01 itself (float64 steps by 256 ns there).
    index = pd.DatetimeIndex(["2024-01-01 10:00:59.999999999"] * 2 + ["2024-01-01 10:01:00.5"], name="ts")
    table = pd.DataFrame({"price": [1.0, 2.0, 3.0]}, index=index.as_unit("ns"))
    sampler = ExistingTimestampSampler(func_name="mean", window=pd.Timedelta("1min"))
    assert sampler(table).index[0] == pd.Timestamp("2024-01-01 10:01")
    assert_equal_to_one_machine([sampler], table, split(table, [2]))


@pytest.mark.parametrize("divisions", [False, True], ids=["divisions unknown", "divisions from statistics"])
def test_parquet_files_read_as_users_read_them(tmp_path, divisions):
    # Dask joins the partitions of a projection that reads few columns: the index alone comes in fewer
    # partitions than the whole table.
    pytest.importorskip("pyarrow")
    from norvane.devtools.ticks import write_tick_files

    write_tick_files(tmp_path, days=9, rows_per_day=2_000)
    ddf = dd.read_parquet(tmp_path, calculate_divisions=divisions)
    assert ddf.index.optimize().npartitions < ddf.optimize().npartitions
    assert_equal_to_one_machine(
        [ExistingTimestampSampler(func_name="last", window=pd.Timedelta("1min")), BarSampler("90s", empty="fill")],
        ddf.compute(),
        ddf,
    )


@pytest.mark.parametrize("origin", ["epoch", "start_day", "2024-11-01 10:00:41"])
def test_an_origin_reaches_every_partition(origin):
    table, ddf = frames("uneven")
    sampler = ExistingTimestampSampler(func_name="last", window=pd.Timedelta("7min"), origin=origin)
    assert_frame_equal(partitioned.sample(sampler, ddf).compute(), sampler(table), check_exact=True)


def test_an_index_going_back_across_partitions_is_refused_as_on_one_machine():
    table = ticks()
    swapped = pd.concat([table.iloc[500:800], table.iloc[:500], table.iloc[800:]])
    sampler = ExistingTimestampSampler(func_name="first", window=pd.Timedelta("1min"))
    with pytest.raises(ValueError) as one:
        sampler(swapped)
    with pytest.raises(ValueError) as many:
        partitioned.sample(sampler, split(swapped, [300, 500, 600]))
    assert str(many.value) == str(one.value)


@pytest.mark.parametrize(
    "window, index, refusal",
    [
        ("W-MON", None, "is not a fixed length"),
        (pd.Timedelta("1min"), pd.RangeIndex(5, name="ts"), "the index must be datetime64"),
        (
            pd.Timedelta("1min"),
            pd.period_range("2024-01-01", periods=5, freq="min", name="ts"),
            "the index must be datetime64",
        ),
    ],
)
def test_what_cannot_be_cut_exactly_is_refused_before_any_work(window, index, refusal):
    table = pd.DataFrame(
        {"price": np.arange(5.0)},
        index=index if index is not None else pd.date_range("2024-01-01", periods=5, freq="D", name="ts"),
    )

    def unread():
        raise AssertionError("a partition was read")

    ddf = dd.from_delayed([dask.delayed(unread)() for _ in range(2)], meta=table.iloc[:0])
    with pytest.raises(ValueError, match=refusal):
        partitioned.sample(ExistingTimestampSampler(func_name="first", window=window), ddf)


def test_without_dask_the_import_names_the_extra(monkeypatch):
    for name in ("dask", "dask.dataframe"):
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, partitioned.__name__)
    with pytest.raises(ImportError) as raised:
        importlib.import_module(partitioned.__name__)
    assert "pip install 'norvane[dask]'" in "".join(raised.value.__notes__)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as local,
        distributed.Client(local) as client,
    ):
        yield client


@pytest.mark.parametrize("func_name", ["last", "mean"])
def test_two_worker_processes_give_the_same_result(cluster, func_name):
    table, ddf = frames("hourly")
    sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta("90s"))
    result = partitioned.sample(sampler, ddf).compute(scheduler=cluster)
    assert_frame_equal(result, sampler(table), check_exact=True)
