// The element types that native passes read and write, shared by the samplers and the bars: how a numpy
// dtype names one and how big its items are.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "names.hpp"
#include "runtime/calls.hpp"

namespace samplers {

enum class ValueKind { Float64, Float32, Int64, Int32, Bool };

constexpr std::size_t item_size(ValueKind kind) {
    switch (kind) {
        case ValueKind::Float64:
        case ValueKind::Int64:
            return 8;
        case ValueKind::Float32:
        case ValueKind::Int32:
            return 4;
        case ValueKind::Bool:
            return 1;
    }
    __builtin_unreachable();
}

// The kind of a numpy dtype in native byte order, or nothing for any other dtype.
inline std::optional<ValueKind> value_kind(PyObject* np, PyObject* dtype) {
    rt::Ref numpy_dtype = rt::attr(np, n_dtype);
    if (!rt::is_instance(dtype, numpy_dtype.get())) return std::nullopt;
    rt::Ref text = rt::attr(dtype, n_str);
    if (!PyUnicode_Check(text.get())) return std::nullopt;
    const char* code = PyUnicode_AsUTF8(text.get());
    if (code == nullptr) rt::raise_pending();
    const std::string_view name(code);
    if (name == "<f8") return ValueKind::Float64;
    if (name == "<f4") return ValueKind::Float32;
    if (name == "<i8") return ValueKind::Int64;
    if (name == "<i4") return ValueKind::Int32;
    if (name == "|b1") return ValueKind::Bool;
    return std::nullopt;
}

// The numpy dtype name of a kind, as np.empty takes it.
inline PyObject* dtype_name(ValueKind kind) {
    switch (kind) {
        case ValueKind::Float64:
            return n_float64;
        case ValueKind::Float32:
            return n_float32;
        case ValueKind::Int64:
            return n_int64;
        case ValueKind::Int32:
            return n_int32;
        case ValueKind::Bool:
            return n_bool;
    }
    __builtin_unreachable();
}

}  // namespace samplers
