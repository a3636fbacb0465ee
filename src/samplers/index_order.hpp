// The order of an index's timestamps, checked here and nowhere else. The sampler reads its table as a
// time line: the grid is laid from the first to the last timestamp and each row is labelled by where it
// falls. Rows out of order or without a timestamp would be labelled outside the grid and vanish from the
// result without a word, so such an index is refused (index_order.cpp). Passes that read the
// timestamps anyway check the order as they go (AscendingScan), so that they come from memory once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "parallel.hpp"
#include "runtime/runtime.hpp"
#include "timestamps.hpp"

namespace samplers {

#if defined(__x86_64__)
// Whether `count` contiguous int64 values never descend, four comparisons per instruction; the caller
// checks that the processor has AVX2.
__attribute__((target("avx2"))) inline bool never_descends_avx2(const std::int64_t* values, std::ptrdiff_t count) {
    std::ptrdiff_t i = 1;
    while (i + 4 <= count) {
        // A block of rows at a time without a branch per row, then one test for the block.
        const std::ptrdiff_t block_end = std::min<std::ptrdiff_t>(count, i + 4096);
        __m256i descends = _mm256_setzero_si256();
        for (; i + 4 <= block_end; i += 4) {
            const __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i - 1));
            const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i));
            descends = _mm256_or_si256(descends, _mm256_cmpgt_epi64(previous, current));
        }
        if (!_mm256_testz_si256(descends, descends)) return false;
    }
    for (; i < count; ++i) {
        if (values[i] < values[i - 1]) return false;
    }
    return true;
}
#endif

// Whether no timestamp of rows [first, end) is earlier than the row before it.
inline bool never_descends_between(const Int64Column& times, Py_ssize_t first, Py_ssize_t end) {
    first = std::max<Py_ssize_t>(first, 1);
    if (end <= first) return true;
#if defined(__x86_64__)
    if (times.stride() == sizeof(std::int64_t) && __builtin_cpu_supports("avx2")) {
        return never_descends_avx2(reinterpret_cast<const std::int64_t*>(times.data()) + first - 1, end - first + 1);
    }
#endif
    for (Py_ssize_t i = first; i < end; ++i) {
        if (times[i] < times[i - 1]) return false;
    }
    return true;
}

// Whether a column of timestamps never descends. A long column is read in two halves at once: the pass is
// bound by how fast one core reads memory.
inline bool never_descends(const Int64Column& times) {
    constexpr Py_ssize_t kRowsWorthThreads = Py_ssize_t{1} << 18;
    const Py_ssize_t count = times.size();
    if (count < kRowsWorthThreads) return never_descends_between(times, 1, count);
    const Py_ssize_t middle = count / 2;
    bool ascends[2];
    run_tasks(2, true, [&](std::size_t half) {
        ascends[half] =
            half == 0 ? never_descends_between(times, 1, middle) : never_descends_between(times, middle, count);
    });
    return ascends[0] && ascends[1];
}

// Checks the order of a column of timestamps a stretch ahead of a pass that walks them in order: the
// walk then finds the checked rows in the cache.
class AscendingScan {
public:
    explicit AscendingScan(const Int64Column& times) : times_(times) {}

    // Whether rows up to `end` (and a stretch past it) never descend.
    bool ascends_until(std::int64_t end) {
        constexpr std::int64_t kCheckedAhead = 2048;
        const std::int64_t rows = times_.size();
        if (end <= checked_) return true;
        end = std::min(rows, std::max(end, checked_ + kCheckedAhead));
        if (!never_descends_between(times_, checked_, end)) return false;
        checked_ = end;
        return true;
    }

private:
    const Int64Column& times_;
    std::int64_t checked_ = 1;  // rows before this one never descend
};

// Positions of the earliest and the latest time of a column, and whether it never descends; nothing for
// an empty column or one holding NaT.
struct TimeSpan {
    Py_ssize_t earliest;
    Py_ssize_t latest;
    bool ascending;
};
std::optional<TimeSpan> span_without_nat(const Int64Column& times);

// A datetime index whose timestamps (instants, for an aware index) go backwards or hold NaT is refused
// with ValueError naming the first such position; other indexes pass. The first form takes the table.
void require_ascending_index(PyObject* pd, PyObject* table);
void require_ascending_timestamps(PyObject* pd, PyObject* index);

// require_ascending_timestamps with its pass over the timestamps on a thread of its own, started by the
// constructor, so that the caller goes on meanwhile with work that needs the interpreter. `require()` waits
// for the pass and refuses the index as require_ascending_timestamps does; the destructor waits for it too.
// `index` must be a DatetimeIndex; it and `pd` must outlive the check.
class AscendingCheckInBackground {
public:
    AscendingCheckInBackground(PyObject* pd, PyObject* index);
    ~AscendingCheckInBackground();
    AscendingCheckInBackground(const AscendingCheckInBackground&) = delete;
    AscendingCheckInBackground& operator=(const AscendingCheckInBackground&) = delete;

    void require();

private:
    void wait();

    PyObject* pd_;
    PyObject* index_;
    rt::Ref stamps_;
    Int64Column times_;
    std::thread pass_;
    bool ascends_ = true;
};

// `index[position]` as the index gives it (a negative position counts from the end).
rt::Ref timestamp_at(PyObject* index, Py_ssize_t position);

}  // namespace samplers
