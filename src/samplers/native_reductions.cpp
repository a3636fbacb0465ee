// Group reductions over contiguous runs of rows, value for value what pandas' group-by gives:
//
// * first / last: the first (last) non-NaN value of the group, NaN when there is none.
// * min / max: NaN is skipped, an all-NaN group gives NaN; among equal values the first one seen wins,
//   which only shows for zeros (0.0 against -0.0).
// * count: the non-NaN values of the group.
// * mean: see MeanSum; NaN is skipped, an all-NaN group gives NaN, the sum is divided by the count in
//   the summing type.
#include "native_reductions.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace samplers {

namespace {

// Reads a column's items; a contiguous column is read with a stride known at compile time, which lets
// the compiler keep several additions or comparisons in flight per instruction.
template <typename T, bool kContiguousItems>
struct Reader {
    using Item = T;
    static constexpr bool kContiguous = kContiguousItems;
    const char* data;
    std::ptrdiff_t stride;

    T operator[](std::int64_t row) const {
        T value;
        std::memcpy(&value, data + row * (kContiguous ? static_cast<std::ptrdiff_t>(sizeof(T)) : stride), sizeof value);
        return value;
    }
};

// numpy's cast of an element to float64 (bools are stored as one byte, 0 or 1).
template <typename T>
inline double as_double(T value) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        return value != 0 ? 1.0 : 0.0;
    } else {
        return static_cast<double>(value);
    }
}

template <typename T>
constexpr bool kIsFloat = std::is_floating_point_v<T>;

// Groups of up to four rows, as many tables with about one row per period have, are read as four
// values with those past the group's end replaced by `fill`, so that no branch depends on the group's
// size. Only where four rows exist from `begin` on.
constexpr std::int64_t kSmallGroup = 4;

template <typename R, typename T = typename R::Item>
inline void load_small_group(const R& column, std::int64_t begin, std::int64_t size, T fill, T (&values)[kSmallGroup]) {
    for (std::int64_t i = 0; i < kSmallGroup; ++i) {
        const T choices[2] = {fill, column[begin + i]};  // picked by index: a select, never a jump
        values[i] = choices[i < size];
    }
}

template <typename R, typename T = typename R::Item>
void first_or_last(const R& column, const Groups& groups, bool last, T* out) {
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        if constexpr (kIsFloat<T>) {
            T found = std::numeric_limits<T>::quiet_NaN();
            if (last) {
                for (std::int64_t row = end; row-- > begin;) {
                    const T value = column[row];
                    if (value == value) {
                        found = value;
                        break;
                    }
                }
            } else {
                for (std::int64_t row = begin; row < end; ++row) {
                    const T value = column[row];
                    if (value == value) {
                        found = value;
                        break;
                    }
                }
            }
            out[g] = found;
        } else {
            out[g] = column[last ? end - 1 : begin];
        }
    }
}

template <bool kMax, typename T>
constexpr T extreme_start() {
    if constexpr (kIsFloat<T>) {
        return kMax ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    } else {
        return kMax ? std::numeric_limits<T>::lowest() : std::numeric_limits<T>::max();
    }
}

// `candidate` when it beats `current`, else `current`: NaN never beats, and of equal values the one
// already held stays (the x86 min/max instructions do exactly this with the candidate first).
template <bool kMax, typename T>
inline T keep_better(T candidate, T current) {
    return (kMax ? candidate > current : candidate < current) ? candidate : current;
}

// The extreme of rows [begin, end) over four running extremes, which keeps the comparisons
// independent; which of several equal values is kept only shows for zeros, settled by the caller.
template <bool kMax, typename R, typename T = typename R::Item>
T extreme_of_run(const R& column, std::int64_t begin, std::int64_t end) {
    constexpr T kStart = extreme_start<kMax, T>();
    T lane[4] = {kStart, kStart, kStart, kStart};
    std::int64_t row = begin;
    for (; row + 4 <= end; row += 4) {
        for (int k = 0; k < 4; ++k) lane[k] = keep_better<kMax>(column[row + k], lane[k]);
    }
    for (; row < end; ++row) lane[0] = keep_better<kMax>(column[row], lane[0]);
    T result = lane[0];
    for (int k = 1; k < 4; ++k) result = keep_better<kMax>(lane[k], result);
    return result;
}

