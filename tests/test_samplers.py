"""The samplers module as its callers see it: names, classes, representations, errors, logging, results."""

import inspect
import logging
import typing
import warnings

import numpy as np
import pandas as pd
import pytest

from norvane.kestrum_data.utility.timeseries import samplers
from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler, TimeSampler

MODULE = "norvane.kestrum_data.utility.timeseries.samplers"
PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
CLASS_BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


def table_of(times, name="ts", **columns):
    index = pd.DatetimeIndex(np.array(times, dtype="datetime64[ns]"), name=name)
    if not columns:
        columns = {"price": np.arange(len(index), dtype=float)}
    return pd.DataFrame(columns, index=index)


def minute_table():
    """Ten rows in three one-minute periods from 10:02:10 (periods start 10:02, 10:03, 10:04)."""
    return table_of(
        [
            "2024-01-01 10:02:10",
            "2024-01-01 10:02:20",
            "2024-01-01 10:02:59.999",
            "2024-01-01 10:03:00",
            "2024-01-01 10:03:30",
            "2024-01-01 10:03:40",
            "2024-01-01 10:03:59",
            "2024-01-01 10:04:00",
            "2024-01-01 10:04:01",
            "2024-01-01 10:04:59",
        ],
        price=[float(i) for i in range(10)],
        size=[10 * i for i in range(10)],
    )


def sample(table, window="1min", func_name="first"):
    window = pd.Timedelta(window) if isinstance(window, str) else window
    return ExistingTimestampSampler(func_name=func_name, window=window)(table)


# Module and classes -----------------------------------------------------------------------------------


def test_module_names_are_bound_in_order():
    names = [name for name in vars(samplers) if not (name.startswith("__") and name.endswith("__"))]
    assert names == ["logging", *typing.__all__, "np", "pd", "TimeSampler", "ExistingTimestampSampler"]
    assert samplers.logging is logging and samplers.np is np and samplers.pd is pd
    assert all(getattr(samplers, name) is getattr(typing, name) for name in typing.__all__)


def test_a_second_import_gives_the_same_module():
    import importlib
    import sys

    module = sys.modules.pop(MODULE)
    try:
        assert importlib.import_module(MODULE) is module
    finally:
        sys.modules[MODULE] = module


def test_classes_are_plain_classes_with_their_members_in_order():
    assert TimeSampler.__bases__ == (object,)
    assert ExistingTimestampSampler.__bases__ == (TimeSampler,)
    assert [k for k in vars(TimeSampler) if k not in CLASS_BOOKKEEPING] == [
        "__init__",
        "__repr__",
        "sample",
        "__call__",
    ]
    assert [k for k in vars(ExistingTimestampSampler) if k not in CLASS_BOOKKEEPING] == [
        "__init__",
        "__repr__",
        "sample",
    ]
    for cls in (TimeSampler, ExistingTimestampSampler):
        assert cls.__module__ == MODULE
        assert cls.__qualname__ == cls.__name__


def test_signatures_and_annotation_texts():
    def described(function):
        return str(inspect.signature(function)), function.__annotations__

    assert described(TimeSampler.__init__) == ("(self, window: 'pd.Timedelta')", {"window": "pd.Timedelta"})
    assert described(TimeSampler.__repr__) == ("(self)", {})
    assert described(TimeSampler.sample) == ("(self, df: 'pd.DataFrame')", {"df": "pd.DataFrame"})
    assert described(TimeSampler.__call__) == ("(self, x_df: 'pd.DataFrame')", {"x_df": "pd.DataFrame"})
    assert described(ExistingTimestampSampler.__init__) == ("(self, **kwargs)", {})
    assert described(ExistingTimestampSampler.__repr__) == ("(self)", {})
    assert described(ExistingTimestampSampler.sample) == ("(self, df: 'pd.DataFrame')", {"df": "pd.DataFrame"})


# TimeSampler -----------------------------------------------------------------------------------------


def test_time_sampler_keeps_its_window_unchanged():
    window = pd.Timedelta("5min")
    assert TimeSampler(window).window is window
    assert TimeSampler(window=window).window is window
    assert TimeSampler("not a window").window == "not a window"


@pytest.mark.parametrize("window, text", [(pd.Timedelta("5min"), "0 days 00:05:00"), (None, "None"), ("1h", "1h")])
def test_time_sampler_repr_is_class_text_underscore_window(window, text):
    assert repr(TimeSampler(window)) == f"<class '{MODULE}.TimeSampler'>_{text}"


