// Group reductions over contiguous runs of rows, computed the way pandas' group-by computes them.
//
// Nothing here touches the interpreter: the functions run with the interpreter lock released, on as
// many threads as there are columns and cores.
#pragma once

#include <cstddef>
#include <cstdint>

namespace samplers {

enum class ValueKind { Float64, Float32, Int64, Int32, Bool };

enum class Reduction { First, Last, Min, Max, Count, Mean };

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

// The element type of the result column.
ValueKind result_kind(Reduction reduction, ValueKind input, MeanSum mean_sum);

std::size_t item_size(ValueKind kind);

// Reduces every group of `column` into `out`, an array of `groups.count` items of result_kind(...).
ColumnFindings reduce_column(Reduction reduction, MeanSum mean_sum, const InputColumn& column, const Groups& groups,
                             void* out);

// The mean of each group of datetime64 ticks, as pandas takes it: compensated float64 sums, the
// quotient cut towards zero, NaT (int64 minimum) where it does not fit.
void mean_of_ticks(const InputColumn& ticks, const Groups& groups, std::int64_t* out);

// Whether a float column holds a NaN in its first `rows` rows.
bool column_has_nan(const InputColumn& column, std::int64_t rows);

}  // namespace samplers
