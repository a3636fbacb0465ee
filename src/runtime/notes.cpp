#include "notes.hpp"

#include "calls.hpp"

namespace rt {

namespace {

Name n_add_note{"add_note"};

}  // namespace

void add_note(PyObject* exception, PyObject* note) { (void)call_method(exception, n_add_note, note); }

void supersede(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    const Ref replaced_type = Ref::steal_or_null(type);
    Ref replaced = Ref::steal_or_null(value);
    const Ref replaced_traceback = Ref::steal_or_null(traceback);
    if (replaced_traceback) PyException_SetTraceback(replaced.get(), replaced_traceback.get());
    PyObject* new_type;
    PyObject* new_value;
    PyObject* new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    if (new_traceback != nullptr) PyException_SetTraceback(new_value, new_traceback);
    if (replaced && replaced.get() != new_value) PyException_SetContext(new_value, replaced.release());
    PyErr_Restore(new_type, new_value, new_traceback);
}

}  // namespace rt
