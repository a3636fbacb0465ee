#include "notes.hpp"

#include "calls.hpp"

namespace rt {

namespace {

Name n_add_note{"add_note"};

}  // namespace

void add_note(PyObject* exception, PyObject* note) { (void)call_method(exception, n_add_note, note); }

}  // namespace rt
