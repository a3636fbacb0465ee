// Row labels through pandas: the grid of periods from the first to the last timestamp, a map from every
// timestamp to the start of its period, and a look-up of each row in that map. Works for any window and
// index pandas can lay periods for.
//
// The full grid holds one period per window of the span, so a short window over a long span would make
// it (and the union, map and look-up built on it) as large as the span allows: a 1 ns window over a day
// is 86.4e12 periods, and over a few milliseconds already gigabytes. Only the period that each row falls
// in, and the two ends of the grid, decide any row's label: for a datetime index and a fixed-length
// window those periods alone are laid, and the map and look-up give exactly what the full grid gives.
// An index of another kind (timestamps as objects or text) whose full grid would be long is read through
// pandas' own datetime conversion to take that path too; one that does not convert gets the full grid.
//
// Rows of a time-zone-aware index are labelled by their wall-clock times, the periods pandas reads from
// aware timestamps, over a grid from the earliest to the latest of them.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "runtime/handlers.hpp"
#include "arrays.hpp"
#include "names.hpp"
#include "samplers.hpp"
#include "timestamps.hpp"

namespace samplers {

namespace {

// Beyond this many periods an index of objects or text is converted to timestamps rather than given the
// full grid: pandas needs some 20 us and 300 bytes per period there, the union with such an index being
// an object index.
constexpr std::int64_t kLargestFullGrid = std::int64_t{1} << 20;

std::int64_t int64_of(PyObject* number) {
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) rt::raise_pending();
    return value;
}

rt::Ref decimal_text(__int128 value) {
    char digits[48];
    char* at = digits + sizeof digits;
    *--at = '\0';
    auto magnitude = static_cast<unsigned __int128>(value < 0 ? -value : value);
    do {
        *--at = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--at = '-';
    return rt::Ref::steal(PyUnicode_FromString(at));
}

// The one period that a single timestamp falls in, as pandas lays it: errors and warnings about the
// timestamp or the window are pandas' own, as the full grid would give them.
struct SinglePeriod {
    rt::Ref period;  // a PeriodIndex of length one
    std::int64_t ordinal;
};

std::optional<SinglePeriod> single_period(PyObject* period_range, PyObject* timestamp, PyObject* window) {
    rt::Ref period =
        rt::call(period_range, rt::kw<"start">(timestamp), rt::kw<"end">(timestamp), rt::kw<"freq">(window));
    if (rt::require(PyObject_Size(period.get())) != 1) return std::nullopt;
    rt::Ref ordinals = rt::attr(period.get(), n_asi8);
    Int64Column column(ordinals.get());
    if (!column.usable() || column.size() != 1) return std::nullopt;
    const std::int64_t ordinal = column[0];
    return SinglePeriod{std::move(period), ordinal};
}

// The grid as pandas lays it, period by period.
rt::Ref full_grid(PyObject* period_range, PyObject* first, PyObject* last, PyObject* window) {
    rt::Ref periods = rt::call(period_range, rt::kw<"start">(first), rt::kw<"end">(last), rt::kw<"freq">(window));
    // Unit-less datetime64 is refused from pandas 2.2 on; nanoseconds give the same period starts everywhere.
    return rt::call_method(periods.get(), n_astype, t_datetime64_ns.get());
}

// The grid's periods, numbered from 0 at the first one, that the rows fall in; the two ends; and the
// first period past the nanosecond range when the grid reaches it, so that converting the periods to
// timestamps fails on the same period as the full grid would. Empty when the index cannot be read.
std::vector<std::int64_t> needed_periods(PyObject* index, std::int64_t first_ordinal, std::int64_t step,
                                         std::int64_t unit_ns, std::int64_t last_number) {
    rt::Ref dtype = rt::attr(index, n_dtype);
    const std::int64_t stamp_unit_ns = nanoseconds_per_tick(dtype.get());  // of one datetime64 unit
    if (stamp_unit_ns == 0) return {};
    rt::Ref stamps = rt::attr(index, n_asi8);
    Int64Column times(stamps.get());
    if (!times.usable()) return {};

    std::vector<std::int64_t> numbers;
    numbers.reserve(static_cast<std::size_t>(times.size()) + 3);
    numbers.push_back(0);
    numbers.push_back(last_number);
    const __int128 largest_start = std::numeric_limits<std::int64_t>::max() / unit_ns;
    const __int128 last_in_range = (largest_start - first_ordinal) / step;
    if (last_in_range >= 0 && last_in_range < last_number) {
        numbers.push_back(static_cast<std::int64_t>(last_in_range + 1));
    }
    for (Py_ssize_t i = 0; i < times.size(); ++i) {
        const std::int64_t stamp = times[i];
        if (stamp == kNaT) continue;
        // The period ordinal of the row: its time in the frequency's base unit, rounded towards the past.
        const __int128 time_ns = static_cast<__int128>(stamp) * stamp_unit_ns;
        __int128 ordinal = time_ns / unit_ns;
        if (time_ns % unit_ns != 0 && time_ns < 0) --ordinal;
        const __int128 offset = ordinal - first_ordinal;
        if (offset < 0) continue;  // before the grid: no period, as the full grid gives none
        numbers.push_back(static_cast<std::int64_t>(std::min<__int128>(offset / step, last_number)));
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

// The numbered periods after `first`: the first period repeated, shifted by each number.
rt::Ref periods_numbered(PyObject* np, PyObject* first, const std::vector<std::int64_t>& numbers) {
    const auto count = static_cast<Py_ssize_t>(numbers.size());
    rt::Ref shifts =
        new_int64_array(np, count, [&](std::int64_t* out) { std::copy(numbers.begin(), numbers.end(), out); });
    rt::Ref length = rt::Ref::steal(PyLong_FromSsize_t(count));
    rt::Ref repeated = rt::call_method(first, n_repeat, length.get());
    return rt::Ref::steal(PyNumber_Add(repeated.get(), shifts.get()));
}

// The grid pandas would lay from `first` to `last`, known from its two end periods alone; nothing when
// pandas does not lay single periods for them.
struct GridSpan {
    SinglePeriod first;
    rt::Ref freq;
    std::int64_t step;
    __int128 span;  // in periods of the frequency's base unit
    __int128 period_count;
};

std::optional<GridSpan> grid_span(PyObject* period_range, PyObject* first, PyObject* last, PyObject* window) {
    std::optional<SinglePeriod> first_period = single_period(period_range, first, window);
    if (!first_period) return std::nullopt;
    const std::optional<SinglePeriod> last_period = single_period(period_range, last, window);
    if (!last_period) return std::nullopt;
    rt::Ref freq = rt::attr(first_period->period.get(), n_freq);
    rt::Ref multiple = rt::attr(freq.get(), n_n);
    const std::int64_t step = int64_of(multiple.get());
    if (step <= 0) return std::nullopt;
    const __int128 span = static_cast<__int128>(last_period->ordinal) - first_period->ordinal;
    const __int128 period_count = span < 0 ? 0 : span / step + 1;
    return GridSpan{std::move(*first_period), std::move(freq), step, span, period_count};
}

// The period starts that label the rows, as datetime64[ns].
rt::Ref period_starts(PyObject* pd, PyObject* np, PyObject* index, PyObject* first, PyObject* last, PyObject* window) {
    rt::Ref period_range = rt::attr(pd, n_period_range);
    const std::optional<GridSpan> grid = grid_span(period_range.get(), first, last, window);
    if (!grid) return full_grid(period_range.get(), first, last, window);
    const __int128 rows = rt::require(PyObject_Size(index));
    if (grid->period_count <= 2 * rows + 1024) return full_grid(period_range.get(), first, last, window);

    rt::Ref offsets = rt::attr(pd, n_offsets);
    rt::Ref tick_class = rt::attr(offsets.get(), n_Tick);  // pandas' fixed-length offsets
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    // Periods are shifted from the first one in int64 base units; a longer grid (a nanosecond window over
    // most of the nanosecond range) could never be laid, and is refused below.
    const bool shiftable = grid->span <= std::numeric_limits<std::int64_t>::max();
    if (shiftable && rt::is_instance(grid->freq.get(), tick_class.get()) &&
        rt::is_instance(index, datetime_index.get())) {
        rt::Ref nanos = rt::attr(grid->freq.get(), n_nanos);
        const std::int64_t window_ns = int64_of(nanos.get());
        if (window_ns > 0 && window_ns % grid->step == 0) {
            const std::vector<std::int64_t> numbers =
                needed_periods(index, grid->first.ordinal, grid->step, window_ns / grid->step,
                               static_cast<std::int64_t>(grid->period_count - 1));
            if (!numbers.empty()) {
                rt::Ref periods = periods_numbered(np, grid->first.period.get(), numbers);
                return rt::call_method(periods.get(), n_astype, t_datetime64_ns.get());
            }
        }
    }
    if (!shiftable) {
        rt::Ref count_text = decimal_text(grid->period_count);
        rt::raise_format(PyExc_MemoryError, "sampling would lay a grid of %U periods", count_text.get());
    }
    return full_grid(period_range.get(), first, last, window);
}

// The timestamps the rows are labelled by, and the two ends of the grid.
struct RowTimes {
    rt::Ref times;
    rt::Ref first;
    rt::Ref last;
};

// An aware index's wall-clock times, the grid running from the earliest to the latest of them.
void read_wall_clock(RowTimes& rows) {
    rt::Ref tz = rt::attr(rows.times.get(), n_tz);
    if (tz.get() == Py_None) return;
    rows.times = rt::call_method(rows.times.get(), n_tz_localize, Py_None);
    rows.first = rt::call_method(rows.times.get(), n_min);
    rows.last = rt::call_method(rows.times.get(), n_max);
}

// `pd.to_datetime(index)`, else with format "ISO8601": the text of timestamps of one index may differ in
// its number of decimals, which the format pandas infers from the first one refuses. Nothing when neither
// reads the index.
rt::Ref as_timestamps(PyObject* pd, PyObject* index) {
    rt::Ref to_datetime = rt::attr(pd, n_to_datetime);
    for (PyObject* format : {Py_None, n_ISO8601.get()}) {
        rt::Ref converted;
        if (rt::suppress(PyExc_Exception,
                         [&] { converted = rt::call(to_datetime.get(), index, rt::kw<"format">(format)); })) {
            return converted;
        }
    }
    return {};
}

// An index of objects or text as timestamps, when its full grid would be long and pandas' datetime
// conversion reads it; as it is otherwise.
void convert_long_object_index(PyObject* pd, RowTimes& rows, PyObject* window) {
    PyObject* index = rows.times.get();
    rt::Ref dtype = rt::attr(index, n_dtype);
    rt::Ref kind = rt::attr(dtype.get(), n_kind);
    if (!PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "O") != 0) return;
    rt::Ref period_range = rt::attr(pd, n_period_range);
    const std::optional<GridSpan> grid = grid_span(period_range.get(), rows.first.get(), rows.last.get(), window);
    if (!grid || grid->period_count <= kLargestFullGrid) return;

    rt::Ref converted = as_timestamps(pd, index);
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (!converted || !rt::is_instance(converted.get(), datetime_index.get())) return;
    require_ascending_timestamps(pd, converted.get());
    rows.times = std::move(converted);
    read_wall_clock(rows);
}

// Whether every element of an index is a datetime that knows its time zone.
bool all_aware(PyObject* index) {
    rt::Ref iterator = rt::Ref::steal(PyObject_GetIter(index));
    while (rt::Ref element = rt::Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        rt::Ref zone;
        if (!rt::suppress(PyExc_AttributeError, [&] { zone = rt::attr(element.get(), n_tzinfo); })) return false;
        if (zone.get() == Py_None) return false;
    }
    if (PyErr_Occurred()) rt::raise_pending();
    return true;
}

// Whether pandas infers the elements of an object index to be what its datetime conversion reads as
// timestamps: text, datetimes, datetime64 values, dates, or a mix of them.
bool holds_dates(PyObject* index, bool& datetimes) {
    rt::Ref inferred = rt::attr(index, n_inferred_type);
    if (!PyUnicode_Check(inferred.get())) return false;
    datetimes = PyUnicode_CompareWithASCIIString(inferred.get(), "datetime") == 0;
    for (const char* kind : {"string", "datetime64", "date", "mixed"}) {
        if (PyUnicode_CompareWithASCIIString(inferred.get(), kind) == 0) return true;
    }
    return datetimes;
}

}  // namespace

// Text or objects that pandas reads as timestamps are sampled as the timestamps they stand for: the
// periods and the union with them are built of timestamps, against which the text itself would match
// nothing, and every row would vanish. Aware datetimes in several zones are read as instants (UTC), so
// that their order is checked on the instants.
rt::Ref with_timestamp_index(PyObject* pd, PyObject* df) {
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    rt::Ref unchanged = rt::Ref::borrow(df);
    if (!rt::is_instance(df, frame_type.get())) return unchanged;
    rt::Ref index = rt::attr(df, n_index);
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (rt::is_instance(index.get(), datetime_index.get())) return unchanged;
    rt::Ref dtype = rt::attr(index.get(), n_dtype);
    rt::Ref kind;
    if (!rt::suppress(PyExc_AttributeError, [&] { kind = rt::attr(dtype.get(), n_kind); })) return unchanged;
    if (!PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "O") != 0) return unchanged;
    bool datetimes = false;
    if (!holds_dates(index.get(), datetimes)) return unchanged;

    rt::Ref converted = as_timestamps(pd, index.get());
    if ((!converted || !rt::is_instance(converted.get(), datetime_index.get())) && datetimes &&
        all_aware(index.get())) {
        rt::Ref to_datetime = rt::attr(pd, n_to_datetime);
        converted = rt::call(to_datetime.get(), index.get(), rt::kw<"utc">(Py_True));
    }
    if (!converted || !rt::is_instance(converted.get(), datetime_index.get())) return unchanged;
    rt::Ref copy = rt::attr(df, n_copy);
    rt::Ref table = rt::call(copy.get(), rt::kw<"deep">(Py_False));
    rt::set_attr(table.get(), n_index, converted.get());
    return table;
}

// Days from the epoch that datetime64[ns] holds on either side (1677-09-21 to 2262-04-11), and the span
// a shifted table is kept within, leaving room for the periods laid around its first and last rows.
constexpr std::int64_t kNanosecondDays = 106'750;
constexpr std::int64_t kShiftedDays = 106'000;
// 400 Gregorian years: the calendar, weekdays included, repeats after them.
constexpr std::int64_t kCycleDays = 146'097;

ShiftedTable into_nanosecond_range(PyObject* pd, PyObject* df) {
    ShiftedTable unchanged{rt::Ref::borrow(df), {}};
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (!rt::is_instance(df, frame_type.get())) return unchanged;
    rt::Ref index = rt::attr(df, n_index);
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (!rt::is_instance(index.get(), datetime_index.get())) return unchanged;
    // Time-zone rules differ from century to century: only naive timestamps repeat with the calendar.
    rt::Ref tz = rt::attr(index.get(), n_tz);
    if (tz.get() != Py_None) return unchanged;
    rt::Ref dtype = rt::attr(index.get(), n_dtype);
    const std::int64_t tick_ns = nanoseconds_per_tick(dtype.get());
    if (tick_ns <= 1) return unchanged;
    const std::int64_t ticks_per_day = 86'400 * (1'000'000'000 / tick_ns);

