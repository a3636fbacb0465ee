#include "handlers.hpp"

#include "names.hpp"

namespace rt {

namespace {

Name n_enter{"__enter__"};
Name n_exit{"__exit__"};

// A special method as the interpreter finds it: on the type, bound to the instance.
Ref lookup_special(PyObject* object, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(object), name);
    if (found == nullptr) return Ref();
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return Ref::borrow(found);
    return Ref::steal(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

}  // namespace

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

HandledError::HandledError(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) throw PyError{};
    PyObject* fetched_type;
    PyObject* fetched_value;
    PyObject* fetched_traceback;
    PyErr_Fetch(&fetched_type, &fetched_value, &fetched_traceback);
    PyErr_NormalizeException(&fetched_type, &fetched_value, &fetched_traceback);
    type_ = Ref::steal_or_null(fetched_type);  // replaced below by the instance's own class
    value_ = Ref::steal_or_null(fetched_value);
    traceback_ = Ref::steal_or_null(fetched_traceback);
    // `except` sees the instance's own class, and the handled state keeps the traceback on the instance.
    type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value_.get())));
    if (traceback_) PyException_SetTraceback(value_.get(), traceback_.get());

    outer_ = Ref::steal_or_null(PyErr_GetHandledException());
    PyErr_SetHandledException(value_.get());
}

HandledError::~HandledError() { PyErr_SetHandledException(outer_.get()); }

void HandledError::reraise() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw PyError{};
}

ContextManager::ContextManager(PyObject* manager) {
    Ref enter = lookup_special(manager, n_enter);
    if (!enter) {
        raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
    }
    exit_ = lookup_special(manager, n_exit);
    if (!exit_) {
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
    }
    entered_ = Ref::steal(PyObject_CallNoArgs(enter.get()));
}

void ContextManager::exit_normally() {
    PyObject* arguments[] = {Py_None, Py_None, Py_None};
    (void)Ref::steal(PyObject_Vectorcall(exit_.get(), arguments, 3, nullptr));
}

bool ContextManager::exit_with(const HandledError& error) {
    PyObject* arguments[] = {error.type(), error.value(), error.traceback()};
    Ref result = Ref::steal(PyObject_Vectorcall(exit_.get(), arguments, 3, nullptr));
    return require(PyObject_IsTrue(result.get())) != 0;
}

}  // namespace rt
