// Notes on the errors a new user of the sampler meets: what to do, and which methods work with it on the
// installed pandas. Which methods work differs between pandas versions (pandas 1.5 drops the timestamps
// from a mean or a median, pandas 3 refuses to sum them), so it is found out by trying each method once
// per process on a small table, through the same steps a sampled table takes.
#include <optional>
#include <string>

#include "runtime/handlers.hpp"
#include "samplers.hpp"

namespace samplers {

namespace {

constexpr const char* kCandidates[] = {"first", "last", "min", "max",   "mean",    "median", "sum", "prod",
                                       "std",   "var",  "sem", "count", "nunique", "ohlc",   "any", "all"};

constexpr const char* kBars =
    "; for volume or OHLCV bars use BarSampler from norvane.kestrum_data.utility.timeseries.bars";

// Three rows in two one-minute periods, indexed by timestamps named "ts".
rt::Ref probe_table(PyObject* pd) {
    rt::Ref stamps =
        rt::Ref::steal(Py_BuildValue("[sss]", "2024-01-01 00:00:00", "2024-01-01 00:00:30", "2024-01-01 00:01:00"));
    rt::Ref index_type = rt::attr(pd, n_DatetimeIndex);
    rt::Ref ts = rt::Ref::steal(PyUnicode_FromString("ts"));
    rt::Ref index = rt::call(index_type.get(), stamps.get(), rt::kw<"name">(ts.get()));
    rt::Ref prices = rt::Ref::steal(Py_BuildValue("{s[ddd]}", "price", 1.0, 2.0, 4.0));
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    return rt::call(frame_type.get(), prices.get(), rt::kw<"index">(index.get()));
}

// Whether the method gives a table indexed by the reduced timestamps, one row per period.
bool works(PyObject* pd, PyObject* np, PyObject* table, PyObject* window, const char* name) {
    bool ok = false;
    (void)rt::suppress(PyExc_Exception, [&] {
        WorkingTable working = label_fixed_window(pd, np, table, window, nullptr);  // no origin: the default grid
        if (!working.table) working = label_through_pandas(pd, np, table, window);
        rt::Ref groupby = rt::attr(working.table.get(), n_groupby);
        rt::Ref grouped =
            rt::call(groupby.get(), n_group_by_label.get(), rt::kw<"as_index">(Py_True), rt::kw<"sort">(Py_False));
        rt::Ref method = rt::Ref::steal(PyObject_GetAttrString(grouped.get(), name));
        rt::Ref reduced = rt::call(method.get());
        rt::Ref set_index = rt::attr(reduced.get(), n_set_index);
        rt::Ref result = rt::call(set_index.get(), rt::kw<"keys">(working.index_col.get()), rt::kw<"drop">(Py_True));
        rt::Ref frame_type = rt::attr(pd, n_DataFrame);
        rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
        rt::Ref index = rt::attr(result.get(), n_index);
        ok = rt::is_instance(result.get(), frame_type.get()) && rt::is_instance(index.get(), datetime_index.get()) &&
             rt::require(PyObject_Size(index.get())) == 2;
    });
    return ok;
}

std::string find_working_methods(PyObject* pd, PyObject* np) {
    rt::Ref table = probe_table(pd);
    rt::Ref timedelta = rt::attr(pd, n_Timedelta);
    rt::Ref minute = rt::Ref::steal(PyUnicode_FromString("1min"));
    rt::Ref window = rt::call(timedelta.get(), minute.get());
    // The methods' own warnings (deprecations of pandas) concern the user's call, not this trial.
    rt::Ref warnings = rt::Ref::steal(PyImport_ImportModule("warnings"));
    rt::Ref catch_warnings = rt::call_method(warnings.get(), n_catch_warnings);
    std::string found;
    (void)rt::with_block(catch_warnings.get(), [&](PyObject*) {
        rt::Ref ignore = rt::Ref::steal(PyUnicode_FromString("ignore"));
        (void)rt::call_method(warnings.get(), n_simplefilter, ignore.get());
        for (const char* name : kCandidates) {
            if (!works(pd, np, table.get(), window.get(), name)) continue;
            if (!found.empty()) found += ", ";
            found += name;
        }
    });
    return found;
}

}  // namespace

rt::Ref working_methods_note(PyObject* pd, PyObject* np, const char* lead) {
    // Found once per process: the installed pandas does not change while it runs.
    static std::optional<std::string> methods;
    if (!methods) methods = find_working_methods(pd, np);
    rt::Ref version = rt::attr(pd, d_version);
    rt::Ref version_text = rt::text_of(version.get());
    return rt::Ref::steal(
        PyUnicode_FromFormat("%smethods that give one row per period with this sampler on pandas %U: %s%s", lead,
                             version_text.get(), methods->c_str(), kBars));
}

}  // namespace samplers
