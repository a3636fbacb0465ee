// Group reductions over contiguous runs of rows, computed the way pandas' group-by computes them.
//
// Nothing here touches the interpreter: the functions run with the interpreter lock released, on as
// many threads as there are columns and cores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pandas_ways.hpp"
#include "value_kind.hpp"

namespace samplers {

// The group-by methods reduced here. Each has one descriptor (see `describe`); a new one is added there,
// and every switch over these is exhaustive, so that the compiler names whatever else it needs.
enum class Reduction { First, Last, Min, Max, Count, Mean };
constexpr Reduction kLastReduction = Reduction::Mean;  // the names are looked up through every one up to it

// How pandas sums a group for its mean. Its group-by kernels add with a running compensation in the
// column's own float type (integers as float64); pandas 3.1 and later hand a float block without NaN,
// and every integer and bool block, to numpy's `add.reduceat` instead, which adds pairwise in float64.
enum class MeanSum { Compensated, Pairwise };

// Group g is rows [bounds[g], bounds[g + 1]).
struct Groups {
    const std::int64_t* bounds;
    std::int64_t count;
};

struct InputColumn {
    const char* data;
    std::ptrdiff_t stride;  // bytes
    ValueKind kind;
};

// What a pass saw besides the results.
struct ColumnFindings {
    // A NaN among the values (reported by the pairwise mean, which must then give way).
    bool has_nan = false;
    // A float group whose least (or greatest) value is zero held both 0.0 and -0.0, so which of the two
    // the result holds depends on the order in which the values are compared.
    bool mixed_zero_extreme = false;
    // The pairwise sums overflowed, underflowed or met inf - inf: numpy would warn (or raise, as its
    // error state says) where these sums stand in for its own.
    bool floating_point_exception = false;
};

// The element type of a result column, given the input column's.
enum class ResultType {
    Input,   // the input's own type
    Int64,   // a count
    MeanOf,  // float64, or float32 for a float32 column that pandas sums with compensation
};

// What labels a result row: the timestamps are reduced as the columns are, and the result becomes the index.
enum class RowLabel {
    FirstRow,       // the timestamp of the period's first row
    LastRow,        // the timestamp of the period's last row
    RowCount,       // the number of rows, an integer index (the count of timestamps, which are never NaT)
    MeanTimestamp,  // the mean of the period's timestamps, taken over the instants
};

// Reduces every group of `column` into `out`, an array of `groups.count` items of the result type.
using Kernel = ColumnFindings (*)(MeanSum mean_sum, const InputColumn& column, const Groups& groups, void* out);

// Everything the sampler needs to know of one reduction.
struct ReductionDescriptor {
    Reduction reduction;
    const char* name;  // the pandas group-by method
    ResultType result;
    RowLabel label;
    // The first pandas version whose group-by gives what the kernel gives (earlier ones keep their own).
    PandasVersion exact_from;
    // Whether pandas' group-by hands the table's attrs and flags on to the result (count's does not).
    bool hands_on_attrs;
    Kernel kernel;
};

const ReductionDescriptor& describe(Reduction reduction);

// The descriptor of a pandas group-by method's name, if it is one reduced here.
const ReductionDescriptor* reduction_named(std::string_view name);

ValueKind result_kind(ResultType result, ValueKind input, MeanSum mean_sum);

// The mean of each group of datetime64 ticks, as pandas takes it: compensated float64 sums, the
// quotient cut towards zero, NaT (int64 minimum) where it does not fit.
void mean_of_ticks(const InputColumn& ticks, const Groups& groups, std::int64_t* out);

// Whether a float column holds a NaN in its first `rows` rows.
bool column_has_nan(const InputColumn& column, std::int64_t rows);

}  // namespace samplers
