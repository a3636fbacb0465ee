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

    // The common call of a hot method, every argument given by position and no keyword catch-all, bound
    // without entering the general binder. False when the call needs the general binder.
    static bool bind_positional(FunctionObject* function, Args& args, PyObject* const* positional, std::size_t nargsf,
                                PyObject* kwnames) {
        const FunctionSpec& spec = *function->spec;
        const std::size_t declared = spec.params.size();
        if (kwnames != nullptr || static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) != declared ||
            spec.varkw != nullptr) {
            return false;
        }
        args.function_ = function;
        for (std::size_t i = 0; i < declared; ++i) {
            PyObject* value = positional[i];
            args.values_[i] = value;
            const Check check = spec.params[i].check;
            if (check == Check::Any) continue;
            if (check == Check::Float && PyFloat_CheckExact(value)) {
                args.reals_[i] = PyFloat_AS_DOUBLE(value);
                continue;
            }
            apply_check(spec.params[i], args, i);
        }
        return true;
    }

private:
    static void fill_defaults(FunctionObject* function, Args& args);
    static void apply_check(const Param& param, Args& args, std::size_t index);
};

}  // namespace rt
