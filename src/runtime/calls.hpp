// What module code uses to talk to the interpreter: look-ups at call time, calls, truth and text.
//
// Every helper returns an owning `Ref` or throws `PyError` with the interpreter's exception pending, and is
// [[nodiscard]]: a call made only for its effect discards the result visibly, `(void)rt::call(...)`.
#pragma once

#include <array>
#include <span>

#include "function.hpp"
#include "names.hpp"

namespace rt {

// The module-level name as a Python function would see it at this moment: the module's globals, then
// the builtins. Missing names raise NameError.
[[nodiscard]] Ref global(PyObject* name);

[[nodiscard]] inline Ref attr(PyObject* object, PyObject* name) { return Ref::steal(PyObject_GetAttr(object, name)); }
// `getattr(object, name, None)` told apart from a stored None: an empty Ref when the attribute is missing
// (AttributeError is not raised, not even set and cleared); any other error propagates.
[[nodiscard]] inline Ref optional_attr(PyObject* object, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    require(PyObject_GetOptionalAttr(object, name, &value));
#else
    require(_PyObject_LookupAttr(object, name, &value));
#endif
    return Ref::steal_or_null(value);
}

inline void set_attr(PyObject* object, PyObject* name, PyObject* value) {
    require(PyObject_SetAttr(object, name, value));
}

[[nodiscard]] inline bool truth(PyObject* object) { return require(PyObject_IsTrue(object)) != 0; }

// Whether an `assert` statement would run: false when the interpreter was started with -O (read from
// `sys.flags.optimize` at call time; the C-level flag it mirrors is deprecated from CPython 3.12 on).
[[nodiscard]] bool asserts_enabled();

// `isinstance(object, type)`, the type (or tuple of types) given as read at call time.
[[nodiscard]] inline bool is_instance(PyObject* object, PyObject* type) {
    return require(PyObject_IsInstance(object, type)) != 0;
}

[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }

[[nodiscard]] inline Ref item(PyObject* container, PyObject* key) { return Ref::steal(PyObject_GetItem(container, key)); }

[[nodiscard]] inline Ref float_value(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

// `format(value, '')`, sparing the call for an exact str as the interpreter's f-strings do.
[[nodiscard]] Ref text_of(PyObject* value);

// Concatenates texts (each a str) into a new str with a single allocation, as an f-string does; the one
// string joiner of the code base.
[[nodiscard]] Ref join_texts(std::span<PyObject* const> parts);
[[nodiscard]] inline Ref join_texts(std::initializer_list<PyObject*> parts) {
    return join_texts(std::span(parts.begin(), parts.size()));
}

// A new list holding new references to `items`.
[[nodiscard]] Ref list_of(std::initializer_list<PyObject*> items);

template <typename... Objects>
[[nodiscard]] Ref call(PyObject* callable, Objects... args) {
    std::array<PyObject*, sizeof...(Objects) + 1> vector{nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, vector.data() + 1, sizeof...(Objects) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// `callable(*positional, **dict(zip(keywords, trailing values)))`, without building the dict: the last
// `N` values are passed as the keywords `keywords` names.
template <std::size_t N, typename... Objects>
[[nodiscard]] Ref call_kw(PyObject* callable, const KeywordNames<N>& keywords, Objects... args) {
    static_assert(sizeof...(Objects) >= N, "a keyword call passes fewer values than it names keywords");
    std::array<PyObject*, sizeof...(Objects) + 1> vector{nullptr, args...};
    constexpr std::size_t positional = sizeof...(Objects) - N;
    return Ref::steal(PyObject_Vectorcall(callable, vector.data() + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          keywords.get()));
}

template <typename... Objects>
[[nodiscard]] Ref call_method(PyObject* object, PyObject* name, Objects... args) {
    std::array<PyObject*, sizeof...(Objects) + 1> vector{object, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, vector.data(), (sizeof...(Objects) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `super().name(*args, **keywords)` inside a method of `args.defining_class()`, resolved along the MRO of
// `self`'s class as `super()` does, without creating the super or bound-method objects. `args` holds `self`
// first; the last `keywords` of the `positional + keywords` values are keyword values.
[[nodiscard]] Ref super_call_vector(PyObject* defining_class, PyObject* self, PyObject* name, PyObject* const* args,
                      std::size_t positional, PyObject* kwnames);

template <std::size_t N, typename... Objects>
[[nodiscard]] Ref super_call_kw(const Args& args, PyObject* self, PyObject* name, const KeywordNames<N>& keywords,
                  Objects... values) {
    static_assert(sizeof...(Objects) >= N, "a keyword call passes fewer values than it names keywords");
    std::array<PyObject*, sizeof...(Objects) + 2> vector{nullptr, self, values...};
    return super_call_vector(args.defining_class(), self, name, vector.data() + 1, sizeof...(Objects) - N + 1,
                             keywords.get());
}

template <typename... Objects>
[[nodiscard]] Ref super_call(const Args& args, PyObject* self, PyObject* name, Objects... values) {
    std::array<PyObject*, sizeof...(Objects) + 2> vector{nullptr, self, values...};
    return super_call_vector(args.defining_class(), self, name, vector.data() + 1, sizeof...(Objects) + 1, nullptr);
}

// Removes `key` from a dict and returns its value, or `fallback` when absent (`dict.pop(key, fallback)`).
[[nodiscard]] Ref dict_pop(PyObject* dict, PyObject* key, PyObject* fallback);
// Removes `key` from a dict and returns its value; KeyError(key) when absent (`dict.pop(key)`).
[[nodiscard]] Ref dict_pop(PyObject* dict, PyObject* key);

}  // namespace rt