def test_time_sampler_needs_exactly_one_window():
    with pytest.raises(TypeError):
        TimeSampler()
    with pytest.raises(TypeError):
        TimeSampler(pd.Timedelta("1min"), pd.Timedelta("2min"))
    with pytest.raises(TypeError):
        TimeSampler(span=pd.Timedelta("1min"))


def test_time_sampler_does_not_sample():
    sampler = TimeSampler(pd.Timedelta("1min"))
    for attempt in (lambda: sampler(minute_table()), lambda: sampler.sample(df=object()), lambda: sampler.sample(None)):
        with pytest.raises(NotImplementedError) as raised:
            attempt()
        assert raised.value.args == () and str(raised.value) == ""


def test_call_hands_the_table_over_by_the_keyword_df():
    class Echo(TimeSampler):
        def sample(self, df):
            return ("sampled", df)

    class Misnamed(TimeSampler):
        def sample(self, table):
            return table

    table = minute_table()
    assert Echo(None)(table) == ("sampled", table)
    assert Echo(None)(x_df=table) == ("sampled", table)
    with pytest.raises(TypeError, match="df"):
        Misnamed(None)(table)
    with pytest.raises(TypeError):
        Echo(None)()


def test_subclass_repr_starts_with_the_subclass_text():
    class Hourly(ExistingTimestampSampler):
        pass

    assert repr(Hourly(func_name="max", window=pd.Timedelta("1h"))) == (
        f"<class '{__name__}.test_subclass_repr_starts_with_the_subclass_text.<locals>.Hourly'>_0 days 01:00:00_max"
    )


# ExistingTimestampSampler construction ------------------------------------------------------------------


def test_construction_takes_keywords_only_and_needs_func_name():
    window = pd.Timedelta("1min")
    sampler = ExistingTimestampSampler(func_name="last", window=window, colour="red")
    assert sampler.func_name == "last" and sampler.window is window
    assert not hasattr(sampler, "colour")
    assert ExistingTimestampSampler(func_name="first").window is None
    with pytest.raises(KeyError) as raised:
        ExistingTimestampSampler(window=window)
    assert raised.value.args == ("func_name",)
    with pytest.raises(KeyError):
        ExistingTimestampSampler()
    with pytest.raises(TypeError):
        ExistingTimestampSampler("first")


def test_repr_is_base_repr_underscore_func_name():
    sampler = ExistingTimestampSampler(func_name="median", window=pd.Timedelta("5min"))
    assert repr(sampler) == f"<class '{MODULE}.ExistingTimestampSampler'>_0 days 00:05:00_median"
    assert repr(ExistingTimestampSampler(func_name=3)).endswith("ExistingTimestampSampler'>_None_3")


# Sampling -------------------------------------------------------------------------------------------


def test_ten_rows_in_three_periods_give_three_rows_and_one_log_line(caplog):
    table = minute_table()
    with caplog.at_level(logging.INFO):
        result = sample(table)
    assert list(result.index) == list(
        pd.to_datetime(["2024-01-01 10:02:10", "2024-01-01 10:03:00", "2024-01-01 10:04:00"])
    )
    assert result.index.dtype == table.index.dtype
    assert result.index.name == "ts"
    assert list(result.columns) == ["price", "size"]
    assert result["price"].tolist() == [0.0, 3.0, 7.0]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("root", logging.INFO, "Sampled 3/10 rows.")
    ]


def test_log_goes_through_the_module_logging_name_at_call_time(monkeypatch):
    messages = []

    class Recorder:
        @staticmethod
        def info(message):
            messages.append(message)

    monkeypatch.setattr(samplers, "logging", Recorder)
    sample(minute_table())
    assert messages == ["Sampled 3/10 rows."]


def test_pandas_is_reached_through_the_module_name_at_call_time(monkeypatch):
    class Refusing:
        def __getattr__(self, name):
            raise LookupError(f"pd.{name} looked up")

    monkeypatch.setattr(samplers, "pd", Refusing())
    with pytest.raises(LookupError, match="looked up"):
        sample(minute_table())


def test_the_callers_table_is_left_alone():
    table = minute_table()
    before = table.copy(deep=True)
    price = table["price"].to_numpy()
    for func_name in ("first", "head", "max"):
        result = sample(table, func_name=func_name)
        result.iloc[0, 0] = -1.0
        pd.testing.assert_frame_equal(table, before)
    assert "group_by_label" not in table.columns
    assert price.tolist() == before["price"].tolist()