#if defined(__x86_64__)
// The same over a contiguous float64 or float32 run with 256-bit vectors, where the processor has them.
template <bool kMax, typename T>
__attribute__((target("avx2"))) T extreme_of_run_avx2(const T* values, std::int64_t count) {
    constexpr T kStart = extreme_start<kMax, T>();
    if constexpr (std::is_same_v<T, double>) {
        __m256d a = _mm256_set1_pd(kStart), b = a, c = a, d = a;
        std::int64_t i = 0;
        for (; i + 16 <= count; i += 16) {
            a = kMax ? _mm256_max_pd(_mm256_loadu_pd(values + i), a) : _mm256_min_pd(_mm256_loadu_pd(values + i), a);
            b = kMax ? _mm256_max_pd(_mm256_loadu_pd(values + i + 4), b)
                     : _mm256_min_pd(_mm256_loadu_pd(values + i + 4), b);
            c = kMax ? _mm256_max_pd(_mm256_loadu_pd(values + i + 8), c)
                     : _mm256_min_pd(_mm256_loadu_pd(values + i + 8), c);
            d = kMax ? _mm256_max_pd(_mm256_loadu_pd(values + i + 12), d)
                     : _mm256_min_pd(_mm256_loadu_pd(values + i + 12), d);
        }
        alignas(32) double lanes[16];
        _mm256_store_pd(lanes, a);
        _mm256_store_pd(lanes + 4, b);
        _mm256_store_pd(lanes + 8, c);
        _mm256_store_pd(lanes + 12, d);
        T result = kStart;
        for (double lane : lanes) result = keep_better<kMax>(lane, result);
        for (; i < count; ++i) result = keep_better<kMax>(values[i], result);
        return result;
    } else {
        __m256 a = _mm256_set1_ps(kStart), b = a;
        std::int64_t i = 0;
        for (; i + 16 <= count; i += 16) {
            a = kMax ? _mm256_max_ps(_mm256_loadu_ps(values + i), a) : _mm256_min_ps(_mm256_loadu_ps(values + i), a);
            b = kMax ? _mm256_max_ps(_mm256_loadu_ps(values + i + 8), b)
                     : _mm256_min_ps(_mm256_loadu_ps(values + i + 8), b);
        }
        alignas(32) float lanes[16];
        _mm256_store_ps(lanes, a);
        _mm256_store_ps(lanes + 8, b);
        T result = kStart;
        for (float lane : lanes) result = keep_better<kMax>(lane, result);
        for (; i < count; ++i) result = keep_better<kMax>(values[i], result);
        return result;
    }
}

bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

template <bool kMax, typename R, typename T = typename R::Item>
ColumnFindings extreme(const R& column, const Groups& groups, T* out) {
    ColumnFindings findings;
    constexpr T kStart = extreme_start<kMax, T>();
#if defined(__x86_64__)
    constexpr bool kVectors = kIsFloat<T> && R::kContiguous;
    const bool vectors = kVectors && has_avx2();
#endif
    const std::int64_t rows = groups.bounds[groups.count];
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        T result;
        if (end - begin <= kSmallGroup && begin + kSmallGroup <= rows) {
            // In row order, so that of equal values the first stays, as in pandas' kernels.
            T values[kSmallGroup];
            load_small_group(column, begin, end - begin, kStart, values);
            result = kStart;
            for (const T value : values) result = keep_better<kMax>(value, result);
        } else
#if defined(__x86_64__)
            if constexpr (kVectors) {
            result = vectors && end - begin >= 32
                         ? extreme_of_run_avx2<kMax>(reinterpret_cast<const T*>(column.data) + begin, end - begin)
                         : extreme_of_run<kMax>(column, begin, end);
        } else {
            result = extreme_of_run<kMax>(column, begin, end);
        }
#else
            result = extreme_of_run<kMax>(column, begin, end);
#endif
        if constexpr (kIsFloat<T>) {
            if (result == kStart) {
                // An infinity, or nothing but NaN.
                bool any = false;
                for (std::int64_t row = begin; row < end && !any; ++row) any = column[row] == column[row];
                if (!any) result = std::numeric_limits<T>::quiet_NaN();
            } else if (result == 0) {
                // The first zero of the group is the one a sequential scan keeps.
                bool first_found = false;
                for (std::int64_t row = begin; row < end; ++row) {
                    const T value = column[row];
                    if (value != 0) continue;
                    if (!first_found) {
                        result = value;
                        first_found = true;
                    } else if (std::signbit(value) != std::signbit(result)) {
                        findings.mixed_zero_extreme = true;
                        break;
                    }
                }
            }
        }
        out[g] = result;
    }
    return findings;
}

