// Pieces of the bars module that live in separate files.
#pragma once

#include "names.hpp"
#include "runtime/runtime.hpp"

namespace bars {

// BarSampler (bar_sampler.cpp)
extern const rt::FunctionSpec kBarSamplerInit;
extern const rt::FunctionSpec kBarSamplerSample;

}  // namespace bars
