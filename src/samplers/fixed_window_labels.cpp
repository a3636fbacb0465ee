// Row labels in one native pass for windows of fixed length.
//
// For a Tick frequency pandas lays its periods from the first timestamp cut down to the frequency's
// base unit and steps by the frequency's length, so the start of a row's period is plain arithmetic on
// the row's int64 timestamp. The first period is taken from pandas itself, for the first row only,
// so the grid follows whatever rule the installed pandas applies (pandas 3 reads a one-day Timedelta as
// 24 hours, earlier versions as a calendar-aligned day). Only tables whose rows pandas would label the
// same way take this path: a DataFrame on a datetime64 index without NaT whose timestamps fit in
// nanoseconds. A row of a time-zone-aware index falls in the period of its wall-clock time, as pandas
// reads an aware timestamp as a period, so that a UTC index samples exactly like its naive twin; the grid
// then runs from the earliest to the latest wall-clock time, which a clock turned back by a time-zone
// change may put elsewhere than the first and last row. The labels are datetime64[ns], as pandas' grid is.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "runtime/handlers.hpp"
#include "arrays.hpp"
#include "names.hpp"
#include "samplers.hpp"
#include "timestamps.hpp"

namespace samplers {

namespace {

std::optional<std::int64_t> in_nanoseconds(std::int64_t ticks, std::int64_t nanoseconds_per) {
    std::int64_t nanoseconds;
    if (__builtin_mul_overflow(ticks, nanoseconds_per, &nanoseconds) || nanoseconds == kNaT) return std::nullopt;
    return nanoseconds;
}

// The start of each row's period, for rows at or after `first_start`; rows in ascending order cost one
// comparison each, a wall clock turned back starts the search again (see PeriodCursor).
void write_period_starts(const Int64Column& times, std::int64_t nanoseconds_per, std::int64_t first_start,
                         std::int64_t step, std::int64_t* out) {
    PeriodCursor cursor(first_start, step);
    const Py_ssize_t count = times.size();
    for (Py_ssize_t i = 0; i < count; ++i) {
        cursor.enters_new_period(wrapped_nanoseconds(times[i], nanoseconds_per));
        out[i] = cursor.start();
    }
}

// The first period pandas lays for `first` with `window`: its start in nanoseconds and its length, or
// nothing when the frequency pandas makes of the window is not a fixed length.
struct FirstPeriod {
    std::int64_t start;
    std::int64_t step;
};

// The length in nanoseconds of a fixed-length offset, or nothing when `offset` is not one (or not positive).
std::optional<std::int64_t> tick_nanoseconds(PyObject* offset, PyObject* tick) {
    if (!rt::is_instance(offset, tick)) return std::nullopt;
    rt::Ref nanos = rt::attr(offset, n_nanos);
    const long long length = PyLong_AsLongLong(nanos.get());
    if (length == -1 && PyErr_Occurred()) rt::raise_pending();
    if (length <= 0) return std::nullopt;
    return length;
}

std::optional<FirstPeriod> first_period(PyObject* pd, PyObject* first, PyObject* window) {
    // The period of the first time, as `period_range(start=first, end=first, freq=window)` holds it: a
    // Period of the window's frequency is the same frequency and ordinal for a tenth of the cost, where
    // there is a window (without one, the range infers a frequency and a Period refuses).
    rt::Ref period;
    if (window != Py_None) {
        rt::Ref period_type = rt::attr(pd, n_Period);
        period = rt::call(period_type.get(), first, rt::kw<"freq">(window));
    } else {
        rt::Ref period_range = rt::attr(pd, n_period_range);
        rt::Ref periods =
            rt::call(period_range.get(), rt::kw<"start">(first), rt::kw<"end">(first), rt::kw<"freq">(window));
        if (rt::require(PyObject_Size(periods.get())) != 1) return std::nullopt;
        period = rt::item(periods.get(), rt::Ref::steal(PyLong_FromLong(0)).get());
    }
    rt::Ref freq = rt::attr(period.get(), n_freq);
    rt::Ref offsets = rt::attr(pd, n_offsets);
    rt::Ref tick = rt::attr(offsets.get(), n_Tick);
    const std::optional<std::int64_t> step = tick_nanoseconds(freq.get(), tick.get());
    if (!step) return std::nullopt;

    // A period of a fixed-length frequency counts units of the frequency's base (a minute for 5
    // minutes) from the epoch, so its start is the ordinal times the base's length: the same figure as
    // the period converted to a timestamp, without the conversion's cost.
    rt::Ref base = rt::attr(freq.get(), n_base);
    const std::optional<std::int64_t> unit = tick_nanoseconds(base.get(), tick.get());
    if (!unit) return std::nullopt;
    rt::Ref ordinal_object = rt::attr(period.get(), n_ordinal);
    const long long ordinal = PyLong_AsLongLong(ordinal_object.get());
    if (ordinal == -1 && PyErr_Occurred()) rt::raise_pending();
    std::int64_t start;
    if (__builtin_mul_overflow(ordinal, *unit, &start) || start == kNaT) return std::nullopt;
    return FirstPeriod{start, *step};
}

rt::Ref new_label_array(PyObject* np, Py_ssize_t count, const Int64Column& times, std::int64_t nanoseconds_per,
                        const FirstPeriod& period) {
    rt::Ref ticks = new_int64_array(np, count, [&](std::int64_t* out) {
        write_period_starts(times, nanoseconds_per, period.start, period.step, out);
    });
    return rt::call_method(ticks.get(), n_view, t_datetime64_ns.get());
}

}  // namespace

rt::Ref checked_origin(PyObject* pd, PyObject* origin) {
    if (origin == Py_None) return rt::Ref::borrow(origin);
    if (PyUnicode_Check(origin) &&
        (PyUnicode_Compare(origin, n_epoch) == 0 || PyUnicode_Compare(origin, n_start_day) == 0)) {
        return rt::Ref::borrow(origin);
    }
    rt::Ref timestamp_type = rt::attr(pd, n_Timestamp);
    rt::Ref timestamp;
    const auto refuse = [&] {
        rt::raise_format(PyExc_ValueError,
                         "origin must be None, 'epoch', 'start_day' or a timestamp (anything pd.Timestamp reads), "
                         "not %R",
                         origin);
    };
    try {
        timestamp = rt::call(timestamp_type.get(), origin);
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        refuse();
    }
    if (!rt::is_instance(timestamp.get(), timestamp_type.get())) refuse();  // NaT
    return timestamp;
}

namespace {

std::int64_t floor_division(__int128 numerator, std::int64_t denominator) {
    __int128 quotient = numerator / denominator;
    if (numerator % denominator != 0 && (numerator < 0) != (denominator < 0)) --quotient;
    return static_cast<std::int64_t>(quotient);
}

// The wall-clock time in nanoseconds that `origin` (as checked_origin left it) anchors the grid at, for
// an index whose earliest wall-clock time is `first_ns`: the epoch, midnight of the first day, or the
// timestamp itself, read in the index's zone. An origin and an index of which only one has a time zone
// are refused, as pandas refuses them.
std::int64_t origin_nanoseconds(PyObject* pd, PyObject* origin, PyObject* tz, std::int64_t first_ns) {
    constexpr std::int64_t kDay = 86'400'000'000'000;
    if (PyUnicode_Check(origin)) {
        if (PyUnicode_Compare(origin, n_epoch) == 0) return 0;
        return floor_division(first_ns, kDay) * kDay;
    }
    rt::Ref timestamp_type = rt::attr(pd, n_Timestamp);
    rt::Ref timestamp = rt::call(timestamp_type.get(), origin);
    rt::Ref origin_tz = rt::attr(timestamp.get(), n_tz);
    if ((origin_tz.get() == Py_None) != (tz == Py_None)) {
        rt::raise(PyExc_ValueError, "The origin must have the same timezone as the index.");
    }
    if (tz != Py_None) {
        rt::Ref converted = rt::call_method(timestamp.get(), n_tz_convert, tz);
        timestamp = rt::call_method(converted.get(), n_tz_localize, Py_None);
    }
    rt::Ref value = rt::attr(timestamp.get(), n_value);
    const long long nanoseconds = PyLong_AsLongLong(value.get());
    if (nanoseconds == -1 && PyErr_Occurred()) rt::raise_pending();
    return nanoseconds;
}

}  // namespace

std::optional<FixedWindowGrid> fixed_window_grid(PyObject* pd, PyObject* np, PyObject* df, PyObject* window,
                                                 PyObject* origin) {
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (!rt::is_instance(df, frame_type.get())) return std::nullopt;
    rt::Ref index = rt::attr(df, n_index);
    rt::Ref datetime_index_type = rt::attr(pd, n_DatetimeIndex);
    if (!rt::is_instance(index.get(), datetime_index_type.get())) return std::nullopt;
    // An index called like the label column makes pandas refuse the working table; let it say so.
    rt::Ref index_col = rt::attr(index.get(), n_name);
    if (PyUnicode_Check(index_col.get()) && PyUnicode_Compare(index_col.get(), n_group_by_label) == 0) {
        return std::nullopt;
    }

    rt::Ref tz = rt::attr(index.get(), n_tz);
    rt::Ref wall = tz.get() == Py_None ? index : rt::call_method(index.get(), n_tz_localize, Py_None);
    rt::Ref dtype = rt::attr(wall.get(), n_dtype);
    rt::Ref numpy_dtype = rt::attr(np, n_dtype);
    if (!rt::is_instance(dtype.get(), numpy_dtype.get())) return std::nullopt;
    const std::int64_t nanoseconds_per = nanoseconds_per_tick(dtype.get());
    if (nanoseconds_per == 0) return std::nullopt;

    rt::Ref ticks = rt::attr(wall.get(), n_asi8);
    Int64Column times(ticks.get());
    if (!times.usable() || times.size() == 0) return std::nullopt;
    // A naive index spans from its first to its last row: an index out of order or holding NaT is refused
    // (the native path checks the order as it walks the rows, the group-by path before it starts). For an
    // aware index, whose instants are checked that way, a wall clock turned back is looked for here.
    const std::optional<TimeSpan> span =
        tz.get() == Py_None ? std::optional<TimeSpan>(TimeSpan{0, times.size() - 1, true}) : span_without_nat(times);
    if (!span) return std::nullopt;
    const auto first_ns = in_nanoseconds(times[span->earliest], nanoseconds_per);
    if (!first_ns || !in_nanoseconds(times[span->latest], nanoseconds_per)) return std::nullopt;

    rt::Ref earliest = rt::Ref::steal(PyLong_FromSsize_t(span->earliest));
    rt::Ref first = rt::item(wall.get(), earliest.get());
    const std::optional<FirstPeriod> period = first_period(pd, first.get(), window);
    if (!period || period->start > *first_ns) return std::nullopt;
    std::int64_t first_start = period->start;
    if (origin != nullptr && origin != Py_None) {
        // The grid keeps its step and is shifted onto the origin: the start of the window that holds the
        // earliest time, counting whole windows from the origin.
        const std::int64_t anchor = origin_nanoseconds(pd, origin, tz.get(), *first_ns);
        const __int128 start =
            static_cast<__int128>(anchor) +
            static_cast<__int128>(floor_division(static_cast<__int128>(*first_ns) - anchor, period->step)) *
                period->step;
        if (start <= kNaT || start > *first_ns) return std::nullopt;
        first_start = static_cast<std::int64_t>(start);
    }
    return FixedWindowGrid{std::move(index), std::move(index_col), std::move(ticks), std::move(dtype),
                           nanoseconds_per,  first_start,          period->step,     !span->ascending};
}

WorkingTable label_fixed_window(PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* origin) {
    std::optional<FixedWindowGrid> grid = fixed_window_grid(pd, np, df, window, origin);
    if (!grid) return {};
    return label_fixed_window(np, df, std::move(*grid));
}

WorkingTable label_fixed_window(PyObject* np, PyObject* df, FixedWindowGrid grid) {
    Int64Column times(grid.ticks.get());
    rt::Ref labels =
        new_label_array(np, times.size(), times, grid.nanoseconds_per_tick, FirstPeriod{grid.first_start, grid.step});
    rt::Ref working = rt::call_method(df, n_reset_index);
    rt::require(PyObject_SetItem(working.get(), n_group_by_label, labels.get()));
    return {std::move(working), std::move(grid.index_col)};
}

}  // namespace samplers
