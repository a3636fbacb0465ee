// The function object every native method is made of.
//
// To the interpreter it looks like a function written in Python: it has `__name__`, `__qualname__`,
// `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`, `__annotations__`, `__dict__` and a `__code__`
// describing its parameters, so `inspect.signature`, `help()` and IDEs read it as they read a Python
// function. It binds as a method through an instance, nests in `staticmethod` and `property`, pickles by
// qualified name, and is called through vectorcall as a method descriptor (`obj.method(x)` builds no bound
// method object).
#pragma once

#include <array>
#include <span>
#include <type_traits>

#include "ref.hpp"

namespace rt {

// What a parameter demands of its argument on entry, before the body runs.
enum class Check : unsigned char {
    Any,
    ExactStr,        // exactly `str`; a subclass or None is refused
    ExactStrOrNone,  // exactly `str`, or None
    Float,           // converted with the interpreter's float conversion; see Args::real
};

// Default::Text: the parameter's `default_text`, as a str.
enum class Default : unsigned char { Required, None, True, Text };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as text and never evaluated; nullptr: not annotated
    Check check = Check::Any;
    Default default_value = Default::Required;
    const char* default_text = nullptr;
};

inline constexpr std::size_t kMaxParams = 8;

// A parameter list named by an index enum declared beside it, whose last enumerator is `count`:
//
//     enum class Init : std::size_t { self, symbol, price, count };
//     constexpr auto kInitParams = rt::params<Init>({{"self"}, {"symbol", "str", rt::Check::ExactStr}, {"price"}});
//     ... args[Init::price] ...
//
// A list longer or shorter than its enum, or longer than the binder holds, does not compile.
template <typename Index, std::size_t N>
constexpr std::array<Param, N> params(const Param (&list)[N]) {
    static_assert(std::is_enum_v<Index>, "parameters are named by an enum");
    static_assert(N == static_cast<std::size_t>(Index::count), "the parameter list and its index enum disagree");
    static_assert(N <= kMaxParams, "more parameters than the argument binder holds");
    std::array<Param, N> result{};
    for (std::size_t i = 0; i < N; ++i) result[i] = list[i];
    return result;
}

// The parameter list of every method and property getter that takes `self` alone: `args[rt::Self::self]`.
enum class Self : std::size_t { self, count };
inline constexpr auto kSelfParams = params<Self>({{"self"}});

struct FunctionObject;

// The bound arguments of one call, valid for the duration of the call.
class Args {
public:
    // Borrowed: the caller's argument or a default, by the parameter list's index enum.
    template <typename Index>
        requires std::is_enum_v<Index>
    PyObject* operator[](Index index) const noexcept {
        return values_[static_cast<std::size_t>(index)];
    }
    PyObject* operator[](std::size_t index) const noexcept { return values_[index]; }
    // The converted value of a parameter declared with Check::Float.
    template <typename Index>
        requires std::is_enum_v<Index>
    double real(Index index) const noexcept {
        return reals_[static_cast<std::size_t>(index)];
    }
    double real(std::size_t index) const noexcept { return reals_[index]; }
    // The fresh dict of extra keywords; null when the function has no keyword catch-all.
    PyObject* kwargs() const noexcept { return kwargs_.get(); }
    // The class whose namespace defines the function: what `super()` resolves against.
    PyObject* defining_class() const;

private:
    friend struct Binder;
    FunctionObject* function_ = nullptr;
    PyObject* values_[kMaxParams];
    double reals_[kMaxParams];
    Ref kwargs_;
    Ref defaults_;  // keeps the defaults alive even if `__defaults__` is replaced during the call
};

using Impl = Ref (*)(Args& args);

struct FunctionSpec {
    // A parameter list that does not fit the binder does not compile.
    template <std::size_t N>
    constexpr FunctionSpec(const char* name, const std::array<Param, N>& params, Impl impl, const char* varkw = nullptr,
                           const char* doc = nullptr, const char* return_annotation = nullptr) noexcept
        : name(name), params(params), impl(impl), varkw(varkw), doc(doc), return_annotation(return_annotation) {
        static_assert(N <= kMaxParams, "more parameters than the argument binder holds");
    }
    template <std::size_t N>
    constexpr FunctionSpec(const char* name, const Param (&params)[N], Impl impl, const char* varkw = nullptr,
                           const char* doc = nullptr, const char* return_annotation = nullptr) noexcept
        : name(name), params(params), impl(impl), varkw(varkw), doc(doc), return_annotation(return_annotation) {
        static_assert(N <= kMaxParams, "more parameters than the argument binder holds");
    }

    const char* name;
    std::span<const Param> params;  // `self` first for instance methods and property getters
    Impl impl;
    const char* varkw;  // name of the keyword catch-all, if any
    const char* doc;
    const char* return_annotation;
};

// Creates a function object; `class_name` prefixes the qualified name.
[[nodiscard]] Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* module_name);

// Records the class whose namespace holds the function (done by class creation).
void set_defining_class(PyObject* function, PyObject* cls);

// Ready the function type; called by module start-up.
void init_function_type();

// The function's `__name__` (borrowed).
PyObject* function_name(PyObject* function) noexcept;

}  // namespace rt