def test_duplicate_timestamps_get_the_label_of_their_period():
    table = table_of(
        ["2024-01-01 10:00:00"] * 3
        + [
            "2024-01-01 10:00:30",
            "2024-01-01 10:01:00",
            "2024-01-01 10:01:00",
            "2024-01-01 10:03:10",
            "2024-01-01 10:03:10",
        ],
        price=[1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0],
    )
    first = sample(table, func_name="first")
    assert first["price"].tolist() == [1.0, 5.0, 7.0]
    assert sample(table, func_name="count")["price"].tolist() == [4, 2, 2]
    last = sample(table, func_name="last", window="2min")
    assert last["price"].tolist() == [6.0, 8.0]
    assert list(last.index) == list(pd.to_datetime(["2024-01-01 10:01:00", "2024-01-01 10:03:10"]))


def test_duplicate_timestamps_through_the_pandas_path():
    table = table_of(
        ["2024-01-01 10:00", "2024-01-01 10:00", "2024-01-08 10:00", "2024-01-08 10:00"], price=[1.0, 2.0, 3.0, 4.0]
    )
    result = ExistingTimestampSampler(func_name="last", window="1W")(table)
    assert result["price"].tolist() == [2.0, 4.0]


def test_single_row_gives_one_row():
    table = table_of(["2024-01-01 10:02:37"], price=[5.0])
    for window in ("1ms", "1min", "1D"):
        result = sample(table, window=window)
        pd.testing.assert_frame_equal(result, table)


def test_grid_starts_at_the_first_timestamp_cut_to_the_unit_not_at_clock_multiples():
    # Five-minute periods from 10:02 on: 10:02, 10:07, 10:12.
    table = table_of(
        [
            "2024-01-01 10:02:30",
            "2024-01-01 10:04:00",
            "2024-01-01 10:06:59.999999",
            "2024-01-01 10:07:00",
            "2024-01-01 10:11:00",
            "2024-01-01 10:12:00",
        ]
    )
    result = sample(table, window="5min", func_name="first")
    assert [t.strftime("%H:%M:%S") for t in result.index] == ["10:02:30", "10:07:00", "10:12:00"]


@pytest.mark.parametrize("tz", [None, "Asia/Tokyo"])
@pytest.mark.parametrize("origin", ["epoch", "start_day", "2024-01-01 10:01:30", "1999-12-31 23:58:10"])
@pytest.mark.parametrize("func_name", ["first", "max", "median"], ids=["native", "native max", "group-by"])
def test_an_origin_anchors_the_grid_as_pandas_resample_does(origin, tz, func_name):
    if func_name == "median" and pd.__version__ < "2":
        pytest.skip("pandas 1.5 drops the timestamps from a median and then fails")
    times = pd.date_range("2024-01-01 10:02:17", periods=60, freq="23s") + pd.to_timedelta(np.arange(60) % 7, "ms")
    table = table_of(times, name="t", price=np.random.default_rng(5).random(60)).tz_localize(tz)
    anchor = origin if origin in ("epoch", "start_day") else pd.Timestamp(origin, tz=tz)
    sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta("3min"), origin=anchor)
    result = sampler(table)
    windows = table["price"].resample("3min", origin=anchor)
    assert result["price"].tolist() == getattr(windows, func_name)().dropna().tolist()
    assert sampler.origin == anchor
    assert not hasattr(ExistingTimestampSampler(func_name="first"), "origin")


@pytest.mark.parametrize(
    "origin, window, tz, refusal",
    [
        ("start", "1min", None, "origin must be None, 'epoch', 'start_day' or a timestamp"),
        (pd.NaT, "1min", None, "origin must be None, 'epoch', 'start_day' or a timestamp"),
        ("epoch", "W-MON", None, "origin applies only to fixed-length windows over a datetime64 index"),
        ("2024-01-01", "1min", "UTC", "The origin must have the same timezone as the index."),
    ],
)
def test_an_origin_that_cannot_anchor_the_grid_is_refused(origin, window, tz, refusal):
    with pytest.raises(ValueError, match=refusal):
        ExistingTimestampSampler(func_name="first", window=window, origin=origin)(minute_table().tz_localize(tz))


def test_rows_on_a_period_start_belong_to_that_period():
    table = table_of(["2024-01-01 10:00:00", "2024-01-01 10:00:59.999999999", "2024-01-01 10:01:00"])
    assert sample(table, func_name="count")["price"].tolist() == [2, 1]
    assert sample(table, window="1ns", func_name="count").shape[0] == 3


