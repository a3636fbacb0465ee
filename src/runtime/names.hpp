// Interned attribute and key names.
//
// A module declares the names it looks up as `static rt::Name name{"text"};` at namespace scope; module
// start-up interns all of them once, so every later look-up hashes nothing and compares by identity.
#pragma once

#include <initializer_list>

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

}  // namespace rt

namespace rt {

// A fixed tuple of interned keyword names for vectorcall, e.g. `static rt::KeywordNames kw{"a", "b"};`,
// so that calls with keyword arguments build nothing per call.
class KeywordNames {
public:
    KeywordNames(std::initializer_list<const char*> names) noexcept;
    KeywordNames(const KeywordNames&) = delete;
    KeywordNames& operator=(const KeywordNames&) = delete;

    PyObject* get() const noexcept { return tuple_; }
    Py_ssize_t size() const noexcept { return count_; }

    static void intern_all();

private:
    const char* texts_[12];
    Py_ssize_t count_ = 0;
    PyObject* tuple_ = nullptr;  // lives for the rest of the process
    KeywordNames* next_;
};

}  // namespace rt