template <typename R, typename T = typename R::Item>
void count_values(const R& column, const Groups& groups, std::int64_t* out) {
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        if constexpr (kIsFloat<T>) {
            std::int64_t present = 0;
            for (std::int64_t row = begin; row < end; ++row) {
                const T value = column[row];
                present += value == value ? 1 : 0;
            }
            out[g] = present;
        } else {
            out[g] = end - begin;
        }
    }
}

// The running-compensation sum of pandas' group kernels in `Sum`, skipping what `Missing` says is
// missing. A compensation that turned NaN (an infinite value) restarts from zero.
template <typename Sum>
struct CompensatedSum {
    Sum sum = 0;
    Sum compensation = 0;
    std::int64_t present = 0;

    void add(Sum value) {
        ++present;
        const Sum y = value - compensation;
        const Sum t = sum + y;
        Sum next = t - sum - y;
        if (next != next) next = 0;
        compensation = next;
        sum = t;
    }
};

// Sums every group with CompensatedSum and hands each to finish(group, sum, rows). Each sum is one long
// chain of dependent additions, so eight stretches of groups (of about equal row counts) are summed
// side by side, a row of each in turn, every group still in its own row order. Between group ends the
// eight chains advance without branches: a missing value leaves its chain as it was.
template <typename Sum, typename Value, typename Missing, typename Finish>
void compensated_groups(const Groups& groups, const Value& value_at, const Missing& missing, const Finish& finish) {
    constexpr int kLanes = 8;
    const std::int64_t* bounds = groups.bounds;
    const std::int64_t rows = bounds[groups.count];
    std::int64_t group[kLanes], last_group[kLanes], row[kLanes], group_end[kLanes];
    CompensatedSum<Sum> state[kLanes];
    std::int64_t split = 0;
    bool together = true;
    for (int k = 0; k < kLanes; ++k) {
        const std::int64_t next_split =
            k + 1 == kLanes ? groups.count
                            : std::max(split, static_cast<std::int64_t>(
                                                  std::lower_bound(bounds, bounds + groups.count,
                                                                   bounds[0] + (rows - bounds[0]) / kLanes * (k + 1)) -
                                                  bounds));
        group[k] = split;
        last_group[k] = next_split;
        row[k] = bounds[split];
        group_end[k] = split < next_split ? bounds[split + 1] : bounds[split];
        together = together && split < next_split;
        split = next_split;
    }
    while (together) {
        std::int64_t steps = std::numeric_limits<std::int64_t>::max();
        for (int k = 0; k < kLanes; ++k) steps = std::min(steps, group_end[k] - row[k]);
        for (std::int64_t i = 0; i < steps; ++i) {
            for (int k = 0; k < kLanes; ++k) {
                const Sum value = value_at(row[k] + i);
                const bool present = !missing(value);
                CompensatedSum<Sum>& s = state[k];
                const Sum y = value - s.compensation;
                const Sum t = s.sum + y;
                Sum next = t - s.sum - y;
                next = next != next ? Sum{0} : next;
                s.compensation = present ? next : s.compensation;
                s.sum = present ? t : s.sum;
                s.present += present ? 1 : 0;
            }
        }
        for (int k = 0; k < kLanes; ++k) {
            row[k] += steps;
            if (row[k] != group_end[k]) continue;
            finish(group[k], state[k], group_end[k] - bounds[group[k]]);
            state[k] = {};
            if (++group[k] < last_group[k]) {
                group_end[k] = bounds[group[k] + 1];
            } else {
                together = false;
            }
        }
    }
    for (int k = 0; k < kLanes; ++k) {
        for (; group[k] < last_group[k]; ++group[k]) {
            for (; row[k] < bounds[group[k] + 1]; ++row[k]) {
                const Sum value = value_at(row[k]);
                if (!missing(value)) state[k].add(value);
            }
            finish(group[k], state[k], bounds[group[k] + 1] - bounds[group[k]]);
            state[k] = {};
        }
    }
}

