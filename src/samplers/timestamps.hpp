// Reading datetime64 indexes as int64 ticks, shared by the two ways rows are labelled.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "runtime/buffer.hpp"

namespace samplers {

inline constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// Nanoseconds per step of a numpy datetime64 dtype text ("<M8[us]"), 0 for any other dtype.
inline std::int64_t nanoseconds_per_tick(PyObject* dtype_text) {
    if (!PyUnicode_Check(dtype_text)) return 0;
    const char* text = PyUnicode_AsUTF8(dtype_text);
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
    std::int64_t operator[](Py_ssize_t i) const {
        std::int64_t value;
        std::memcpy(&value, static_cast<const char*>(buffer_.data()) + i * buffer_.stride(), sizeof value);
        return value;
    }

private:
    rt::Buffer buffer_;
};

}  // namespace samplers
