// The samplers module: its imports and its two classes, bound in this order.
#include "samplers.hpp"

namespace samplers {

namespace {

const rt::Member kTimeSamplerMembers[] = {
    {rt::MemberKind::Method, kTimeSamplerInit},
    {rt::MemberKind::Method, kTimeSamplerRepr},
    {rt::MemberKind::Method, kTimeSamplerSample},
    {rt::MemberKind::Method, kTimeSamplerCall},
};

const rt::Member kExistingTimestampSamplerMembers[] = {
    {rt::MemberKind::Method, kExistingTimestampSamplerInit},
    {rt::MemberKind::Method, kExistingTimestampSamplerRepr},
    {rt::MemberKind::Method, kExistingTimestampSamplerSample},
};

const rt::ClassSpec kTimeSampler{"TimeSampler", nullptr, kTimeSamplerMembers};
const rt::ClassSpec kExistingTimestampSampler{"ExistingTimestampSampler", nullptr, kExistingTimestampSamplerMembers};

void module_body(PyObject* module) {
    rt::import_module(module, "logging", nullptr);
    rt::import_star(module, "typing");
    rt::import_module(module, "numpy", "np");
    rt::import_module(module, "pandas", "pd");

    rt::Ref time_sampler = rt::create_class(kTimeSampler, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    rt::require(PyModule_AddObjectRef(module, kTimeSampler.name, time_sampler.get()));
    rt::Ref existing = rt::create_class(kExistingTimestampSampler, time_sampler.get());
    rt::require(PyModule_AddObjectRef(module, kExistingTimestampSampler.name, existing.get()));
}

const rt::ModuleSpec kModule{"samplers", "norvane.kestrum_data.utility.timeseries.samplers", nullptr, module_body};

}  // namespace

}  // namespace samplers

RT_MODULE_ENTRY(samplers, samplers::kModule)
