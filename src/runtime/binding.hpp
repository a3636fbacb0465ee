// Internals shared by the function object and its argument binder.
#pragma once

#include "function.hpp"

namespace rt {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names[kMaxParams];  // interned
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* annotations;
    PyObject* dict;
    PyObject* code;  // built on first request
    PyObject* defining_class;
    PyObject* weakrefs;
};

inline Py_ssize_t function_default_count(const FunctionObject* function) noexcept {
    return PyTuple_Check(function->defaults) ? PyTuple_GET_SIZE(function->defaults) : 0;
}

struct Binder {
    // Binds a vectorcall argument vector to the function's parameters, fills defaults, applies the entry
    // checks in parameter order; throws PyError with the interpreter's wording on a wrong call.
    static void bind(FunctionObject* function, Args& args, PyObject* const* positional, std::size_t nargsf,
                     PyObject* kwnames);

private:
    static void fill_defaults(FunctionObject* function, Args& args);
};

}  // namespace rt
