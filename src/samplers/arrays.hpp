// Fresh numpy arrays that native loops fill: `np.empty(shape, dtype)` and the memory behind it, which
// numpy keeps where it is for as long as the array is referenced.
#pragma once

#include <cstdint>

#include "names.hpp"
#include "runtime/buffer.hpp"
#include "runtime/calls.hpp"

namespace samplers {

inline rt::Ref new_array(PyObject* np, PyObject* shape, PyObject* dtype) {
    rt::Ref empty = rt::attr(np, n_empty);
    return rt::call(empty.get(), shape, dtype);
}

// The data of a fresh C-contiguous array, writable.
inline void* array_data(PyObject* array) {
    rt::Buffer view(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    return view.data();
}

// `np.empty(count, "int64")`, written by `fill(std::int64_t* out)` before anyone else sees it.
template <typename Fill>
rt::Ref new_int64_array(PyObject* np, Py_ssize_t count, Fill&& fill) {
    rt::Ref length = rt::Ref::steal(PyLong_FromSsize_t(count));
    rt::Ref array = new_array(np, length.get(), n_int64);
    rt::Buffer out(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (out.itemsize() != 8 || out.length() != count) rt::raise(PyExc_SystemError, "unexpected int64 array layout");
    fill(static_cast<std::int64_t*>(out.data()));
    return array;
}

}  // namespace samplers
