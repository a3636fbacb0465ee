// Class creation: ordinary Python classes, made by the base's metaclass from an ordered namespace, so
// that subclassing, isinstance, pickling, deepcopy and `__init_subclass__` behave as for a class written
// in Python.
#pragma once

#include <span>

#include "function.hpp"

namespace rt {

enum class MemberKind : unsigned char { Method, Static, Property };

struct Member {
    MemberKind kind;
    const FunctionSpec& function;
};

struct ClassSpec {
    const char* name;
    const char* doc;  // nullptr: no `__doc__` entry in the namespace
    std::span<const Member> members;
};

struct ClassAttribute {
    const char* name;
    PyObject* value;  // borrowed
};

// Namespace order: `__module__`, `__qualname__`, `__doc__`, the members in declaration order, then the
// class attributes. Each method records the new class as the one its `super()` resolves against.
[[nodiscard]] Ref create_class(const ClassSpec& spec, PyObject* base,
                               std::initializer_list<ClassAttribute> attributes = {});

}  // namespace rt
