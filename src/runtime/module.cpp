#include "module.hpp"

#include <atomic>
#include <cstring>

#include "function.hpp"
#include "handlers.hpp"
#include "names.hpp"

namespace rt {

namespace {

const ModuleSpec* module_spec = nullptr;
PyObject* the_module = nullptr;   // strong, for the rest of the process
PyObject* the_globals = nullptr;  // borrowed from the_module
PyObject* the_name = nullptr;     // strong
bool body_done = false;
// The interpreter the module was created in; claimed once, atomically, as interpreters with GILs of their
// own may import it at the same time.
std::atomic<int64_t> first_interpreter{-1};

// False, with ImportError set, in any interpreter but the one the module was first created in.
bool in_first_interpreter(bool claim) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    int64_t first = first_interpreter.load();
    if (first == -1 && claim && first_interpreter.compare_exchange_strong(first, interpreter)) return true;
    if (first == -1 || first == interpreter) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

PyObject* create_module(PyObject* import_spec, PyModuleDef*) {
    if (!in_first_interpreter(true)) return nullptr;
    if (the_module != nullptr) {
        // The state block (zero bytes: this module keeps no per-module state) is the previous import's:
        // after this slot returns, PyModule_FromDefAndSpec2 overwrites the module's state pointer with
        // null without freeing it, and PyModule_ExecDef then allocates a fresh block as its "already
        // initialised" marker. Free the old one here or each re-import leaks it (checked on CPython 3.11).
        PyMem_Free(PyModule_GetState(the_module));
        return Py_NewRef(the_module);
    }
    return guarded([&] {
        Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        the_module = Py_NewRef(module.get());
        the_globals = PyModule_GetDict(the_module);
        return module.release();
    });
}

int exec_module(PyObject* module) {
    if (module == the_module && body_done) return 0;
    if (module != the_module) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_spec->short_name);
        return -1;
    }
    PyObject* result = guarded([&] {
        init_function_type();
        Name::intern_all();
        if (the_name == nullptr) the_name = require(PyUnicode_FromString(module_spec->dotted_name));
        if (module_spec->doc != nullptr) {
            Ref doc = Ref::steal(PyUnicode_FromString(module_spec->doc));
            require(PyModule_AddObjectRef(module, "__doc__", doc.get()));
        }
        module_spec->body(module);
        return Py_NewRef(Py_None);
    });
    if (result == nullptr) {
        // Forget the half-made module so that a later import starts afresh.
        Py_CLEAR(the_module);
        the_globals = nullptr;
        return -1;
    }
    Py_DECREF(result);
    body_done = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // One module object per process, in whichever interpreter imports it first, with or without a GIL of
    // its own: the module keeps all of its state in that one interpreter, and create_module refuses every
    // other interpreter with the module's own ImportError. Any lower level would have CPython refuse an
    // isolated interpreter before create_module runs, with CPython's text instead of ours, and would
    // refuse the first import as well when it happens in such an interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},  // the module relies on the GIL (the default, said explicitly)
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

// "3.11" of "3.11.7 (main, ...)": the part that must match the build.
bool same_minor_version(const char* runtime, const char* built) {
    const std::size_t length = std::strlen(built);
    return std::strncmp(runtime, built, length) == 0 && (runtime[length] < '0' || runtime[length] > '9');
}

}  // namespace

PyObject* init_module(const ModuleSpec& spec) noexcept {
    static const char built_version[] = {PY_MAJOR_VERSION + '0', '.', PY_MINOR_VERSION / 10 + '0',
                                         PY_MINOR_VERSION % 10 + '0', '\0'};
    const char* runtime = Py_GetVersion();
    if (!same_minor_version(runtime, built_version)) {
        char runtime_version[16] = {};
        std::size_t i = 0;
        for (int dots = 0; runtime[i] != '\0' && i + 1 < sizeof runtime_version; ++i) {
            if (runtime[i] == '.' && ++dots == 2) break;
            if (runtime[i] == ' ') break;
            runtime_version[i] = runtime[i];
        }
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time version %s of module '%.100s' does not match runtime version %s",
                             built_version, spec.dotted_name, runtime_version) < 0) {
            return nullptr;
        }
    }
    // The entry point runs again for each import (in the importing interpreter, or from 3.13 on in the
    // main one for an isolated importer); refusing here spares the definition's set-up.
    if (!in_first_interpreter(false)) return nullptr;
    module_spec = &spec;
    module_def.m_name = spec.dotted_name;
    module_def.m_doc = spec.doc;
    return PyModuleDef_Init(&module_def);
}

PyObject* module_globals() noexcept { return the_globals; }

PyObject* module_name() noexcept { return the_name; }

Ref import_from(PyObject* module, const char* from, const char* name) {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    Ref value = Ref::steal(PyObject_GetAttrString(source.get(), name));
    require(PyModule_AddObjectRef(module, name, value.get()));
    return value;
}

Ref import_module(PyObject* module, const char* dotted, const char* bind_as) {
    Ref imported = Ref::steal(PyImport_ImportModule(dotted));
    if (bind_as != nullptr) {
        require(PyModule_AddObjectRef(module, bind_as, imported.get()));
        return imported;
    }
    const char* dot = std::strchr(dotted, '.');
    if (dot == nullptr) {
        require(PyModule_AddObjectRef(module, dotted, imported.get()));
        return imported;
    }
    Ref top_name = Ref::steal(PyUnicode_FromStringAndSize(dotted, dot - dotted));
    Ref top = Ref::steal(PyImport_Import(top_name.get()));
    require(PyObject_SetAttr(module, top_name.get(), top.get()));
    return top;
}

void import_star(PyObject* module, const char* from) {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    PyObject* target = PyModule_GetDict(module);
    Ref names;
    const bool public_only =
        !suppress(PyExc_AttributeError, [&] { names = Ref::steal(PyObject_GetAttrString(source.get(), "__all__")); });
    if (public_only) names = Ref::steal(PyDict_Keys(require(PyModule_GetDict(source.get()))));
    Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(name.get())) {
            raise_format(PyExc_TypeError, "Item in %s.__all__ must be str, not %.100s", from,
                         Py_TYPE(name.get())->tp_name);
        }
        if (public_only && PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        Ref value = Ref::steal(PyObject_GetAttr(source.get(), name.get()));
        require(PyDict_SetItem(target, name.get(), value.get()));
    }
    if (PyErr_Occurred()) raise_pending();
}

}  // namespace rt
