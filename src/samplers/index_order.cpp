// The order of an index's timestamps (see index_order.hpp).
#include "index_order.hpp"

#include "names.hpp"
#include "parallel.hpp"

namespace samplers {

namespace {

[[noreturn]] void refuse_nat(Py_ssize_t position) {
    rt::raise_format(PyExc_ValueError, "the index must be ascending without missing timestamps: position %zd holds NaT",
                     position);
}

[[noreturn]] void refuse_backwards(PyObject* index, Py_ssize_t position) {
    rt::Ref earlier = timestamp_at(index, position);
    rt::Ref later = timestamp_at(index, position - 1);
    rt::raise_format(PyExc_ValueError,
                     "the index must be ascending without missing timestamps: position %zd (%S) is earlier than "
                     "position %zd (%S)",
                     position, earlier.get(), position - 1, later.get());
}

}  // namespace

std::optional<TimeSpan> span_without_nat(const Int64Column& times) {
    const Py_ssize_t count = times.size();
    if (count == 0) return std::nullopt;
    ReleasedGil released;
    if (times[0] != kNaT && never_descends(times)) return TimeSpan{0, count - 1, true};  // NaT sorts below all
    TimeSpan span{0, 0, false};
    std::int64_t lowest = times[0];
    std::int64_t highest = lowest;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::int64_t current = times[i];
        if (current == kNaT) return std::nullopt;
        if (current < lowest) {
            lowest = current;
            span.earliest = i;
        }
        if (current >= highest) {
            highest = current;
            span.latest = i;
        }
    }
    return span;
}

rt::Ref timestamp_at(PyObject* index, Py_ssize_t position) {
    rt::Ref key = rt::Ref::steal(PyLong_FromSsize_t(position));
    return rt::item(index, key.get());
}

void require_ascending_timestamps(PyObject* pd, PyObject* index) {
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (!rt::is_instance(index, datetime_index.get())) return;
    // asi8 holds instants (UTC for an aware index), so a wall clock turned back by a time-zone change
    // is still in order.
    rt::Ref stamps = rt::attr(index, n_asi8);
    Int64Column times(stamps.get());
    if (!times.usable()) rt::raise(PyExc_SystemError, "unexpected layout of datetime index values");
    const Py_ssize_t count = times.size();
    {
        // NaT sorts below every timestamp: an index that starts with one and never descends has none.
        ReleasedGil released;
        if (count == 0 || (times[0] != kNaT && never_descends(times))) return;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::int64_t current = times[i];
        if (current == kNaT) refuse_nat(i);
        if (i > 0 && current < times[i - 1]) refuse_backwards(index, i);
    }
}

void require_ascending_index(PyObject* pd, PyObject* table) {
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    rt::Ref series_type = rt::attr(pd, n_Series);
    if (!rt::is_instance(table, frame_type.get()) && !rt::is_instance(table, series_type.get())) return;
    rt::Ref index = rt::attr(table, n_index);
    require_ascending_timestamps(pd, index.get());
}

}  // namespace samplers
