// Exception handlers and `with` blocks with the interpreter's own semantics.
//
// The one way native code handles a Python exception is `catch (const rt::PyError&)` with a
// `HandledError` inside, which does what an `except SomeType as error:` clause does: it takes the
// exception only if it is an instance of the given type, and while it lives the exception is the one
// "being handled", so `sys.exc_info()` sees it and an error raised by the handler gets it as `__context__`.
// `suppress` and `best_effort` are that idiom for the two handlers that do nothing but go on.
#pragma once

#include "ref.hpp"

namespace rt {

class HandledError {
public:
    // Call inside `catch (const PyError&)`. Takes the pending exception when it is an instance of
    // `type`; otherwise leaves it pending and throws PyError again (the clause does not match).
    explicit HandledError(PyObject* type);
    ~HandledError();
    HandledError(const HandledError&) = delete;
    HandledError& operator=(const HandledError&) = delete;

    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    // The traceback, or None.
    PyObject* traceback() const noexcept { return traceback_ ? traceback_.get() : Py_None; }

    // A bare `raise` in the handler: the exception propagates again, traceback kept.
    [[noreturn]] void reraise();

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
    Ref outer_;  // the exception handled around this handler, restored when it ends
};

// `try: body() except type: pass`: true when the body completed, false when it raised an instance of
// `type` (now discarded); any other exception propagates.
template <typename Body>
[[nodiscard]] bool suppress(PyObject* type, Body&& body) {
    try {
        body();
        return true;
    } catch (const PyError&) {
        HandledError discarded(type);
        return false;
    }
}

// Makes the exception now pending the one reported in place of the exception given by its three
// references (taken over), which becomes its context, as an exception raised in an `except` clause does.
void supersede(PyObject* type, PyObject* value, PyObject* traceback) noexcept;

// Cleanup while an error is pending, which must not change the outcome: the pending exception is kept
// aside while the body runs, and what the body raises (an Exception, or a C++ failure such as bad_alloc)
// is discarded. Only an interrupt or an exit is reported in place of the pending exception, as one raised
// by an `except` clause's cleanup would be.
template <typename Body>
void best_effort(Body&& body) noexcept {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        (void)suppress(PyExc_Exception, body);
    } catch (const PyError&) {
        if (type != nullptr) {
            PyErr_NormalizeException(&type, &value, &traceback);
            supersede(type, value, traceback);
            return;
        }
        PyErr_Clear();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// A manager entered by a `with` statement: its `__enter__` and `__exit__` looked up on its type as the
// statement does. `with_block` below runs a body between them.
class ContextManager {
public:
    explicit ContextManager(PyObject* manager);  // looks up __enter__ and __exit__, calls __enter__
    PyObject* entered() const noexcept { return entered_.get(); }
    void exit_normally();
    // Passes the handled exception to __exit__; true when __exit__ asks to swallow it.
    bool exit_with(const HandledError& error);

private:
    Ref exit_;
    Ref entered_;
};

// `with manager as entered: body(entered)`. Returns false when the body raised and `__exit__` swallowed
// the exception (execution continues after the block), true when the body completed.
template <typename Body>
bool with_block(PyObject* manager, Body&& body) {
    ContextManager context(manager);
    try {
        body(context.entered());
    } catch (const PyError&) {
        HandledError error(PyExc_BaseException);
        if (context.exit_with(error)) return false;
        error.reraise();
    }
    context.exit_normally();
    return true;
}

}  // namespace rt
