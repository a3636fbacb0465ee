// The bars' compute step: one pass over the rows of each window, without the interpreter. Nothing here
// touches Python objects; the caller holds the buffers and has released the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "samplers/value_kind.hpp"

namespace bars {

// Bool is refused when the columns are read.
using samplers::ValueKind;

// How the installed pandas sums a float column in a group-by: with a running compensation, or (pandas 3.1
// on, for a column without NaN) as numpy's `add.reduceat`, the first value plus the pairwise sum of the rest.
enum class SumWay { Compensated, Pairwise };

// Contiguous, aligned columns.
struct Column {
    const char* data;
    ValueKind kind;
};

struct Ticks {
    const char* data;
    std::int64_t operator[](std::int64_t row) const;
};

// What the plan step settled: the inputs, the grid and the way each sum is taken.
struct BarPlan {
    Column price;
    bool has_size;
    Column size;
    ValueKind volume_kind;  // the size's own kind
    // For a float size and for the two float64 sums of the VWAP: Pairwise where pandas sums a column
    // without NaN so; the compute step falls back to Compensated when it meets a NaN.
    SumWay volume_sum;
    SumWay vwap_sum;
    Ticks wall;      // the rows' wall-clock ticks, which the grid cuts
    Ticks instants;  // the rows' timestamps as the index holds them (the same as `wall` when naive)
    std::int64_t rows;
    std::int64_t nanoseconds_per_tick;
    std::int64_t grid_start;  // a window start at or before every row's window, in nanoseconds
    std::int64_t step;        // the window's length in nanoseconds
    bool closed_right;        // a row on a window's end belongs to that window
    bool label_right;         // a bar is labelled by its window's end
    bool fill;                // windows without rows between the first and the last bar are given too
};

// The output arrays, `bars` items each, of the plan's kinds; times and labels are ticks of the index's unit.
struct BarOutputs {
    void* open;
    void* high;
    void* low;
    void* close;
    void* volume;
    double* vwap;
    std::int64_t* trades;
    std::int64_t* open_time;
    std::int64_t* high_time;
    std::int64_t* low_time;
    std::int64_t* close_time;
    std::int64_t* labels;
};

// The runs of rows that share a window: bounds[k] is the first row of run k, the last entry the row count.
struct Runs {
    std::vector<std::int64_t> bounds;
    std::int64_t bars = 0;  // the result's rows: the runs, or with `fill` every window from the first to the last
};

// The wall clock must not turn back: the plan refuses an index whose clock does.
Runs find_runs(const BarPlan& plan);

// Fills every output item; `threads` splits the runs among up to that many threads.
void compute_bars(const BarPlan& plan, const Runs& runs, const BarOutputs& out, bool threads);

}  // namespace bars
