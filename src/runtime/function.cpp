#include <cstddef>

#include "binding.hpp"
#include "module.hpp"
#include "names.hpp"

#include <structmember.h>

namespace rt {

namespace {

PyTypeObject* function_type = nullptr;

Name n_replace{"replace"};
Name n_co_argcount{"co_argcount"};
Name n_co_nlocals{"co_nlocals"};
Name n_co_varnames{"co_varnames"};
Name n_co_flags{"co_flags"};
Name n_co_qualname{"co_qualname"};
Name n_return{"return"};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* positional, std::size_t nargsf, PyObject* kwnames) {
    FunctionObject* function = as_function(callable);
    // Native frames do not count against the interpreter's recursion limit on their own; a Python
    // override that calls back here endlessly must end in RecursionError, not a stack overflow.
    if (Py_EnterRecursiveCall(" while calling a native function")) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        Args args;
        if (!Binder::bind_positional(function, args, positional, nargsf, kwnames)) {
            Binder::bind(function, args, positional, nargsf, kwnames);
        }
        return function->spec->impl(args).release();
    });
    Py_LeaveRecursiveCall();
    return result;
}

Ref make_defaults(const FunctionSpec& spec) {
    std::size_t first = spec.params.size();
    while (first > 0 && spec.params[first - 1].default_value != Default::Required) --first;
    if (first == spec.params.size()) return Ref::borrow(Py_None);
    Ref defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size() - first)));
    for (std::size_t i = first; i < spec.params.size(); ++i) {
        Ref value = spec.params[i].default_value == Default::Text
                        ? Ref::steal(PyUnicode_InternFromString(spec.params[i].default_text))
                        : Ref::borrow(spec.params[i].default_value == Default::True ? Py_True : Py_None);
        PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - first), value.release());
    }
    return defaults;
}

Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    for (const Param& param : spec.params) {
        if (param.annotation == nullptr) continue;
        Ref text = Ref::steal(PyUnicode_FromString(param.annotation));
        require(PyDict_SetItemString(annotations.get(), param.name, text.get()));
    }
    if (spec.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        require(PyDict_SetItem(annotations.get(), n_return, text.get()));
    }
    return annotations;
}

// A code object that carries only the parameter layout; it is never executed. It is what lets the
// interpreter's introspection read the function like one written in Python.
Ref make_code(FunctionObject* function) {
    const FunctionSpec& spec = *function->spec;
    const auto argcount = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nlocals = argcount + (spec.varkw != nullptr ? 1 : 0);
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    for (Py_ssize_t i = 0; i < argcount; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(function->param_names[i]));
    }
    if (spec.varkw != nullptr) PyTuple_SET_ITEM(varnames.get(), argcount, require(PyUnicode_FromString(spec.varkw)));

    // Named as the function was made, as a Python function's code keeps its names when the function is
    // renamed; a name set later need not even be encodable.
    const char* filename = PyUnicode_AsUTF8(module_name());
    if (filename == nullptr) raise_pending();
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, spec.name, 0)));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varkw != nullptr ? CO_VARKEYWORDS : 0);

    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), n_replace));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref argcount_value = Ref::steal(PyLong_FromSsize_t(argcount));
    Ref nlocals_value = Ref::steal(PyLong_FromSsize_t(nlocals));
    Ref flags_value = Ref::steal(PyLong_FromLong(flags));
    require(PyDict_SetItem(kwargs.get(), n_co_argcount, argcount_value.get()));
    require(PyDict_SetItem(kwargs.get(), n_co_nlocals, nlocals_value.get()));
    require(PyDict_SetItem(kwargs.get(), n_co_varnames, varnames.get()));
    require(PyDict_SetItem(kwargs.get(), n_co_flags, flags_value.get()));
    require(PyDict_SetItem(kwargs.get(), n_co_qualname, function->qualname));
    Ref no_args = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

// --- type slots -----------------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    Py_VISIT(function->code);
    Py_VISIT(function->defining_class);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->code);
    Py_CLEAR(function->defining_class);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (PyObject*& name : as_function(self)->param_names) Py_CLEAR(name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Read through an instance it becomes a bound method; read through the class it stays itself.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_code(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->code == nullptr) {
        PyObject* code = guarded([&] { return make_code(function).release(); });
        if (code == nullptr) return nullptr;
        function->code = code;
    }
    return Py_NewRef(function->code);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// A text attribute (`__name__`, `__qualname__`, `__module__`): must stay a str.
template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "this attribute must be set to a string object");
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

template <std::size_t Offset>
PyObject* get_slot(PyObject* self, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    FunctionObject* function = as_function(self);
    if (value == nullptr || value == Py_None) {
        Py_SETREF(function->defaults, Py_NewRef(Py_None));
        return 0;
    }
    if (!PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(value)) > function->spec->params.size()) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than the function has parameters");
        return -1;
    }
    Py_SETREF(function->defaults, Py_NewRef(value));
    return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_slot<offsetof(FunctionObject, name)>, set_text<offsetof(FunctionObject, name)>, nullptr, nullptr},
    {"__qualname__", get_slot<offsetof(FunctionObject, qualname)>, set_text<offsetof(FunctionObject, qualname)>,
     nullptr, nullptr},
    {"__module__", get_slot<offsetof(FunctionObject, module)>, set_text<offsetof(FunctionObject, module)>, nullptr,
     nullptr},
    {"__doc__", get_slot<offsetof(FunctionObject, doc)>, set_doc, nullptr, nullptr},
    {"__defaults__", get_slot<offsetof(FunctionObject, defaults)>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_slot<offsetof(FunctionObject, annotations)>, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "norvane.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

PyObject* Args::defining_class() const {
    PyObject* cls = function_->defining_class;
    if (cls == nullptr) raise(PyExc_RuntimeError, "super(): the function belongs to no class");
    return cls;
}

void init_function_type() {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&function_spec)));
    }
}

Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* module_name) {
    Ref object = Ref::steal(PyType_GenericAlloc(function_type, 0));
    FunctionObject* function = as_function(object.get());
    function->vectorcall = function_vectorcall;
    function->spec = &spec;
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        function->param_names[i] = require(PyUnicode_InternFromString(spec.params[i].name));
    }
    function->name = require(PyUnicode_InternFromString(spec.name));
    function->qualname = class_name != nullptr ? require(PyUnicode_FromFormat("%s.%s", class_name, spec.name))
                                               : Py_NewRef(function->name);
    function->module = Py_NewRef(module_name);
    function->doc = spec.doc != nullptr ? require(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    function->defaults = make_defaults(spec).release();
    function->annotations = make_annotations(spec).release();
    return object;
}

void set_defining_class(PyObject* function, PyObject* cls) {
    Py_XSETREF(as_function(function)->defining_class, Py_NewRef(cls));
}

PyObject* function_name(PyObject* function) noexcept { return as_function(function)->name; }

}  // namespace rt
