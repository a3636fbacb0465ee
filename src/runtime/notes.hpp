// Notes on exceptions (`BaseException.add_note`): telling a user more about a failure while its type and
// message, which callers match on, stay exactly as raised.
#pragma once

#include <exception>

#include "ref.hpp"

namespace rt {

// Adds `note` (a str) to the notes of `exception`.
void add_note(PyObject* exception, PyObject* note);

// Adds the text that `compose()` returns (a Ref to a str) to the pending exception, which stays pending.
// Best effort: if composing or attaching fails, that failure is dropped and the pending exception is
// reported as it was.
template <typename Compose>
void note_pending(Compose&& compose) noexcept {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    try {
        Ref note = compose();
        add_note(value, note.get());
    } catch (const PyError&) {
        PyErr_Clear();
    } catch (const std::exception&) {
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace rt