def test_gaps_leave_no_rows_for_empty_periods(caplog):
    table = table_of(["2024-01-01 10:00:05", "2024-01-01 10:00:50", "2024-01-01 13:30:00", "2024-01-03 00:00:00"])
    with caplog.at_level(logging.INFO):
        result = sample(table, func_name="last")
    assert result["price"].tolist() == [1.0, 2.0, 3.0]
    assert caplog.messages == ["Sampled 3/4 rows."]


def test_a_day_timedelta_follows_the_installed_pandas():
    # pandas 3 reads a one-day Timedelta as 24 hours laid from the first row's hour; earlier pandas from midnight.
    table = table_of(["2024-01-01 10:30", "2024-01-01 23:59", "2024-01-02 09:59", "2024-01-02 10:00"])
    result = sample(table, window="1D", func_name="count")
    assert result["price"].tolist() == ([3, 1] if PANDAS_3 else [2, 2])


@pytest.mark.skipif(not hasattr(pd.DatetimeIndex, "as_unit"), reason="pandas before 2.0 has nanosecond indexes only")
@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_result_keeps_the_resolution_of_the_index(unit):
    table = minute_table()
    table.index = table.index.as_unit(unit) if unit != "s" else table.index.floor("s").as_unit("s")
    result = sample(table)
    assert result.index.dtype == np.dtype(f"datetime64[{unit}]")
    assert len(result) == 3


def test_tiny_fixed_windows_over_long_spans_need_no_grid():
    # A period per nanosecond over a day would be 86.4e12 grid entries; fixed windows never build them.
    table = table_of(["2024-01-01 00:00:00", "2024-01-01 00:00:00", "2024-01-01 12:00:00", "2024-01-02 00:00:00"])
    result = sample(table, window="1ns", func_name="last")
    assert result["price"].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("window", [pd.Timedelta(minutes=15), "W-MON"], ids=["native labels", "pandas labels"])
def test_an_aware_index_samples_like_its_naive_twin_and_keeps_its_zone(window, caplog):
    step = "7min" if isinstance(window, pd.Timedelta) else "19h"
    naive = table_of(pd.date_range("2024-01-01 10:00", periods=10, freq=step), name="t")
    sampler = ExistingTimestampSampler(func_name="last", window=window)
    with caplog.at_level(logging.INFO):
        aware = sampler(naive.tz_localize("UTC"))
    expected = sampler(naive)
    assert str(aware.index.tz) == "UTC"
    pd.testing.assert_frame_equal(aware.tz_localize(None), expected)
    assert caplog.messages == [f"Sampled {len(expected)}/10 rows."] and len(expected) > 1


@pytest.mark.parametrize("window", [pd.Timedelta("15min"), pd.Timedelta("1h"), "1D"])
@pytest.mark.parametrize("change", ["2024-03-10 06:20", "2024-11-03 04:50"], ids=["spring forward", "fall back"])
def test_rows_across_a_daylight_saving_change_all_land_in_a_period(change, window):
    # Rows are labelled by their wall-clock time: when the clock falls back, the repeated hour's rows join
    # the periods of the same wall-clock time.
    index = pd.date_range(change, periods=12, freq="10min", tz="UTC", name="t").tz_convert("America/New_York")
    table = table_of(index.tz_localize(None), name="t").set_axis(index)
    counts = ExistingTimestampSampler(func_name="count", window=window)(table)["price"]
    assert counts.sum() == 12
    last = ExistingTimestampSampler(func_name="last", window=window)(table)
    assert str(last.index.tz) == "America/New_York" and len(last) == len(counts)
    if change.startswith("2024-11") and window == pd.Timedelta("15min"):
        # Wall clock 00:50 to 01:50, then 01:00 to 01:40 again; periods start at 00:50, 01:05, 01:20, ...
        assert counts.tolist() == [3, 2, 4, 2, 1]


def test_fixed_and_string_windows_run_without_warnings():
    table = minute_table()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for window in (pd.Timedelta("1min"), "1min", "5min", "1h", "1W"):
            ExistingTimestampSampler(func_name="first", window=window)(table)


# Failures ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("func_name", ["frist", "", "no such method"])
def test_unknown_method_is_refused_without_logging(func_name, caplog):
    table = minute_table()
    with caplog.at_level(logging.INFO), pytest.raises(RuntimeError) as raised:
        sample(table, func_name=func_name)
    assert str(raised.value) == f"Unsupported agg_func_name={func_name}, typo?"
    assert caplog.records == []
    assert "group_by_label" not in table.columns


