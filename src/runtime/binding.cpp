// Argument binding with the interpreter's own rules and wording for functions written in Python.
#include <cstring>

#include "binding.hpp"

namespace rt {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
Ref quoted_name_list(const FunctionSpec& spec, const std::size_t* missing, std::size_t count) {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (std::size_t i = 0; i < count; ++i) {
        const char* separator = "";
        if (i > 0) separator = (count == 2) ? " and " : (i + 1 == count ? ", and " : ", ");
        Ref piece = Ref::steal(PyUnicode_FromFormat("%s'%s'", separator, spec.params[missing[i]].name));
        text = Ref::steal(PyUnicode_Concat(text.get(), piece.get()));
    }
    return text;
}

[[noreturn]] void raise_too_many_positional(const FunctionObject* function, Py_ssize_t given) {
    const auto declared = static_cast<Py_ssize_t>(function->spec->params.size());
    const Py_ssize_t defaults = function_default_count(function);
    Ref counted = defaults != 0 ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", declared - defaults, declared))
                                : Ref::steal(PyUnicode_FromFormat("%zd", declared));
    const bool plural = defaults != 0 || declared != 1;
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", function->qualname,
                 counted.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

Py_ssize_t parameter_index(const FunctionSpec& spec, PyObject* const* names, PyObject* keyword) {
    const auto count = static_cast<Py_ssize_t>(spec.params.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (names[i] == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(names[i], keyword, Py_EQ);
        if (equal != 0) return require(equal) ? i : -1;
    }
    return -1;
}

void check_exact_str(const Param& param, PyObject* value, bool none_allowed) {
    if (PyUnicode_CheckExact(value) || (none_allowed && value == Py_None)) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 "str", Py_TYPE(value)->tp_name);
}

}  // namespace

void Binder::bind(FunctionObject* function, Args& args, PyObject* const* positional, std::size_t nargsf,
                  PyObject* kwnames) {
    const FunctionSpec& spec = *function->spec;
    const std::size_t declared = spec.params.size();
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    args.function_ = function;

    if (static_cast<std::size_t>(given) > declared) raise_too_many_positional(function, given);
    for (Py_ssize_t i = 0; i < given; ++i) args.values_[i] = positional[i];
    for (std::size_t i = static_cast<std::size_t>(given); i < declared; ++i) args.values_[i] = nullptr;

    if (spec.varkw != nullptr) args.kwargs_ = Ref::steal(PyDict_New());

    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        PyObject* const* keyword_values = positional + given;
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                raise_format(PyExc_TypeError, "%U() keywords must be strings", function->qualname);
            }
            const Py_ssize_t index = parameter_index(spec, function->param_names, keyword);
            if (index < 0) {
                if (!args.kwargs_) {
                    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", function->qualname,
                                 keyword);
                }
                require(PyDict_SetItem(args.kwargs_.get(), keyword, keyword_values[k]));
                continue;
            }
            if (args.values_[index] != nullptr) {
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", function->qualname,
                             keyword);
            }
            args.values_[index] = keyword_values[k];
        }
    }

    if (static_cast<std::size_t>(given) < declared) fill_defaults(function, args);

    for (std::size_t i = 0; i < declared; ++i) apply_check(spec.params[i], args, i);
}

void Binder::apply_check(const Param& param, Args& args, std::size_t index) {
    PyObject* value = args.values_[index];
    switch (param.check) {
        case Check::Any:
            break;
        case Check::ExactStr:
            check_exact_str(param, value, false);
            break;
        case Check::ExactStrOrNone:
            check_exact_str(param, value, true);
            break;
        case Check::Float: {
            if (PyFloat_CheckExact(value)) {
                args.reals_[index] = PyFloat_AS_DOUBLE(value);
            } else {
                const double converted = PyFloat_AsDouble(value);
                if (converted == -1.0 && PyErr_Occurred()) raise_pending();
                args.reals_[index] = converted;
            }
            break;
        }
    }
}

void Binder::fill_defaults(FunctionObject* function, Args& args) {
    const FunctionSpec& spec = *function->spec;
    const std::size_t declared = spec.params.size();
    PyObject* defaults = function->defaults;
    const Py_ssize_t default_count = function_default_count(function);
    const std::size_t first_default = declared - static_cast<std::size_t>(default_count);
    if (default_count != 0) args.defaults_ = Ref::borrow(defaults);

    std::size_t missing[kMaxParams];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < declared; ++i) {
        if (args.values_[i] != nullptr) continue;
        if (i >= first_default) {
            args.values_[i] = PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(i - first_default));
        } else {
            missing[missing_count++] = i;
        }
    }
    if (missing_count == 0) return;
    Ref names = quoted_name_list(spec, missing, missing_count);
    raise_format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %U", function->qualname,
                 missing_count, missing_count == 1 ? "" : "s", names.get());
}

}  // namespace rt