// Floats are summed in their own type, integers and bools in float64.
template <typename R, typename T = typename R::Item,
          typename Sum = std::conditional_t<std::is_same_v<T, float>, float, double>>
ColumnFindings compensated_mean(const R& column, const Groups& groups, Sum* out) {
    ColumnFindings findings;
    const auto value_at = [&](std::int64_t row) {
        if constexpr (kIsFloat<T>) {
            return static_cast<Sum>(column[row]);
        } else {
            return static_cast<Sum>(as_double(column[row]));
        }
    };
    const auto missing = [](Sum value) { return kIsFloat<T> && value != value; };
    compensated_groups<Sum>(groups, value_at, missing,
                            [&](std::int64_t g, const CompensatedSum<Sum>& state, std::int64_t size) {
                                findings.has_nan |= state.present != size;
                                out[g] = state.present == 0 ? std::numeric_limits<Sum>::quiet_NaN()
                                                            : state.sum / static_cast<Sum>(state.present);
                            });
    return findings;
}

#if defined(__x86_64__)
// The eight accumulators of a block of pairwise_sum over contiguous float64 values, as two vectors of
// four: each lane adds its own values in the same order, so the sums are the same to the bit.
__attribute__((target("avx2"))) void pairwise_block_avx2(const double* values, std::int64_t n, double (&r)[8]) {
    __m256d low = _mm256_loadu_pd(values);
    __m256d high = _mm256_loadu_pd(values + 4);
    for (std::int64_t i = 8; i < n - n % 8; i += 8) {
        low = _mm256_add_pd(low, _mm256_loadu_pd(values + i));
        high = _mm256_add_pd(high, _mm256_loadu_pd(values + i + 4));
    }
    _mm256_storeu_pd(r, low);
    _mm256_storeu_pd(r + 4, high);
}
#endif

// numpy's pairwise summation of float64 values (its `add` reduction loop): blocks of up to 128 values
// added on eight accumulators, larger runs split in two at a multiple of eight.
template <typename R>
double pairwise_sum(const R& column, std::int64_t first, std::int64_t n) {
#if defined(__x86_64__)
    if constexpr (R::kContiguous && std::is_same_v<typename R::Item, double>) {
        if (n >= 8 && n <= 128 && has_avx2()) {
            double r[8];
            pairwise_block_avx2(reinterpret_cast<const double*>(column.data) + first, n, r);
            double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
            for (std::int64_t i = n - n % 8; i < n; ++i) sum += column[first + i];
            return sum;
        }
    }
#endif
    if (n < 8) {
        double sum = -0.0;
        for (std::int64_t i = 0; i < n; ++i) sum += as_double(column[first + i]);
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = as_double(column[first + k]);
        std::int64_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += as_double(column[first + i + k]);
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += as_double(column[first + i]);
        return sum;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(column, first, half) + pairwise_sum(column, first + half, n - half);
}

// `add.reduceat` over the group starts (the first value, then the pairwise sum of the rest added to
// it), divided by the group sizes. NaN propagates, so a column holding one is reported.
template <typename R, typename T = typename R::Item>
ColumnFindings pairwise_mean(const R& column, const Groups& groups, double* out) {
    ColumnFindings findings;
    const std::int64_t rows = groups.bounds[groups.count];
    std::feclearexcept(FE_ALL_EXCEPT);
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        double sum;
        if (end - begin <= kSmallGroup && begin + kSmallGroup <= rows) {
            // The first value plus numpy's sum of fewer than eight (-0.0, then one at a time); adding
            // -0.0 for the rows past the end changes no sum, -0.0 and NaN included.
            T values[kSmallGroup];
            load_small_group(column, begin, end - begin, column[begin], values);
            double rest = -0.0;
            for (std::int64_t i = 1; i < kSmallGroup; ++i) {
                const double choices[2] = {-0.0, as_double(values[i])};
                rest += choices[i < end - begin];
            }
            sum = as_double(values[0]) + rest;
        } else {
            sum = as_double(column[begin]);
            if (end - begin > 1) sum += pairwise_sum(column, begin + 1, end - begin - 1);
        }
        out[g] = sum / static_cast<double>(end - begin);
        if constexpr (kIsFloat<T>) {
            if (out[g] != out[g] && !findings.has_nan) {
                for (std::int64_t row = begin; row < end; ++row) {
                    const T value = column[row];
                    if (value != value) {
                        findings.has_nan = true;
                        break;
                    }
                }
            }
        }
    }
    findings.floating_point_exception = std::fetestexcept(FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW | FE_DIVBYZERO) != 0;
    return findings;
}