    // The order is checked first, so that a refusal names the table's own timestamps.
    require_ascending_timestamps(pd, index.get());
    rt::Ref ticks = rt::attr(index.get(), n_asi8);
    Int64Column times(ticks.get());
    if (!times.usable() || times.size() == 0) return unchanged;
    const auto day_of = [&](std::int64_t tick) { return tick / ticks_per_day - (tick % ticks_per_day < 0 ? 1 : 0); };
    const std::int64_t first_day = day_of(times[0]);
    const std::int64_t last_day = day_of(times[times.size() - 1]);
    if (first_day >= -kNanosecondDays && last_day < kNanosecondDays) return unchanged;
    const std::int64_t middle = first_day / 2 + last_day / 2;
    const std::int64_t cycles = (middle >= 0 ? middle + kCycleDays / 2 : middle - kCycleDays / 2) / kCycleDays;
    const std::int64_t shift_days = cycles * kCycleDays;
    if (first_day - shift_days < -kShiftedDays || last_day - shift_days > kShiftedDays) return unchanged;

    rt::Ref np = rt::global(n_np);
    rt::Ref timedelta64 = rt::attr(np.get(), n_timedelta64);
    rt::Ref days = rt::Ref::steal(PyLong_FromLongLong(shift_days));
    rt::Ref shift = rt::call(timedelta64.get(), days.get(), t_day_unit.get());
    rt::Ref moved = rt::Ref::steal(PyNumber_Subtract(index.get(), shift.get()));
    rt::Ref copy = rt::attr(df, n_copy);
    rt::Ref table = rt::call(copy.get(), rt::kw<"deep">(Py_False));
    rt::set_attr(table.get(), n_index, moved.get());
    return {std::move(table), std::move(shift)};
}