@pytest.mark.parametrize("func_name", [None, 3, b"first"])
def test_method_name_must_be_a_string(func_name, caplog):
    with caplog.at_level(logging.INFO), pytest.raises(TypeError) as raised:
        sample(minute_table(), func_name=func_name)
    assert str(raised.value) == "hasattr(): attribute name must be string"
    assert caplog.records == []


def test_any_failure_to_look_the_method_up_counts_as_unsupported(monkeypatch):
    grouped_type = type(minute_table().reset_index().groupby("ts"))

    def broken(self):
        raise ValueError("broken attribute")

    monkeypatch.setattr(grouped_type, "broken", property(broken), raising=False)
    with pytest.raises(RuntimeError) as raised:
        sample(minute_table(), func_name="broken")
    assert str(raised.value) == "Unsupported agg_func_name=broken, typo?"


def test_failures_of_the_method_itself_pass_through(monkeypatch):
    grouped_type = type(minute_table().reset_index().groupby("ts"))

    def exploding(self):
        raise ZeroDivisionError("inside the reduction")

    monkeypatch.setattr(grouped_type, "exploding", exploding, raising=False)
    with pytest.raises(ZeroDivisionError, match="inside the reduction"):
        sample(minute_table(), func_name="exploding")


@pytest.mark.parametrize(
    "order, refusal",
    [
        (list(range(9, -1, -1)), "position 1 (2024-01-01 10:04:01) is earlier than position 0 (2024-01-01 10:04:59)"),
        ([*range(1, 10), 0], "position 9 (2024-01-01 10:02:10) is earlier than position 8 (2024-01-01 10:04:59)"),
        ("NaT", "position 4 holds NaT"),
        ("aware", "position 3 (2024-01-01 10:03:00+09:00) is earlier than position 2 (2024-01-01 10:03:30+09:00)"),
        # Long enough that the order is checked stretch by stretch along the pass that finds the periods.
        (
            "far",
            "position 9000 (2024-01-01 10:02:10.008999) is earlier than position 8999 (2024-01-01 10:02:10.009000)",
        ),
        (
            "last",
            "position 9999 (2024-01-01 10:02:10.009998) is earlier than position 9998 (2024-01-01 10:02:10.009999)",
        ),
        # Long enough that the order is checked in two halves at once: the descent is the second's first row.
        (
            "halves",
            "position 131072 (2024-01-01 10:02:10.131071) is earlier than position 131071 (2024-01-01 10:02:10.131072)",
        ),
    ],
)
@pytest.mark.parametrize("func_name", ["frist", "min"])
def test_an_index_out_of_order_or_with_nat_is_refused_before_anything_is_reduced(order, refusal, func_name, caplog):
    table = minute_table()
    if order == "NaT":
        table.index = table.index.where(np.arange(10) != 4)
    elif order == "aware":
        table = table.tz_localize("Asia/Tokyo").iloc[[0, 1, 4, 3, 2, 5, 6, 7, 8, 9]]
    elif order in ("far", "last", "halves"):
        rows = 1 << 18 if order == "halves" else 10_000
        ticks = table.index[0].value + np.arange(rows) * 1_000
        swapped = {"far": 8999, "last": 9998, "halves": rows // 2 - 1}[order]
        ticks[[swapped, swapped + 1]] = ticks[[swapped + 1, swapped]]
        table = pd.DataFrame({"price": np.arange(float(rows))}, index=pd.DatetimeIndex(ticks.view("M8[ns]"), name="ts"))
    else:
        table = table.iloc[order]
    before = table.copy()
    for window in ("1min", "1W"):
        with caplog.at_level(logging.INFO), pytest.raises(ValueError) as raised:
            ExistingTimestampSampler(func_name=func_name, window=window)(table)
        assert str(raised.value) == f"the index must be ascending without missing timestamps: {refusal}"
    assert caplog.records == []
    pd.testing.assert_frame_equal(table, before)


def test_errors_users_meet_carry_a_note_saying_what_to_do():
    from samplers_reference import reference_sample

    unnamed = minute_table().rename_axis(None)
    with pytest.raises(KeyError) as plain:
        reference_sample(unnamed, pd.Timedelta("1min"), "first")
    with pytest.raises(KeyError) as raised:
        sample(unnamed)
    assert raised.value.args == plain.value.args
    assert 'df.index.name = "t"' in raised.value.__notes__[0] and "rename_axis" in raised.value.__notes__[0]
    with pytest.raises(RuntimeError) as raised:
        sample(minute_table(), func_name="frist")
    assert raised.value.args == ("Unsupported agg_func_name=frist, typo?",)
    assert "first, last, min, max" in raised.value.__notes__[0]


def _gives_one_timestamp_row_per_period(func_name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = sample(minute_table(), func_name=func_name)
        except Exception:  # noqa: BLE001 - a method that fails does not work with the sampler
            return False
    return isinstance(result.index, pd.DatetimeIndex) and len(result) == 3


# A method that fails with the sampler on each pandas: 1.5 drops the timestamps from a mean, 3 refuses to sum them.
FAILING_METHOD = "mean" if pd.__version__.startswith("1.") else "sum"


@pytest.mark.parametrize("case", ["no_func_name", "typo", "method_fails", "empty", "no_datetime_index", "series"])
def test_errors_a_new_user_meets_keep_type_and_message_and_say_what_to_do(case):
    from samplers_reference import reference_sample

    table, func_name = minute_table(), "first"
    if case == "no_func_name":
        with pytest.raises(KeyError) as raised:
            ExistingTimestampSampler(window=pd.Timedelta("1min"))
        assert raised.value.args == ("func_name",)
    else:
        if case == "typo":
            func_name = "frist"
        elif case == "method_fails":
            func_name = FAILING_METHOD
        elif case == "empty":
            table = table.iloc[:0]
        elif case == "no_datetime_index":  # set_index forgotten
            table = table.reset_index()
        elif case == "series":
            table = table["price"]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with pytest.raises(Exception) as expected:
                reference_sample(table, pd.Timedelta("1min"), func_name)
            with pytest.raises(Exception) as raised:
                sample(table, func_name=func_name)
        assert (type(raised.value), str(raised.value)) == (type(expected.value), str(expected.value))
    note = raised.value.__notes__[-1]
    if case in ("no_func_name", "typo", "method_fails"):
        # Exactly the methods that work on the installed pandas, and where bars are made.
        listed = note.split(f"sampler on pandas {pd.__version__}: ")[1].split(";")[0].split(", ")
        tried = {*listed, "first", "last", "min", "max", "mean", "median", "sum", "prod", "std", "var", "nunique"}
        assert {name for name in tried if _gives_one_timestamp_row_per_period(name)} == set(listed)
        assert "BarSampler" in note and "norvane.kestrum_data.utility.timeseries.bars" in note
    else:
        assert {"empty": "len(df)", "no_datetime_index": "set_index", "series": ".to_frame()"}[case] in note
        if case == "no_datetime_index":
            assert "pd.to_datetime(df.index)" in note


def test_pandas_errors_pass_through_without_logging(caplog):
    with caplog.at_level(logging.INFO):
        with pytest.raises(IndexError):
            sample(minute_table().iloc[:0])
        with pytest.raises(KeyError):
            sample(minute_table().rename_axis(None))
        with pytest.raises(ValueError):
            ExistingTimestampSampler(func_name="first", window="fortnight")(minute_table())
    assert caplog.records == []


# References -------------------------------------------------------------------------------------------

STAMPS = np.datetime64("2024-01-01T10:00:00", "ns") + np.arange(2000) * np.timedelta64(7, "s")


def fresh_table():
    # A new index each time: pandas keeps weak references to every view of an index's data, pruned only
    # now and then, which would read as growth.
    return pd.DataFrame({"price": np.arange(2000.0)}, index=pd.DatetimeIndex(STAMPS, name="ts"))


@pytest.mark.parametrize("window", [pd.Timedelta("1min"), "1W"], ids=["native labels", "pandas labels"])
@pytest.mark.parametrize("func_name", ["first", "frist"])
def test_sampling_leaks_nothing(window, func_name):
    from leakcheck import assert_no_leak

    sampler = ExistingTimestampSampler(func_name=func_name, window=window)
    assert_no_leak(
        lambda: sampler(fresh_table()),
        sampler,
        window,
        func_name,
        calls=200,
        bytes_per_call=1024,
        expected=RuntimeError,
    )


def test_construction_failures_leak_nothing():
    from leakcheck import assert_no_leak

    assert_no_leak(lambda: ExistingTimestampSampler(window=None), expected=KeyError)
    assert_no_leak(lambda: TimeSampler(None)(None), expected=NotImplementedError)
