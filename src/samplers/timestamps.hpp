// Reading datetime64 indexes as int64 ticks, shared by the two ways rows are labelled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "names.hpp"
#include "parallel.hpp"
#include "runtime/buffer.hpp"
#include "runtime/calls.hpp"

namespace samplers {

inline constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// Nanoseconds per step of a numpy datetime64 dtype (its `.str`, "<M8[us]"), 0 for any other dtype.
inline std::int64_t nanoseconds_per_tick(PyObject* dtype) {
    rt::Ref dtype_text = rt::attr(dtype, n_str);
    if (!PyUnicode_Check(dtype_text.get())) return 0;
    const char* text = PyUnicode_AsUTF8(dtype_text.get());
    if (text == nullptr) rt::raise_pending();
    if (std::strcmp(text, "<M8[ns]") == 0) return 1;
    if (std::strcmp(text, "<M8[us]") == 0) return 1'000;
    if (std::strcmp(text, "<M8[ms]") == 0) return 1'000'000;
    if (std::strcmp(text, "<M8[s]") == 0) return 1'000'000'000;
    return 0;
}

// A one-dimensional run of int64 values read through the buffer protocol, contiguous or strided.
class Int64Column {
public:
    explicit Int64Column(PyObject* array) : buffer_(array, PyBUF_STRIDES | PyBUF_FORMAT) {}

    bool usable() const {
        const char* format = buffer_.format();
        if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
        return buffer_.ndim() == 1 && buffer_.itemsize() == 8 &&
               (std::strcmp(format, "l") == 0 || std::strcmp(format, "q") == 0);
    }
    Py_ssize_t size() const { return buffer_.length(); }
    const char* data() const { return static_cast<const char*>(buffer_.data()); }
    Py_ssize_t stride() const { return buffer_.stride(); }
    std::int64_t operator[](Py_ssize_t i) const {
        std::int64_t value;
        std::memcpy(&value, static_cast<const char*>(buffer_.data()) + i * buffer_.stride(), sizeof value);
        return value;
    }

private:
    rt::Buffer buffer_;
};

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

// Walks ascending timestamps (in nanoseconds) through consecutive periods of `step` laid from
// `first_start`, telling when a timestamp enters a later period and where that period starts.
// Arithmetic is unsigned: the distance from a pre-1970 start to a late timestamp exceeds int64, and
// timestamps that were checked but changed since (an index's data is writable, and other threads run
// while the interpreter lock is released) must not make it undefined; their periods are then as wrong
// as the timestamps themselves.
class PeriodCursor {
public:
    PeriodCursor(std::int64_t first_start, std::int64_t step)
        : origin_(static_cast<std::uint64_t>(first_start)),
          step_(step),
          start_(first_start),
          next_(after(first_start)) {}

    // Moves to the period holding `time`; true when that is another period than the current one (a
    // later one, unless the timestamps go backwards, as a wall clock turned back does).
    bool enters_new_period(std::int64_t time) {
        if (time < next_ && time >= start_) return false;
        const auto length = static_cast<std::uint64_t>(step_);
        const std::uint64_t periods = (static_cast<std::uint64_t>(time) - origin_) / length;
        const std::int64_t previous = start_;
        start_ = static_cast<std::int64_t>(origin_ + periods * length);
        next_ = after(start_);
        return start_ != previous;  // the last period may end at the largest timestamp itself
    }
    std::int64_t start() const { return start_; }
    // The first timestamp past the current period (the largest timestamp when that is beyond int64).
    std::int64_t next_start() const { return next_; }

private:
    std::int64_t after(std::int64_t start) const {
        return start > std::numeric_limits<std::int64_t>::max() - step_ ? std::numeric_limits<std::int64_t>::max()
                                                                        : start + step_;
    }

    std::uint64_t origin_;
    std::int64_t step_;
    std::int64_t start_;
    std::int64_t next_;
};

// A row's timestamp in nanoseconds, wrapping rather than overflowing (see PeriodCursor).
inline std::int64_t wrapped_nanoseconds(std::int64_t ticks, std::int64_t nanoseconds_per) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(ticks) * static_cast<std::uint64_t>(nanoseconds_per));
}

}  // namespace samplers