void move_back(PyObject* pd, PyObject* result, PyObject* shift) {
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (!rt::is_instance(result, frame_type.get())) return;
    rt::Ref index = rt::attr(result, n_index);
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (!rt::is_instance(index.get(), datetime_index.get())) return;
    rt::Ref moved = rt::Ref::steal(PyNumber_Add(index.get(), shift));
    rt::set_attr(result, n_index, moved.get());
}

WorkingTable label_through_pandas(PyObject* pd, PyObject* np, PyObject* df, PyObject* window) {
    rt::Ref table = rt::call_method(df, n_copy);

    rt::Ref index = rt::attr(table.get(), n_index);
    RowTimes rows{index, timestamp_at(index.get(), 0), timestamp_at(index.get(), -1)};
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (rt::is_instance(index.get(), datetime_index.get())) {
        read_wall_clock(rows);
    } else {
        convert_long_object_index(pd, rows, window);
    }
    rt::Ref new_time_index = period_starts(pd, np, rows.times.get(), rows.first.get(), rows.last.get(), window);
    rt::set_attr(new_time_index.get(), n_freq, Py_None);

    // Every timestamp maps to the latest period start at or before it. The map is built on the unique
    // timestamps: with repeated ones the look-up below would return a row per pair of equal timestamps.
    rt::Ref series_type = rt::attr(pd, n_Series);
    rt::Ref grid_map = rt::call(series_type.get(), new_time_index.get(), rt::kw<"index">(new_time_index.get()));
    rt::Ref unique_times = rt::call_method(rows.times.get(), n_unique);
    rt::Ref all_times = rt::call_method(unique_times.get(), n_union, new_time_index.get());
    unique_times.reset();
    rt::Ref reindexed = rt::call_method(grid_map.get(), n_reindex, all_times.get());
    grid_map.reset();
    all_times.reset();
    rt::Ref new_time = rt::call_method(reindexed.get(), n_ffill);
    reindexed.reset();

    rt::Ref locator = rt::attr(new_time.get(), n_loc);
    rt::Ref looked_up = rt::item(locator.get(), rows.times.get());
    rt::Ref labels = rt::attr(looked_up.get(), n_values);
    looked_up.reset();
    rt::require(PyObject_SetItem(table.get(), n_group_by_label, labels.get()));
    labels.reset();

    rt::Ref table_index = rt::attr(table.get(), n_index);
    rt::Ref index_col = rt::attr(table_index.get(), n_name);
    rt::Ref working = rt::call_method(table.get(), n_reset_index);
    return {std::move(working), std::move(index_col)};
}

}  // namespace samplers
