// Group reductions over contiguous runs of rows, value for value what pandas' group-by gives:
//
// * first / last: the first (last) non-NaN value of the group, NaN when there is none.
// * min / max: NaN is skipped, an all-NaN group gives NaN; among equal values the first one seen wins,
//   which only shows for zeros (0.0 against -0.0).
// * count: the non-NaN values of the group.
// * mean: see MeanSum; NaN is skipped, an all-NaN group gives NaN, the sum is divided by the count in
//   the summing type.
#include "native_reductions.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace samplers {

namespace {

template <typename T>
inline T load(const InputColumn& column, std::int64_t row) {
    T value;
    std::memcpy(&value, column.data + row * column.stride, sizeof value);
    return value;
}

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

template <typename T>
void first_or_last(const InputColumn& column, const Groups& groups, bool last, T* out) {
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        if constexpr (kIsFloat<T>) {
            T found = std::numeric_limits<T>::quiet_NaN();
            if (last) {
                for (std::int64_t row = end; row-- > begin;) {
                    const T value = load<T>(column, row);
                    if (value == value) {
                        found = value;
                        break;
                    }
                }
            } else {
                for (std::int64_t row = begin; row < end; ++row) {
                    const T value = load<T>(column, row);
                    if (value == value) {
                        found = value;
                        break;
                    }
                }
            }
            out[g] = found;
        } else {
            out[g] = load<T>(column, last ? end - 1 : begin);
        }
    }
}

