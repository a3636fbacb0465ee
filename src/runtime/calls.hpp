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

[[nodiscard]] inline Ref item(PyObject* container, PyObject* key) {
    return Ref::steal(PyObject_GetItem(container, key));
}

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

// A keyword argument, named where it is passed: `rt::kw<"exchange">(value)` in a call is `exchange=value`.
// The name is part of the type, so a call's keyword names form one tuple, interned once per process at
// module start-up (see `KeywordTuple`): calls with keywords build nothing per call.
template <std::size_t N>
struct KeywordText {
    consteval KeywordText(const char (&text)[N]) {  // NOLINT(google-explicit-constructor): a literal is the point
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    char chars[N];
};

template <KeywordText Name>
struct Keyword {
    PyObject* value;
};

template <KeywordText Name>
[[nodiscard]] constexpr Keyword<Name> kw(PyObject* value) noexcept {
    return {value};
}

namespace detail {

template <typename Value>
struct KeywordOf {
    static constexpr bool is_keyword = false;
};
template <KeywordText Name>
struct KeywordOf<Keyword<Name>> {
    static constexpr bool is_keyword = true;
};

inline PyObject* value_of(PyObject* value) noexcept { return value; }
template <KeywordText Name>
PyObject* value_of(Keyword<Name> keyword) noexcept {
    return keyword.value;
}

// The interned tuple of one list of keyword names.
template <KeywordText... Names>
struct KeywordList {
    static constexpr std::array<const char*, sizeof...(Names)> texts{Names.chars...};
    static inline KeywordTuple tuple{texts.data(), sizeof...(Names)};
};

// The keyword names among a call's values, in order.
template <typename Found, typename... Values>
struct CollectKeywords {
    using type = Found;
};
template <KeywordText... Found, typename Value, typename... Rest>
struct CollectKeywords<KeywordList<Found...>, Value, Rest...> : CollectKeywords<KeywordList<Found...>, Rest...> {};
template <KeywordText... Found, KeywordText Name, typename... Rest>
struct CollectKeywords<KeywordList<Found...>, Keyword<Name>, Rest...>
    : CollectKeywords<KeywordList<Found..., Name>, Rest...> {};

consteval bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// What the interpreter needs of a call's values: how many are positional, and the keyword names' tuple.
// Checked at compile time: positional values come first, and no keyword is named twice.
template <typename... Values>
struct CallShape {
    using Keywords = typename CollectKeywords<KeywordList<>, Values...>::type;
    static constexpr std::size_t keywords = Keywords::texts.size();
    static constexpr std::size_t positional = sizeof...(Values) - keywords;

    static consteval bool keywords_trail() {
        constexpr std::array<bool, sizeof...(Values)> is_keyword{KeywordOf<Values>::is_keyword...};
        for (std::size_t i = 0; i < positional; ++i) {
            if (is_keyword[i]) return false;
        }
        return true;
    }
    static consteval bool names_distinct() {
        for (std::size_t i = 0; i < keywords; ++i) {
            for (std::size_t j = i + 1; j < keywords; ++j) {
                if (same_text(Keywords::texts[i], Keywords::texts[j])) return false;
            }
        }
        return true;
    }
    static_assert(keywords_trail(), "a positional value follows a keyword one");
    static_assert(names_distinct(), "a call names one keyword twice");

    static PyObject* names() noexcept {
        if constexpr (keywords == 0) {
            return nullptr;
        } else {
            return Keywords::tuple.get();
        }
    }
};

}  // namespace detail

// `callable(a, b, name=c)` is `rt::call(callable, a, b, rt::kw<"name">(c))`: positional values first, then
// keywords, each named where it is passed.
template <typename... Values>
[[nodiscard]] Ref call(PyObject* callable, Values... values) {
    using Shape = detail::CallShape<Values...>;
    std::array<PyObject*, sizeof...(Values) + 1> vector{nullptr, detail::value_of(values)...};
    return Ref::steal(PyObject_Vectorcall(callable, vector.data() + 1,
                                          Shape::positional | PY_VECTORCALL_ARGUMENTS_OFFSET, Shape::names()));
}

template <typename... Objects>
[[nodiscard]] Ref call_method(PyObject* object, PyObject* name, Objects... args) {
    std::array<PyObject*, sizeof...(Objects) + 1> vector{object, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, vector.data(),
                                                (sizeof...(Objects) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `super().name(*args, **keywords)` inside a method of `args.defining_class()`, resolved along the MRO of
// `self`'s class as `super()` does, without creating the super or bound-method objects. `args` holds `self`
// first; the last `keywords` of the `positional + keywords` values are keyword values.
[[nodiscard]] Ref super_call_vector(PyObject* defining_class, PyObject* self, PyObject* name, PyObject* const* args,
                                    std::size_t positional, PyObject* kwnames);

// `super().name(a, key=b)` is `rt::super_call(args, self, name, a, rt::kw<"key">(b))`.
template <typename... Values>
[[nodiscard]] Ref super_call(const Args& args, PyObject* self, PyObject* name, Values... values) {
    using Shape = detail::CallShape<Values...>;
    std::array<PyObject*, sizeof...(Values) + 2> vector{nullptr, self, detail::value_of(values)...};
    return super_call_vector(args.defining_class(), self, name, vector.data() + 1, Shape::positional + 1,
                             Shape::names());
}

// Removes `key` from a dict and returns its value, or `fallback` when absent (`dict.pop(key, fallback)`).
[[nodiscard]] Ref dict_pop(PyObject* dict, PyObject* key, PyObject* fallback);
// Removes `key` from a dict and returns its value; KeyError(key) when absent (`dict.pop(key)`).
[[nodiscard]] Ref dict_pop(PyObject* dict, PyObject* key);

}  // namespace rt
