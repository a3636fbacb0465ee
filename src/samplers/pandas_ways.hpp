// What the installed pandas does that changes results, shared by the samplers and the bars.
#pragma once

#include <cstdio>

#include "names.hpp"
#include "runtime/calls.hpp"
#include "runtime/handlers.hpp"

namespace samplers {

// A pandas version, major.minor.
struct PandasVersion {
    int major;
    int minor;
    bool at_least(const PandasVersion& other) const {
        return major > other.major || (major == other.major && minor >= other.minor);
    }
};

struct PandasWays {
    PandasVersion version;  // 0.0 when pandas does not say
    // pandas 3.1 on: sorted groups of a NaN-free float block, and of integer and bool blocks, go to
    // numpy's `add.reduceat` for sum, mean, min and max.
    bool reduceat;
};

inline PandasWays pandas_ways(PyObject* pd) {
    constexpr PandasWays kUnknown{{0, 0}, false};
    rt::Ref version = rt::attr(pd, d_version);
    if (!PyUnicode_Check(version.get())) return kUnknown;
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) rt::raise_pending();
    PandasWays ways = kUnknown;
    if (std::sscanf(text, "%d.%d", &ways.version.major, &ways.version.minor) != 2) return kUnknown;
    if (ways.version.major >= 3) {
        rt::Ref ops = rt::Ref::steal(PyImport_ImportModule("pandas.core.groupby.ops"));
        rt::Ref grouper = rt::attr(ops.get(), n_BaseGrouper);
        ways.reduceat =
            rt::suppress(PyExc_AttributeError, [&] { (void)rt::attr(grouper.get(), a_reduceat_aggregate); });
    }
    return ways;
}

}  // namespace samplers
