// Interned attribute and key names.
//
// Each module declares the names it looks up once, in its own `names.hpp`, as `inline` variables:
//
//     inline rt::Name n_symbol{"symbol"};            // a name as written: keyword, method, property, global
//     inline rt::Name a_symbol{"_symbol"};           // one leading underscore: an instance's own attribute
//     inline rt::Name d_init{"__init__"};            // a special ("dunder") name
//     inline rt::Name t_dot{"."};                    // a text that is no identifier
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

// The interned tuple of the keyword names one call passes, for vectorcall. Declared by the call helpers
// (`rt::kw` in calls.hpp), one per distinct list of names, and filled by module start-up with the names.
class KeywordTuple {
public:
    KeywordTuple(const char* const* texts, std::size_t count) noexcept;
    KeywordTuple(const KeywordTuple&) = delete;
    KeywordTuple& operator=(const KeywordTuple&) = delete;

    PyObject* get() const noexcept { return tuple_; }

    static void intern_all();

private:
    const char* const* texts_;
    std::size_t count_;
    PyObject* tuple_ = nullptr;  // lives for the rest of the process
    KeywordTuple* next_;
};

}  // namespace rt