// Calls `reduce(reader)` with a reader of the column's items: of its own element type, and with the
// stride known at compile time when the items are contiguous.
template <typename T, typename Reduce>
ColumnFindings with_reader_of(const InputColumn& column, const Reduce& reduce) {
    if (column.stride == static_cast<std::ptrdiff_t>(sizeof(T)))
        return reduce(Reader<T, true>{column.data, column.stride});
    return reduce(Reader<T, false>{column.data, column.stride});
}

template <typename Reduce>
ColumnFindings with_reader(const InputColumn& column, const Reduce& reduce) {
    switch (column.kind) {
        case ValueKind::Float64:
            return with_reader_of<double>(column, reduce);
        case ValueKind::Float32:
            return with_reader_of<float>(column, reduce);
        case ValueKind::Int64:
            return with_reader_of<std::int64_t>(column, reduce);
        case ValueKind::Int32:
            return with_reader_of<std::int32_t>(column, reduce);
        case ValueKind::Bool:
            return with_reader_of<std::uint8_t>(column, reduce);
    }
    __builtin_unreachable();
}

template <typename R>
using ItemOf = typename std::decay_t<R>::Item;

// The kernels, one per reduction, as the descriptors name them.

template <bool kLast>
ColumnFindings first_or_last_kernel(MeanSum, const InputColumn& column, const Groups& groups, void* out) {
    return with_reader(column, [&](const auto& reader) {
        first_or_last(reader, groups, kLast, static_cast<ItemOf<decltype(reader)>*>(out));
        return ColumnFindings{};
    });
}

template <bool kMax>
ColumnFindings extreme_kernel(MeanSum, const InputColumn& column, const Groups& groups, void* out) {
    return with_reader(column, [&](const auto& reader) {
        return extreme<kMax>(reader, groups, static_cast<ItemOf<decltype(reader)>*>(out));
    });
}

ColumnFindings count_kernel(MeanSum, const InputColumn& column, const Groups& groups, void* out) {
    return with_reader(column, [&](const auto& reader) {
        count_values(reader, groups, static_cast<std::int64_t*>(out));
        return ColumnFindings{};
    });
}

ColumnFindings mean_kernel(MeanSum mean_sum, const InputColumn& column, const Groups& groups, void* out) {
    return with_reader(column, [&](const auto& reader) {
        if (mean_sum == MeanSum::Pairwise) return pairwise_mean(reader, groups, static_cast<double*>(out));
        using Sum = std::conditional_t<std::is_same_v<ItemOf<decltype(reader)>, float>, float, double>;
        return compensated_mean(reader, groups, static_cast<Sum*>(out));
    });
}

// Every pandas version the sampler runs on.
constexpr PandasVersion kAnyPandas{0, 0};

constexpr ReductionDescriptor kFirst{Reduction::First, "first", ResultType::Input,          RowLabel::FirstRow,
                                     kAnyPandas,       true,    first_or_last_kernel<false>};
constexpr ReductionDescriptor kLast{Reduction::Last, "last", ResultType::Input,         RowLabel::LastRow,
                                    kAnyPandas,      true,   first_or_last_kernel<true>};
