// Exception handlers and `with` blocks with the interpreter's own semantics.
//
// Native code catches a Python exception as `catch (const rt::PyError&)`; inside that block a
// `HandledError` does what an `except SomeType as error:` clause does: it takes the exception only if it
// is an instance of the given type, and while it lives the exception is the one "being handled", so
// `sys.exc_info()` sees it and an error raised by the handler gets it as `__context__`.
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

// `with manager as entered: body(entered)`, the special methods looked up on the manager's type as the
// statement does. Returns false when the body raised and `__exit__` swallowed the exception (execution
// continues after the block), true when the body completed.
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
