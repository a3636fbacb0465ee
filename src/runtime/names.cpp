#include "names.hpp"

namespace rt {

namespace {
Name* declared_names = nullptr;
KeywordNames* declared_keyword_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(declared_names) { declared_names = this; }

void Name::intern_all() {
    for (Name* name = declared_names; name != nullptr; name = name->next_) {
        if (name->object_ == nullptr) name->object_ = require(PyUnicode_InternFromString(name->text_));
    }
    KeywordNames::intern_all();
}

KeywordNames::KeywordNames(std::initializer_list<const char*> names) noexcept : next_(declared_keyword_names) {
    for (const char* text : names) {
        if (count_ < static_cast<Py_ssize_t>(sizeof texts_ / sizeof texts_[0])) texts_[count_++] = text;
    }
    declared_keyword_names = this;
}

void KeywordNames::intern_all() {
    for (KeywordNames* names = declared_keyword_names; names != nullptr; names = names->next_) {
        if (names->tuple_ != nullptr) continue;
        Ref tuple = Ref::steal(PyTuple_New(names->count_));
        for (Py_ssize_t i = 0; i < names->count_; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, require(PyUnicode_InternFromString(names->texts_[i])));
        }
        names->tuple_ = tuple.release();
    }
}

}  // namespace rt
