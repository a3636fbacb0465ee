// A C++ struct as a Python callable: the struct is the closure's state, its fields typed and owned.
//
//     struct Connect {
//         static constexpr char kName[] = "norvane.connect";  // the callable type's name
//         rt::Ref sockets;                                    // owned objects...
//         double deadline;                                    // ...and plain values, by name and type
//         auto objects() { return std::tie(sockets); }        // every Ref field: what the collector visits
//         rt::Ref operator()() { ... }                        // called with no arguments
//     };
//     rt::Ref connect = rt::closure(Connect{sockets, deadline});
//
// The call operator says what the callable accepts: `()` no arguments, `(PyObject* one)` exactly one
// positional argument (as METH_NOARGS and METH_O), or `(rt::VectorArgs args)` any arguments, passed on as
// they came. It returns a new reference or throws `PyError`, like a function's impl. The object takes part
// in garbage collection through `objects()`, so a closure stored on what it refers to is no leak.
#pragma once

#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "ref.hpp"

namespace rt {

// The arguments of a vectorcall, for a closure that passes them on (`PyObject_Vectorcall(f, args.items,
// args.nargsf, args.kwnames)`).
struct VectorArgs {
    PyObject* const* items;
    std::size_t nargsf;
    PyObject* kwnames;
};

namespace detail {

// The type every closure object of one state type shares; made on first use, kept for the process.
PyTypeObject* make_closure_type(const char* name, std::size_t basicsize, traverseproc traverse, inquiry clear,
                                destructor dealloc);

// "name() takes no arguments (2 given)" and the like, as the interpreter words them; returns false after
// raising.
bool closure_arguments_fit(PyObject* callable, std::size_t expected, std::size_t nargsf, PyObject* kwnames);

// The part of a closure object that does not depend on its state.
struct ClosureHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    bool cleared;  // the collector released the state's objects: the closure is unreachable garbage
};

template <typename State>
struct ClosureObject : ClosureHead {
    State state;
};

inline int visit_ref(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(object);
    return 0;
}

template <typename State>
ClosureObject<State>* as_closure(PyObject* object) {
    return reinterpret_cast<ClosureObject<State>*>(object);
}

template <typename State>
PyObject* closure_call(PyObject* callable, PyObject* const* items, std::size_t nargsf, PyObject* kwnames) {
    // Held for the call: the body may drop the last other reference (a closure that uninstalls itself).
    Ref held = Ref::borrow(callable);
    ClosureObject<State>* closure = as_closure<State>(callable);
    if (closure->cleared) {
        PyErr_Format(PyExc_ReferenceError, "%s called after its state was released", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    State& state = closure->state;
    if constexpr (std::is_invocable_r_v<Ref, State&>) {
        if (!closure_arguments_fit(callable, 0, nargsf, kwnames)) return nullptr;
        return guarded([&] { return state().release(); });
    } else if constexpr (std::is_invocable_r_v<Ref, State&, PyObject*>) {
        if (!closure_arguments_fit(callable, 1, nargsf, kwnames)) return nullptr;
        return guarded([&] { return state(items[0]).release(); });
    } else {
        static_assert(std::is_invocable_r_v<Ref, State&, VectorArgs>,
                      "a closure's state is called as (), (PyObject*) or (rt::VectorArgs) and returns rt::Ref");
        return guarded([&] { return state(VectorArgs{items, nargsf, kwnames}).release(); });
    }
}

template <typename State>
int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    ClosureObject<State>* closure = as_closure<State>(self);
    if (closure->cleared) return 0;
    return std::apply([&](auto&... refs) { return (... || visit_ref(refs.get(), visit, arg)); },
                      closure->state.objects());
}

template <typename State>
int closure_clear(PyObject* self) {
    ClosureObject<State>* closure = as_closure<State>(self);
    closure->cleared = true;
    std::apply([](auto&... refs) { (refs.reset(), ...); }, closure->state.objects());
    return 0;
}

template <typename State>
void closure_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_closure<State>(self)->state.~State();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace detail

template <typename State>
[[nodiscard]] Ref closure(State state) {
    using Object = detail::ClosureObject<State>;
    static_assert(std::is_nothrow_move_constructible_v<State>);
    static PyTypeObject* const type =
        detail::make_closure_type(State::kName, sizeof(Object), detail::closure_traverse<State>,
                                  detail::closure_clear<State>, detail::closure_dealloc<State>);
    // Allocated and filled with no call into the interpreter in between: the collector never sees a state
    // under construction.
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    Object* closure = detail::as_closure<State>(object.get());
    closure->vectorcall = detail::closure_call<State>;
    closure->cleared = false;
    new (&closure->state) State(std::move(state));
    return object;
}

}  // namespace rt
