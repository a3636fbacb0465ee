// The bars module: its imports and BarSampler, a subclass of the samplers' TimeSampler.
#include "bars.hpp"

namespace bars {

namespace {

const rt::Member kBarSamplerMembers[] = {
    {rt::MemberKind::Method, kBarSamplerInit},
    {rt::MemberKind::Method, kBarSamplerSample},
};

const char kBarSamplerDoc[] =
    "Cuts a trade table into windows of a fixed length and gives one bar per window: open, high, low,\n"
    "close, volume, VWAP, the number of trades and the times of the open, high, low and close, in one\n"
    "pass over the rows. Bars are labelled by their window's start (or end), as pandas' resample labels.";

const rt::ClassSpec kBarSampler{"BarSampler", kBarSamplerDoc, kBarSamplerMembers};

void module_body(PyObject* module) {
    rt::import_module(module, "logging", nullptr);
    rt::import_star(module, "typing");
    rt::import_module(module, "numpy", "np");
    rt::import_module(module, "pandas", "pd");
    rt::Ref time_sampler = rt::import_from(module, "norvane.kestrum_data.utility.timeseries.samplers", "TimeSampler");

    rt::Ref bar_sampler = rt::create_class(kBarSampler, time_sampler.get());
    rt::require(PyModule_AddObjectRef(module, kBarSampler.name, bar_sampler.get()));
}

const rt::ModuleSpec kModule{"bars", "norvane.kestrum_data.utility.timeseries.bars", nullptr, module_body};

}  // namespace

}  // namespace bars

RT_MODULE_ENTRY(bars, bars::kModule)
