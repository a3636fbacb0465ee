// Pieces of the samplers module that live in separate files and meet in sample().
#pragma once

#include <cstdint>
#include <optional>

#include "index_order.hpp"
#include "names.hpp"
#include "runtime/runtime.hpp"

namespace samplers {

// TimeSampler (time_sampler.cpp)
extern const rt::FunctionSpec kTimeSamplerInit;
extern const rt::FunctionSpec kTimeSamplerRepr;
extern const rt::FunctionSpec kTimeSamplerSample;
extern const rt::FunctionSpec kTimeSamplerCall;

// ExistingTimestampSampler (existing_timestamp_sampler.cpp)
extern const rt::FunctionSpec kExistingTimestampSamplerInit;
extern const rt::FunctionSpec kExistingTimestampSamplerRepr;
extern const rt::FunctionSpec kExistingTimestampSamplerSample;

// The table that is grouped: the caller's rows with the index turned into a leading column, plus the
// column "group_by_label" (n_group_by_label, names.hpp), which carries each row's period start while the
// rows are grouped; `index_col` is the name that column took from the index.
struct WorkingTable {
    rt::Ref table;
    rt::Ref index_col;
};

// The caller's table, or a shallow copy of it indexed by the timestamps that an index of text or
// objects stands for, when pandas' datetime conversion reads it (period_labels.cpp).
rt::Ref with_timestamp_index(PyObject* pd, PyObject* df);

// A naive datetime64[s], [ms] or [us] table beyond the years datetime64[ns] holds (where pandas lays its
// periods), moved by whole 400-year cycles of the calendar so that it lies within them, as a shallow
// copy, and the np.timedelta64 it was moved back by; the table itself and no shift when it needs none or
// its span is too long to fit (period_labels.cpp). `move_back` moves a sampled table's timestamps forward
// again.
struct ShiftedTable {
    rt::Ref table;
    rt::Ref shift;
};
ShiftedTable into_nanosecond_range(PyObject* pd, PyObject* df);
void move_back(PyObject* pd, PyObject* result, PyObject* shift);

// Labels through pandas' own grid, map and look-up; works for every window and index pandas accepts
// (period_labels.cpp). A grid far longer than the table is laid only where rows fall.
WorkingTable label_through_pandas(PyObject* pd, PyObject* np, PyObject* df, PyObject* window);

// The fixed-length grid that the native labelling pass lays over a table, when the table is of the kind
// it handles: the table's index, that index's name, the int64 timestamps rows are labelled by (wall-clock
// times for an aware index) with their numpy datetime64 dtype, and the grid in nanoseconds.
struct FixedWindowGrid {
    rt::Ref index;
    rt::Ref index_col;
    rt::Ref ticks;
    rt::Ref ticks_dtype;
    std::int64_t nanoseconds_per_tick;
    std::int64_t first_start;
    std::int64_t step;
    // An aware index whose wall-clock times descend somewhere (a clock turned back): its periods are not
    // runs of rows. Always false for a naive index, whose order is checked as such.
    bool wall_clock_turns_back;
};
// `origin` null or None: the first timestamp cut down to the window's base unit; "epoch", "start_day" or
// a Timestamp: windows counted from there, as pandas' resample counts them.
std::optional<FixedWindowGrid> fixed_window_grid(PyObject* pd, PyObject* np, PyObject* df, PyObject* window,
                                                 PyObject* origin = nullptr);

// The same working table from one native pass, for a fixed-length window over a datetime64 index,
// naive or aware; an empty table when the input is not of that kind (fixed_window_labels.cpp).
// With an `origin` other than null or None (as checked_origin left it) the grid is anchored there. The
// second form labels by a grid already laid for the table.
WorkingTable label_fixed_window(PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* origin = nullptr);
WorkingTable label_fixed_window(PyObject* np, PyObject* df, FixedWindowGrid grid);

// An origin as the samplers keep it: None, "epoch" and "start_day" as given, anything else read by
// pd.Timestamp; ValueError for what is none of these (fixed_window_labels.cpp).
rt::Ref checked_origin(PyObject* pd, PyObject* origin);

// A note that starts with `lead` and lists the group-by methods that work with the sampler on the
// installed pandas, and where bars are made (notes.cpp).
rt::Ref working_methods_note(PyObject* pd, PyObject* np, const char* lead);

// The sampled table reduced in C++ straight from the columns' buffers (native_sample.cpp); when the
// table, its columns or the method are not of the kinds reduced there, no result but the grid laid for
// the table, if it has one (the group-by labels by it), and whether the index's order was checked.
struct NativeSample {
    rt::Ref result;
    std::optional<FixedWindowGrid> grid;
    bool order_checked = false;
};
NativeSample sample_natively(PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* func_name,
                             PyObject* origin);

}  // namespace samplers
