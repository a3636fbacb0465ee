// Pieces of the samplers module that live in separate files and meet in sample().
#pragma once

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

// The column that carries each row's period start while the rows are grouped.
extern rt::Name n_group_by_label;

// The table that is grouped: the caller's rows with the index turned into a leading column, plus
// "group_by_label"; `index_col` is the name that column took from the index.
struct WorkingTable {
    rt::Ref table;
    rt::Ref index_col;
};

// A datetime index whose timestamps go backwards or hold NaT is refused with ValueError naming the first
// such position; other indexes pass (index_order.cpp). The first form takes the caller's table.
void require_ascending_index(PyObject* pd, PyObject* table);
void require_ascending_timestamps(PyObject* pd, PyObject* index);

// Labels through pandas' own grid, map and look-up; works for every window and index pandas accepts
// (period_labels.cpp). A grid far longer than the table is laid only where rows fall.
WorkingTable label_through_pandas(PyObject* pd, PyObject* np, PyObject* df, PyObject* window);

// The same working table from one native pass, for a fixed-length window over a sorted, plain
// datetime64 index; an empty table when the input is not of that kind (fixed_window_labels.cpp).
WorkingTable label_fixed_window(PyObject* pd, PyObject* np, PyObject* df, PyObject* window);

}  // namespace samplers
