// Reading datetime64 indexes as int64 ticks, shared by the two ways rows are labelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "names.hpp"
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