// Four running extremes per group keep the comparisons independent; for integers and for non-zero
// floats the order does not matter, and a zero extreme is settled by a second look (see below).
template <typename T, bool kMax>
ColumnFindings extreme(const InputColumn& column, const Groups& groups, T* out) {
    ColumnFindings findings;
    constexpr T kStart = kMax ? (kIsFloat<T> ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::lowest())
                              : (kIsFloat<T> ? std::numeric_limits<T>::infinity() : std::numeric_limits<T>::max());
    const auto better = [](T candidate, T current) { return kMax ? candidate > current : candidate < current; };
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        T lane[4] = {kStart, kStart, kStart, kStart};
        bool seen[4] = {false, false, false, false};
        std::int64_t row = begin;
        for (; row + 4 <= end; row += 4) {
            for (int k = 0; k < 4; ++k) {
                const T value = load<T>(column, row + k);
                lane[k] = better(value, lane[k]) ? value : lane[k];
                if constexpr (kIsFloat<T>) seen[k] |= value == value;
            }
        }
        for (; row < end; ++row) {
            const T value = load<T>(column, row);
            lane[0] = better(value, lane[0]) ? value : lane[0];
            if constexpr (kIsFloat<T>) seen[0] |= value == value;
        }
        T result = lane[0];
        for (int k = 1; k < 4; ++k) result = better(lane[k], result) ? lane[k] : result;
        if constexpr (kIsFloat<T>) {
            if (!(seen[0] || seen[1] || seen[2] || seen[3])) {
                result = std::numeric_limits<T>::quiet_NaN();
            } else if (result == 0) {
                // The first zero of the group is the one a sequential scan keeps.
                bool first_found = false;
                for (std::int64_t r = begin; r < end; ++r) {
                    const T value = load<T>(column, r);
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

template <typename T>
void count_values(const InputColumn& column, const Groups& groups, std::int64_t* out) {
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        if constexpr (kIsFloat<T>) {
            std::int64_t present = 0;
            for (std::int64_t row = begin; row < end; ++row) {
                const T value = load<T>(column, row);
                present += value == value ? 1 : 0;
            }
            out[g] = present;
        } else {
            out[g] = end - begin;
        }
    }
}

// The running-compensation sum of pandas' group kernels, in `Sum` (the float type of the column, float64
// for integers), skipping NaN. A compensation that turned NaN (an infinite value) restarts from zero.
template <typename T, typename Sum>
ColumnFindings compensated_mean(const InputColumn& column, const Groups& groups, Sum* out) {
    ColumnFindings findings;
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        Sum sum = 0;
        Sum compensation = 0;
        std::int64_t present = 0;
        for (std::int64_t row = begin; row < end; ++row) {
            Sum value;
            if constexpr (kIsFloat<T>) {
                value = static_cast<Sum>(load<T>(column, row));
                if (value != value) continue;
            } else {
                value = static_cast<Sum>(as_double(load<T>(column, row)));
            }
            ++present;
            const Sum y = value - compensation;
            const Sum t = sum + y;
            Sum next = t - sum - y;
            if (next != next) next = 0;
            compensation = next;
            sum = t;
        }
        findings.has_nan |= present != end - begin;
        out[g] = present == 0 ? std::numeric_limits<Sum>::quiet_NaN() : sum / static_cast<Sum>(present);
    }
    return findings;
}

// numpy's pairwise summation of float64 values (its `add` reduction loop): blocks of up to 128 values
// added on eight accumulators, larger runs split in two at a multiple of eight.
template <typename T>
double pairwise_sum(const InputColumn& column, std::int64_t first, std::int64_t n) {
    if (n < 8) {
        double sum = -0.0;
        for (std::int64_t i = 0; i < n; ++i) sum += as_double(load<T>(column, first + i));
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = as_double(load<T>(column, first + k));
        std::int64_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += as_double(load<T>(column, first + i + k));
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += as_double(load<T>(column, first + i));
        return sum;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_sum<T>(column, first, half) + pairwise_sum<T>(column, first + half, n - half);
}

// `add.reduceat` over the group starts (the first value, then the pairwise sum of the rest added to
// it), divided by the group sizes. NaN propagates, so a column holding one is reported.
template <typename T>
ColumnFindings pairwise_mean(const InputColumn& column, const Groups& groups, double* out) {
    ColumnFindings findings;
    std::feclearexcept(FE_ALL_EXCEPT);
    for (std::int64_t g = 0; g < groups.count; ++g) {
        const std::int64_t begin = groups.bounds[g];
        const std::int64_t end = groups.bounds[g + 1];
        double sum = as_double(load<T>(column, begin));
        if (end - begin > 1) sum += pairwise_sum<T>(column, begin + 1, end - begin - 1);
        out[g] = sum / static_cast<double>(end - begin);
        if constexpr (kIsFloat<T>) {
            if (out[g] != out[g] && !findings.has_nan) {
                for (std::int64_t row = begin; row < end; ++row) {
                    const T value = load<T>(column, row);
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

template <typename T>
ColumnFindings reduce_typed(Reduction reduction, MeanSum mean_sum, const InputColumn& column, const Groups& groups,
                            void* out) {
    switch (reduction) {
        case Reduction::First:
        case Reduction::Last:
            first_or_last<T>(column, groups, reduction == Reduction::Last, static_cast<T*>(out));
            return {};
        case Reduction::Min:
            return extreme<T, false>(column, groups, static_cast<T*>(out));
        case Reduction::Max:
            return extreme<T, true>(column, groups, static_cast<T*>(out));
        case Reduction::Count:
            count_values<T>(column, groups, static_cast<std::int64_t*>(out));
            return {};
        case Reduction::Mean:
            if (mean_sum == MeanSum::Pairwise) return pairwise_mean<T>(column, groups, static_cast<double*>(out));
            if constexpr (std::is_same_v<T, float>) {
                return compensated_mean<T, float>(column, groups, static_cast<float*>(out));
            } else {
                return compensated_mean<T, double>(column, groups, static_cast<double*>(out));
            }
    }
    return {};
}

}  // namespace

ValueKind result_kind(Reduction reduction, ValueKind input, MeanSum mean_sum) {
    switch (reduction) {
        case Reduction::Count:
            return ValueKind::Int64;
        case Reduction::Mean:
            return input == ValueKind::Float32 && mean_sum == MeanSum::Compensated ? ValueKind::Float32
                                                                                   : ValueKind::Float64;
        default:
            return input;
    }
}

std::size_t item_size(ValueKind kind) {
    switch (kind) {
        case ValueKind::Float64:
        case ValueKind::Int64:
            return 8;
        case ValueKind::Float32:
        case ValueKind::Int32:
            return 4;
        case ValueKind::Bool:
            return 1;
    }
    return 8;
}

ColumnFindings reduce_column(Reduction reduction, MeanSum mean_sum, const InputColumn& column, const Groups& groups,
                             void* out) {
    switch (column.kind) {
        case ValueKind::Float64:
            return reduce_typed<double>(reduction, mean_sum, column, groups, out);
        case ValueKind::Float32:
            return reduce_typed<float>(reduction, mean_sum, column, groups, out);
        case ValueKind::Int64:
            return reduce_typed<std::int64_t>(reduction, mean_sum, column, groups, out);
        case ValueKind::Int32:
            return reduce_typed<std::int32_t>(reduction, mean_sum, column, groups, out);
        case ValueKind::Bool:
            return reduce_typed<std::uint8_t>(reduction, mean_sum, column, groups, out);
    }
    return {};
}

void mean_of_ticks(const InputColumn& ticks, const Groups& groups, std::int64_t* out) {
    constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
    // pandas compares the float64 value with NaT as a float64, so ticks that round to it count as NaT.
    constexpr double kNaTAsDouble = static_cast<double>(kNaT);
    constexpr double kBeyond = 9223372036854775808.0;  // 2**63
    for (std::int64_t g = 0; g < groups.count; ++g) {
        double sum = 0;
        double compensation = 0;
        std::int64_t present = 0;
        for (std::int64_t row = groups.bounds[g]; row < groups.bounds[g + 1]; ++row) {
            const double value = static_cast<double>(load<std::int64_t>(ticks, row));
            if (value == kNaTAsDouble) continue;
            ++present;
            const double y = value - compensation;
            const double t = sum + y;
            double next = t - sum - y;
            if (next != next) next = 0;
            compensation = next;
            sum = t;
        }
        const double mean = present == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(present);
        // numpy's float64 to datetime64 cast: NaN and values beyond int64 become NaT, the rest are truncated.
        out[g] = mean >= -kBeyond && mean < kBeyond ? static_cast<std::int64_t>(mean) : kNaT;
    }
}

bool column_has_nan(const InputColumn& column, std::int64_t rows) {
    const auto scan = [&](auto zero) {
        using T = decltype(zero);
        for (std::int64_t row = 0; row < rows; ++row) {
            const T value = load<T>(column, row);
            if (value != value) return true;
        }
        return false;
    };
    if (column.kind == ValueKind::Float64) return scan(0.0);
    if (column.kind == ValueKind::Float32) return scan(0.0f);
    return false;
}

}  // namespace samplers
