// Notes on exceptions (`BaseException.add_note`): telling a user more about a failure while its type and
// message, which callers match on, stay exactly as raised.
#pragma once

#include "handlers.hpp"
#include "ref.hpp"

namespace rt {

// Adds `note` (a str) to the notes of `exception`.
void add_note(PyObject* exception, PyObject* note);

// Adds the text that `compose()` returns (a Ref to a str) to the pending exception, which stays pending.
// Best effort: if composing or attaching fails, that failure is dropped and the pending exception is
// reported as it was; only an interrupt or an exit raised meanwhile is reported in its place.
template <typename Compose>
void note_pending(Compose&& compose) noexcept {
    // Normalised, so that the pending exception is an instance a note can be added to; `best_effort` holds
    // it aside, and alive, while the note is composed.
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Restore(type, value, traceback);
    best_effort([&] {
        Ref note = compose();
        add_note(value, note.get());
    });
}

// `rt::raise(type, message)` (`rt::raise(type)` when `message` is null) with the note `compose()` returns.
template <typename Compose>
[[noreturn]] void raise_noted(PyObject* type, PyObject* message, Compose&& compose) {
    if (message != nullptr) {
        PyErr_SetObject(type, message);
    } else {
        PyErr_SetNone(type);
    }
    note_pending(compose);
    throw PyError{};
}

// Runs `body`; when it raises, the note `compose()` returns is added to the exception, which propagates
// with its type and message unchanged.
template <typename Compose, typename Body>
decltype(auto) noting(Compose&& compose, Body&& body) {
    try {
        return body();
    } catch (const PyError&) {
        note_pending(compose);
        throw;
    }
}

// The same, noting only an exception that is an instance of `type`.
template <typename Compose, typename Body>
decltype(auto) noting_if(PyObject* type, Compose&& compose, Body&& body) {
    try {
        return body();
    } catch (const PyError&) {
        if (PyErr_ExceptionMatches(type)) note_pending(compose);
        throw;
    }
}

}  // namespace rt
