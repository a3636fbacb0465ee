// Module start-up: multi-phase initialisation with one module object per process.
//
// A second import (after the module left `sys.modules`) gets the same, already initialised module back;
// running the body into any other module object is refused, as is loading into a second interpreter.
#pragma once

#include "ref.hpp"

namespace rt {

struct ModuleSpec {
    const char* short_name;   // "futures": named in the refusal of a second initialisation
    const char* dotted_name;  // "norvane.kestrum_utils.priceable.futures"
    const char* doc;
    void (*body)(PyObject* module);  // binds the module-level names in order; throws PyError
};

// The entry point's work: the version check, then the module definition for the import system.
PyObject* init_module(const ModuleSpec& spec) noexcept;

// The initialised module's namespace (borrowed; the module lives for the rest of the process).
PyObject* module_globals() noexcept;
// The module's dotted name as a str (borrowed).
PyObject* module_name() noexcept;

// `from <module> import <name>`: binds `name` in the module namespace and returns it.
Ref import_from(PyObject* module, const char* from, const char* name);
// `import <dotted>` binds the top package; `import <dotted> as alias` binds the submodule.
Ref import_module(PyObject* module, const char* dotted, const char* bind_as);
// `from <module> import *`: binds the names of the module's `__all__` in that order, or, without one,
// its public names in namespace order.
void import_star(PyObject* module, const char* from);

}  // namespace rt

// Defines `PyInit_<short_name>` for a module described by `spec`.
#define RT_MODULE_ENTRY(short_name, spec) \
    PyMODINIT_FUNC PyInit_##short_name(void) { return rt::init_module(spec); }
