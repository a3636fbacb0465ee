// Owning references and the one way errors cross between C++ and the interpreter.
//
// A `Ref` owns exactly one strong reference (or none). Plain `PyObject*` in this code base always means a
// borrowed reference that must not outlive its owner. Any C API call that reports failure is wrapped in
// `require`, which throws `PyError`; the entry points (function calls, module start-up) catch it and hand
// the pending Python exception back to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace rt {

// Thrown when a Python exception is set and the current operation must unwind. Checked builds (debug
// builds, and the sanitizer build, which defines NORVANE_CHECKED) stop the process at the throw when no
// exception is pending or the interpreter lock is not held: either fault would otherwise surface far
// away, as a SystemError or a crash, or not at all.
#if defined(NORVANE_CHECKED) || !defined(NDEBUG)
inline void check_lock_held() noexcept {
    if (!PyGILState_Check()) Py_FatalError("a Python error raised without the interpreter lock held");
}
#else
inline void check_lock_held() noexcept {}
#endif

struct PyError {
#if defined(NORVANE_CHECKED) || !defined(NDEBUG)
    PyError() noexcept {
        check_lock_held();
        if (PyErr_Occurred() == nullptr) Py_FatalError("rt::PyError thrown with no Python exception set");
    }
#endif
};

[[noreturn]] inline void raise_pending() { throw PyError{}; }

// Sets a Python exception and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    check_lock_held();
    PyErr_SetString(type, message);
    throw PyError{};
}

// Sets a Python exception whose argument is an object (a computed message, a missing key) and unwinds.
[[noreturn]] inline void raise(PyObject* type, PyObject* message) {
    check_lock_held();
    PyErr_SetObject(type, message);
    throw PyError{};
}

// Sets a Python exception without arguments (`raise AssertionError`) and unwinds.
[[noreturn]] inline void raise(PyObject* type) {
    check_lock_held();
    PyErr_SetNone(type);
    throw PyError{};
}

[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

[[nodiscard]] inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw PyError{};
    return result;
}

inline int require(int status) {
    if (status < 0) throw PyError{};
    return status;
}

// Every way to make or hand over a reference is [[nodiscard]]: with -Werror a dropped result (a leak, or
// an unchecked call) does not compile; a result dropped on purpose says so with `(void)`.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference returned by the C API; a null result means an exception is pending.
    [[nodiscard]] static Ref steal(PyObject* ptr) { return Ref(require(ptr)); }
    // Takes over a new reference that may legitimately be null (no exception implied).
    [[nodiscard]] static Ref steal_or_null(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a strong reference to a borrowed one.
    [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to a caller that steals it (a C API "new reference" return).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// Keeps the current exception aside while cleanup code calls into the interpreter.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() { PyErr_Restore(type_, value_, traceback_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// Runs an entry point body and converts a thrown PyError (or a C++ failure) into the interpreter's
// convention: null result with an exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in native code");
        return nullptr;
    }
}

}  // namespace rt
