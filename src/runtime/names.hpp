// Interned attribute and key names.
//
// Each module declares the names it looks up once, in its own `names.hpp`, as `inline` variables:
//
//     inline rt::Name n_symbol{"symbol"};            // a name as written: keyword, method, property, global
//     inline rt::Name a_symbol{"_symbol"};           // one leading underscore: an instance's own attribute
//     inline rt::Name d_init{"__init__"};            // a special ("dunder") name
//     inline rt::Name t_dot{"."};                    // a text that is no identifier
//     inline rt::KeywordNames kw_pair{"quote_ccy", "base_ccy", "exchange"};
//
// so the prefix says which string an identifier holds and one identifier means one string everywhere.
// Module start-up interns all of them once, so every later look-up hashes nothing and compares by identity.
#pragma once

#include <array>
#include <cstddef>

#include "ref.hpp"

namespace rt {

class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Interns every declared name of this shared library; idempotent.
    static void intern_all();

private:
    const char* text_;
    PyObject* object_ = nullptr;  // lives for the rest of the process, like the module
    Name* next_;
};

// The part of `KeywordNames<N>` that does not depend on the count: the registry and the tuple.
class KeywordTuple {
public:
    KeywordTuple(const KeywordTuple&) = delete;
    KeywordTuple& operator=(const KeywordTuple&) = delete;

    PyObject* get() const noexcept { return tuple_; }

    static void intern_all();

protected:
    KeywordTuple(const char* const* texts, std::size_t count) noexcept;

private:
    const char* const* texts_;
    std::size_t count_;
    PyObject* tuple_ = nullptr;  // lives for the rest of the process
    KeywordTuple* next_;
};

// A fixed tuple of interned keyword names for vectorcall, e.g. `inline rt::KeywordNames kw{"a", "b"};`,
// so that calls with keyword arguments build nothing per call. The count is part of the type: the call
// helpers check at compile time that a call passes at least as many values as it names keywords.
template <std::size_t N>
struct KeywordTexts {
    std::array<const char*, N> texts;
};

template <std::size_t N>
class KeywordNames : private KeywordTexts<N>, public KeywordTuple {
public:
    // The texts are a base constructed before the registry entry that points at them.
    template <typename... Texts>
    explicit KeywordNames(Texts... texts) noexcept
        : KeywordTexts<N>{{texts...}}, KeywordTuple(KeywordTexts<N>::texts.data(), N) {}

    static constexpr std::size_t size() noexcept { return N; }
};

template <typename... Texts>
KeywordNames(Texts...) -> KeywordNames<sizeof...(Texts)>;

}  // namespace rt
