// A buffer-protocol view held for a scope: native loops read and write the memory of numpy arrays
// through it without a copy, and the exporter is released on every exit.
#pragma once

#include "ref.hpp"

namespace rt {

class Buffer {
public:
    // PyObject_GetBuffer with `flags` (PyBUF_*); throws PyError (BufferError) when refused.
    Buffer(PyObject* exporter, int flags) { require(PyObject_GetBuffer(exporter, &view_, flags)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void* data() const noexcept { return view_.buf; }
    Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
    int ndim() const noexcept { return view_.ndim; }
    // Elements along the first axis.
    Py_ssize_t length() const noexcept { return view_.ndim == 0 ? 1 : view_.shape[0]; }
    // Bytes between elements along the first axis (requested with PyBUF_STRIDES, else contiguous).
    Py_ssize_t stride() const noexcept { return view_.strides != nullptr ? view_.strides[0] : view_.itemsize; }
    // The struct-module format, "B" when not requested with PyBUF_FORMAT.
    const char* format() const noexcept { return view_.format != nullptr ? view_.format : "B"; }

private:
    Py_buffer view_;
};

}  // namespace rt
