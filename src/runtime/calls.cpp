#include "calls.hpp"

#include "module.hpp"

namespace rt {

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(module_globals(), name);
    if (found == nullptr) {
        if (PyErr_Occurred()) raise_pending();
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (found == nullptr) {
            if (PyErr_Occurred()) raise_pending();
            raise_format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(found);
}

Ref text_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

Ref join_texts(std::initializer_list<PyObject*> parts) {
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t index = 0;
    for (PyObject* part : parts) PyList_SET_ITEM(list.get(), index++, Py_NewRef(part));
    return Ref::steal(PyUnicode_Join(empty.get(), list.get()));
}

Ref vectorcall(PyObject* callable, PyObject* const* args, std::size_t count, PyObject* kwnames) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, args, count - static_cast<std::size_t>(keywords), kwnames));
}

Ref super_call_vector(PyObject* defining_class, PyObject* self, PyObject* name, PyObject* const* args,
                      std::size_t count, PyObject* kwnames) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* mro = type->tp_mro;
    const Py_ssize_t length = mro != nullptr ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t start = 0;
    while (start < length && PyTuple_GET_ITEM(mro, start) != defining_class) ++start;
    if (start == length) raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");

    // Hold the MRO: a class body may be replaced while the found attribute is being called.
    Ref held_mro = Ref::borrow(mro);
    for (Py_ssize_t i = start + 1; i < length; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found == nullptr) {
            if (PyErr_Occurred()) raise_pending();
            continue;
        }
        Ref attribute = Ref::borrow(found);
        const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        const std::size_t positional = count - static_cast<std::size_t>(keywords);
        if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            return Ref::steal(PyObject_Vectorcall(found, args, positional, kwnames));
        }
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (get != nullptr) {
            attribute = Ref::steal(get(found, self, reinterpret_cast<PyObject*>(type)));
        }
        return Ref::steal(PyObject_Vectorcall(attribute.get(), args + 1, positional - 1, kwnames));
    }
    raise_format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
}

Ref dict_pop(PyObject* dict, PyObject* key, PyObject* fallback) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr) {
        if (PyErr_Occurred()) raise_pending();
        return Ref::borrow(fallback);
    }
    Ref value = Ref::borrow(found);
    require(PyDict_DelItem(dict, key));
    return value;
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PyError{};
}

}  // namespace rt
