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

// The timestamps of a datetime index as int64 instants (UTC for an aware index, so that a wall clock
// turned back by a time-zone change is still in order).
rt::Ref instants(PyObject* index) {
    rt::Ref stamps = rt::attr(index, n_asi8);
    if (!Int64Column(stamps.get()).usable()) rt::raise(PyExc_SystemError, "unexpected layout of datetime index values");
    return stamps;
}

// NaT sorts below every timestamp: an index that starts with one and never descends has none.
template <typename Pass>
bool in_order(const Int64Column& times, const Pass& never_descending) {
    return times.size() == 0 || (times[0] != kNaT && never_descending(times));
}

// Refuses the index at its first row out of order or holding NaT (none where the timestamps changed
// since a pass found one).
void refuse_out_of_order(PyObject* index, const Int64Column& times) {
    const Py_ssize_t count = times.size();
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::int64_t current = times[i];
        if (current == kNaT) refuse_nat(i);
        if (i > 0 && current < times[i - 1]) refuse_backwards(index, i);
    }
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
    rt::Ref stamps = instants(index);
    Int64Column times(stamps.get());
    {
        ReleasedGil released;
        if (in_order(times, [](const Int64Column& column) { return never_descends(column); })) return;
    }
    refuse_out_of_order(index, times);
}

AscendingCheckInBackground::AscendingCheckInBackground(PyObject* pd, PyObject* index)
    : pd_(pd), index_(index), stamps_(instants(index)), times_(stamps_.get()) {
    // A short index is checked at once; where the system refuses a thread, too.
    const auto pass = [this] {
        ascends_ =
            in_order(times_, [](const Int64Column& times) { return never_descends_between(times, 1, times.size()); });
    };
    if (times_.size() < (Py_ssize_t{1} << 17)) {
        pass();
        return;
    }
    try {
        pass_ = std::thread(pass);
    } catch (const std::system_error&) {
        pass();
    }
}

AscendingCheckInBackground::~AscendingCheckInBackground() { wait(); }

void AscendingCheckInBackground::wait() {
    if (!pass_.joinable()) return;
    ReleasedGil released;
    pass_.join();
}

void AscendingCheckInBackground::require() {
    wait();
    if (!ascends_) require_ascending_timestamps(pd_, index_);  // finds the position and refuses
}

void require_ascending_index(PyObject* pd, PyObject* table) {
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    rt::Ref series_type = rt::attr(pd, n_Series);
    if (!rt::is_instance(table, frame_type.get()) && !rt::is_instance(table, series_type.get())) return;
    rt::Ref index = rt::attr(table, n_index);
    require_ascending_timestamps(pd, index.get());
}

}  // namespace samplers
