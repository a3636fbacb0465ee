#include "closure.hpp"

#include <structmember.h>

namespace rt::detail {

PyTypeObject* make_closure_type(const char* name, std::size_t basicsize, traverseproc traverse, inquiry clear,
                                destructor dealloc) {
    PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(ClosureHead, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_members, members},
        {0, nullptr},
    };
    PyType_Spec spec = {
        name,
        static_cast<int>(basicsize),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&spec)));
}

bool closure_arguments_fit(PyObject* callable, std::size_t expected, std::size_t nargsf, PyObject* kwnames) {
    const char* name = Py_TYPE(callable)->tp_name;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        return false;
    }
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(given) == expected) return true;
    if (expected == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name, given);
    }
    return false;
}

}  // namespace rt::detail
