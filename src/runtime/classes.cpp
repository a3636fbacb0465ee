#include "classes.hpp"

#include <vector>

#include "module.hpp"
#include "names.hpp"

namespace rt {

namespace {

Name n_prepare{"__prepare__"};
Name n_module{"__module__"};
Name n_qualname{"__qualname__"};
Name n_doc{"__doc__"};

Ref wrap_member(const Member& member, PyObject* function) {
    switch (member.kind) {
        case MemberKind::Static:
            return Ref::steal(PyStaticMethod_New(function));
        case MemberKind::Property:
            return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function));
        case MemberKind::Method:
            break;
    }
    return Ref::borrow(function);
}

}  // namespace

Ref create_class(const ClassSpec& spec, PyObject* base, std::initializer_list<ClassAttribute> attributes) {
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    Ref bases = Ref::steal(PyTuple_Pack(1, base));

    Ref prepare = Ref::steal(PyObject_GetAttr(metaclass, n_prepare));
    Ref namespace_ = Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr));
    require(PyObject_SetItem(namespace_.get(), n_module, module_name()));
    require(PyObject_SetItem(namespace_.get(), n_qualname, name.get()));
    if (spec.doc != nullptr) {
        Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
        require(PyObject_SetItem(namespace_.get(), n_doc, doc.get()));
    }

    std::vector<Ref> functions;
    functions.reserve(spec.members.size());
    for (const Member& member : spec.members) {
        Ref function = make_function(member.function, spec.name, module_name());
        Ref wrapped = wrap_member(member, function.get());
        require(PyObject_SetItem(namespace_.get(), function_name(function.get()), wrapped.get()));
        functions.push_back(std::move(function));
    }
    for (const ClassAttribute& attribute : attributes) {
        Ref key = Ref::steal(PyUnicode_InternFromString(attribute.name));
        require(PyObject_SetItem(namespace_.get(), key.get(), attribute.value));
    }

    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(metaclass, name.get(), bases.get(), namespace_.get(), nullptr));
    for (const Ref& function : functions) set_defining_class(function.get(), cls.get());
    return cls;
}

}  // namespace rt
