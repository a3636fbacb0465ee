#include "names.hpp"

namespace rt {

namespace {
Name* declared_names = nullptr;
KeywordTuple* declared_keyword_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(declared_names) { declared_names = this; }

void Name::intern_all() {
    for (Name* name = declared_names; name != nullptr; name = name->next_) {
        if (name->object_ == nullptr) name->object_ = require(PyUnicode_InternFromString(name->text_));
    }
    KeywordTuple::intern_all();
}

KeywordTuple::KeywordTuple(const char* const* texts, std::size_t count) noexcept
    : texts_(texts), count_(count), next_(declared_keyword_names) {
    declared_keyword_names = this;
}

void KeywordTuple::intern_all() {
    for (KeywordTuple* names = declared_keyword_names; names != nullptr; names = names->next_) {
        if (names->tuple_ != nullptr) continue;
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names->count_)));
        for (std::size_t i = 0; i < names->count_; ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                             require(PyUnicode_InternFromString(names->texts_[i])));
        }
        names->tuple_ = tuple.release();
    }
}

}  // namespace rt
