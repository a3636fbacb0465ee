#include "calls.hpp"

#include <algorithm>
#include <cstring>

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

Ref join_texts(std::span<PyObject* const> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    Py_ssize_t index = 0;
    for (PyObject* part : parts) {
        if (!PyUnicode_Check(part)) {
            raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                         Py_TYPE(part)->tp_name);
        }
        length += PyUnicode_GET_LENGTH(part);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(part));
        ++index;
    }
    Ref joined = Ref::steal(PyUnicode_New(length, widest));
    // The result is fresh and of the widest kind: a part of that kind is copied as bytes, a narrower one
    // is widened by the interpreter.
    const int kind = PyUnicode_KIND(joined.get());
    char* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(part), static_cast<std::size_t>(size) * kind);
        } else if (PyUnicode_CopyCharacters(joined.get(), at, part, 0, size) < 0) {
            raise_pending();
        }
        at += size;
    }
    return joined;
}

Ref list_of(std::initializer_list<PyObject*> items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), index++, Py_NewRef(item));
    return list;
}

Ref super_call_vector(PyObject* defining_class, PyObject* self, PyObject* name, PyObject* const* args,
                      std::size_t positional, PyObject* kwnames) {
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

Ref dict_pop(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr) {
        if (PyErr_Occurred()) raise_pending();
        // Wrapped as dict.pop wraps it, so that a tuple key stays one argument of the KeyError.
        Ref arguments = Ref::steal(PyTuple_Pack(1, key));
        raise(PyExc_KeyError, arguments.get());
    }
    Ref value = Ref::borrow(found);
    require(PyDict_DelItem(dict, key));
    return value;
}

void raise_format(PyObject* type, const char* format, ...) {
    check_lock_held();
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PyError{};
}

bool asserts_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) raise(PyExc_RuntimeError, "lost sys.flags");
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    const long level = PyLong_AsLong(optimize.get());
    if (level == -1 && PyErr_Occurred()) raise_pending();
    return level == 0;
}

}  // namespace rt