// The index ascends, so the rows of a period's least (greatest) value are labelled by its first (last) row.
constexpr ReductionDescriptor kMin{Reduction::Min, "min", ResultType::Input,    RowLabel::FirstRow,
                                   kAnyPandas,     true,  extreme_kernel<false>};
constexpr ReductionDescriptor kMax{Reduction::Max, "max", ResultType::Input,   RowLabel::LastRow,
                                   kAnyPandas,     true,  extreme_kernel<true>};
constexpr ReductionDescriptor kCount{Reduction::Count, "count", ResultType::Int64, RowLabel::RowCount,
                                     kAnyPandas,       false,   count_kernel};
// pandas 1.5 drops the timestamp column from a mean and then fails; pandas 2.0 adds an infinite value
// into a NaN compensation. Both keep their own group-by.
constexpr ReductionDescriptor kMean{Reduction::Mean, "mean", ResultType::MeanOf, RowLabel::MeanTimestamp,
                                    {2, 1},          true,   mean_kernel};

}  // namespace

const ReductionDescriptor& describe(Reduction reduction) {
    switch (reduction) {
        case Reduction::First:
            return kFirst;
        case Reduction::Last:
            return kLast;
        case Reduction::Min:
            return kMin;
        case Reduction::Max:
            return kMax;
        case Reduction::Count:
            return kCount;
        case Reduction::Mean:
            return kMean;
    }
    __builtin_unreachable();
}

const ReductionDescriptor* reduction_named(std::string_view name) {
    for (int r = 0; r <= static_cast<int>(kLastReduction); ++r) {
        const ReductionDescriptor& descriptor = describe(static_cast<Reduction>(r));
        if (name == descriptor.name) return &descriptor;
    }
    return nullptr;
}

ValueKind result_kind(ResultType result, ValueKind input, MeanSum mean_sum) {
    switch (result) {
        case ResultType::Input:
            return input;
        case ResultType::Int64:
            return ValueKind::Int64;
        case ResultType::MeanOf:
            return input == ValueKind::Float32 && mean_sum == MeanSum::Compensated ? ValueKind::Float32
                                                                                   : ValueKind::Float64;
    }
    __builtin_unreachable();
}

void mean_of_ticks(const InputColumn& ticks, const Groups& groups, std::int64_t* out) {
    constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
    // pandas compares the float64 value with NaT as a float64, so ticks that round to it count as NaT.
    constexpr double kNaTAsDouble = static_cast<double>(kNaT);
    constexpr double kBeyond = 9223372036854775808.0;  // 2**63
    const Reader<std::int64_t, false> column{ticks.data, ticks.stride};
    const auto value_at = [&](std::int64_t row) { return static_cast<double>(column[row]); };
    const auto finish = [&](std::int64_t g, const CompensatedSum<double>& state, std::int64_t) {
        const double mean = state.present == 0 ? std::numeric_limits<double>::quiet_NaN()
                                               : state.sum / static_cast<double>(state.present);
        // numpy's float64 to datetime64 cast: NaN and values beyond int64 become NaT, the rest are truncated.
        out[g] = mean >= -kBeyond && mean < kBeyond ? static_cast<std::int64_t>(mean) : kNaT;
    };
    // Ascending ticks can only round to NaT at the start; past that, nothing is missing.
    if (groups.count > 0 && value_at(0) != kNaTAsDouble) {
        compensated_groups<double>(groups, value_at, [](double) { return false; }, finish);
        return;
    }
    const auto missing = [](double value) { return value == kNaTAsDouble; };
    compensated_groups<double>(groups, value_at, missing, finish);
}

bool column_has_nan(const InputColumn& column, std::int64_t rows) {
    const auto scan = [&](auto zero) {
        using T = decltype(zero);
        const Reader<T, false> reader{column.data, column.stride};
        for (std::int64_t row = 0; row < rows; ++row) {
            const T value = reader[row];
            if (value != value) return true;
        }
        return false;
    };
    if (column.kind == ValueKind::Float64) return scan(0.0);
    if (column.kind == ValueKind::Float32) return scan(0.0f);
    return false;
}

}  // namespace samplers
