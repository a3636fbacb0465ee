// One pass over each window's rows: the price's first, highest, lowest and last values with the rows that
// gave them, and the sums of the size and of the VWAP, each taken as pandas' group-by takes it.
#include "kernel.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "samplers/parallel.hpp"
#include "samplers/timestamps.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace bars {

namespace {

constexpr std::int64_t kNaT = samplers::kNaT;
// Below this many rows a pass is cheaper than starting a thread.
constexpr std::int64_t kRowsWorthThreads = 1 << 17;

template <typename T>
constexpr bool kIsFloat = std::is_floating_point_v<T>;

// Columns are contiguous (the plan step makes them so), so that loops over them vectorise.
template <typename T>
T read(const Column& column, std::int64_t row) {
    return reinterpret_cast<const T*>(column.data)[row];
}

template <typename T>
bool missing(T value) {
    if constexpr (kIsFloat<T>) {
        return value != value;
    } else {
        return false;
    }
}

template <typename T>
T not_a_number() {
    if constexpr (kIsFloat<T>) {
        return std::numeric_limits<T>::quiet_NaN();
    } else {
        return T{};
    }
}

// pandas' compensated group sum (its NaN compensation after an infinite value reset to zero).
template <typename A>
struct CompensatedSum {
    A sum = 0;
    A compensation = 0;
    void add(A value) {
        const A y = value - compensation;
        const A t = sum + y;
        compensation = t - sum - y;
        if (compensation != compensation) compensation = 0;
        sum = t;
    }
};

// numpy's pairwise summation (its `add` reduction loop) of value(first) .. value(first + n - 1).
template <typename A, typename Value>
A pairwise_sum(const Value& value, std::int64_t first, std::int64_t n) {
    if (n < 8) {
        A sum = static_cast<A>(-0.0);
        for (std::int64_t i = 0; i < n; ++i) sum += value(first + i);
        return sum;
    }
    if (n <= 128) {
        A r[8];
        for (int k = 0; k < 8; ++k) r[k] = value(first + k);
        std::int64_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += value(first + i + k);
        }
        A sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += value(first + i);
        return sum;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_sum<A>(value, first, half) + pairwise_sum<A>(value, first + half, n - half);
}

// `add.reduceat` over one run: its first value plus the pairwise sum of the rest.
template <typename A, typename Value>
A reduceat_sum(const Value& value, std::int64_t begin, std::int64_t end) {
    A sum = value(begin);
    if (end - begin > 1) sum += pairwise_sum<A>(value, begin + 1, end - begin - 1);
    return sum;
}

#if defined(__x86_64__)
bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// The highest and the lowest float64 of values[0, count), NaN skipped (a NaN lane keeps what it had), and
// whether a NaN was met. Where nothing but NaN was met, the start values come back.
__attribute__((target("avx2"))) bool extremes_avx2(const double* values, std::int64_t count, double& highest,
                                                   double& lowest) {
    __m256d high_a = _mm256_set1_pd(-std::numeric_limits<double>::infinity()), high_b = high_a;
    __m256d low_a = _mm256_set1_pd(std::numeric_limits<double>::infinity()), low_b = low_a;
    __m256d nan = _mm256_setzero_pd();
    std::int64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256d a = _mm256_loadu_pd(values + i);
        const __m256d b = _mm256_loadu_pd(values + i + 4);
        // max/min give their second operand when the first is NaN.
        high_a = _mm256_max_pd(a, high_a);
        high_b = _mm256_max_pd(b, high_b);
        low_a = _mm256_min_pd(a, low_a);
        low_b = _mm256_min_pd(b, low_b);
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(a, b, _CMP_UNORD_Q));
    }
    alignas(32) double lanes[16];
    _mm256_store_pd(lanes, high_a);
    _mm256_store_pd(lanes + 4, high_b);
    _mm256_store_pd(lanes + 8, low_a);
    _mm256_store_pd(lanes + 12, low_b);
    bool nan_seen = _mm256_movemask_pd(nan) != 0;
    highest = lanes[0];
    lowest = lanes[8];
    for (int k = 1; k < 8; ++k) {
        if (lanes[k] > highest) highest = lanes[k];
        if (lanes[8 + k] < lowest) lowest = lanes[8 + k];
    }
    for (; i < count; ++i) {
        const double value = values[i];
        nan_seen |= value != value;
        if (value > highest) highest = value;
        if (value < lowest) lowest = value;
    }
    return nan_seen;
}

// The first position of values[0, count) equal to `target`, which is there.
__attribute__((target("avx2"))) std::int64_t first_equal_avx2(const double* values, std::int64_t count, double target) {
    const __m256d wanted = _mm256_set1_pd(target);
    std::int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const int mask = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(values + i), wanted, _CMP_EQ_OQ));
        if (mask != 0) return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
    while (values[i] != target) ++i;
    return i;
}

// numpy's pairwise summation of values[i] (or of values[i] * factors[i]), as pairwise_sum below, its
// blocks' eight accumulators held as two vectors of four: each lane adds its own values in the same order,
// and without fused multiply-adds each product is rounded as numpy rounds it, so the sums agree to the bit.
template <bool kProducts>
__attribute__((target("avx2"))) double pairwise_avx2(const double* values, const double* factors, std::int64_t n) {
    const auto value = [&](std::int64_t i) { return kProducts ? values[i] * factors[i] : values[i]; };
    if (n < 8) {
        double sum = -0.0;
        for (std::int64_t i = 0; i < n; ++i) sum += value(i);
        return sum;
    }
    if (n <= 128) {
        __m256d low = _mm256_loadu_pd(values);
        __m256d high = _mm256_loadu_pd(values + 4);
        if constexpr (kProducts) {
            low = _mm256_mul_pd(low, _mm256_loadu_pd(factors));
            high = _mm256_mul_pd(high, _mm256_loadu_pd(factors + 4));
        }
        std::int64_t i = 8;
        for (; i < n - n % 8; i += 8) {
            __m256d next_low = _mm256_loadu_pd(values + i);
            __m256d next_high = _mm256_loadu_pd(values + i + 4);
            if constexpr (kProducts) {
                next_low = _mm256_mul_pd(next_low, _mm256_loadu_pd(factors + i));
                next_high = _mm256_mul_pd(next_high, _mm256_loadu_pd(factors + i + 4));
            }
            low = _mm256_add_pd(low, next_low);
            high = _mm256_add_pd(high, next_high);
        }
        alignas(32) double r[8];
        _mm256_store_pd(r, low);
        _mm256_store_pd(r + 4, high);
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += value(i);
        return sum;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_avx2<kProducts>(values, factors, half) +
           pairwise_avx2<kProducts>(values + half, kProducts ? factors + half : factors, n - half);
}
#endif

struct NoSize {};

// NaN met in a pass: pandas then sums the whole column with compensation, not pairwise.
struct MissingSeen {
    bool price = false;
    bool size = false;
};

template <typename P, typename S, typename V>
class BarKernel {
public:
    BarKernel(const BarPlan& plan, const Runs& runs, const BarOutputs& out) : plan_(plan), runs_(runs), out_(out) {}

    std::int64_t window_start(std::int64_t row) const {
        const auto at = static_cast<std::uint64_t>(
            samplers::wrapped_nanoseconds(plan_.wall[row], plan_.nanoseconds_per_tick) - (plan_.closed_right ? 1 : 0));
        const auto step = static_cast<std::uint64_t>(plan_.step);
        const auto origin = static_cast<std::uint64_t>(plan_.grid_start);
        return static_cast<std::int64_t>(origin + (at - origin) / step * step);
    }

    // The slot of run k in the outputs.
    std::int64_t slot(std::int64_t k, std::int64_t first_start) const {
        if (!plan_.fill) return k;
        return (window_start(runs_.bounds[k]) - first_start) / plan_.step;
    }

    MissingSeen runs(std::int64_t first, std::int64_t last) const {
        const std::int64_t first_start = window_start(0);
        MissingSeen seen;
        for (std::int64_t k = first; k < last; ++k) {
            one_run(slot(k, first_start), runs_.bounds[k], runs_.bounds[k + 1], seen);
        }
        return seen;
    }

    // The sums again, with the ways the pass found to apply.
    void sums_again(const BarPlan& plan, std::int64_t first, std::int64_t last) const {
        const BarKernel again(plan, runs_, out_);
        const std::int64_t first_start = window_start(0);
        MissingSeen ignored;
        for (std::int64_t k = first; k < last; ++k) {
            if constexpr (!std::is_same_v<S, NoSize>) {
                again.sums(slot(k, first_start), runs_.bounds[k], runs_.bounds[k + 1], ignored);
            }
        }
    }

    // The windows without rows, when they are given: the last close carried into their prices, and labels.
    void fill_gaps() const {
        if (!plan_.fill) return;
        P* open = static_cast<P*>(out_.open);
        P* high = static_cast<P*>(out_.high);
        P* low = static_cast<P*>(out_.low);
        P* close = static_cast<P*>(out_.close);
        P carried = not_a_number<P>();
        std::int64_t offset = 0;
        const std::int64_t first_start = window_start(0);
        for (std::int64_t b = 0; b < runs_.bars; ++b) {
            if (out_.trades[b] != 0) {
                if (out_.close_time[b] != kNaT) carried = close[b];
                offset = out_.labels[b] - label_ticks(first_start + b * plan_.step);
                continue;
            }
            open[b] = high[b] = low[b] = close[b] = carried;
            out_.vwap[b] = std::numeric_limits<double>::quiet_NaN();
            out_.open_time[b] = out_.high_time[b] = out_.low_time[b] = out_.close_time[b] = kNaT;
            if constexpr (!std::is_same_v<S, NoSize>) static_cast<V*>(out_.volume)[b] = 0;
            out_.labels[b] = label_ticks(first_start + b * plan_.step) + offset;
        }
    }

private:
    // A window's label as wall-clock ticks of the index's unit.
    std::int64_t label_ticks(std::int64_t start) const {
        const std::int64_t label = plan_.label_right ? start + plan_.step : start;
        return label / plan_.nanoseconds_per_tick;
    }

    void one_run(std::int64_t b, std::int64_t begin, std::int64_t end, MissingSeen& seen) const {
#if defined(__x86_64__)
        if constexpr (std::is_same_v<P, double>) {
            if (end - begin >= 32 && has_avx2()) return one_long_run(b, begin, end, seen);
        }
#endif
        std::int64_t present = 0;
        std::int64_t open_row = -1;
        std::int64_t high_row = -1;
        std::int64_t low_row = -1;
        std::int64_t close_row = -1;
        P highest{};
        P lowest{};
        for (std::int64_t row = begin; row < end; ++row) {
            const P price = read<P>(plan_.price, row);
            if (missing(price)) continue;
            ++present;
            if (open_row < 0) {
                open_row = high_row = low_row = row;
                highest = lowest = price;
            } else {
                if (price > highest) {
                    highest = price;
                    high_row = row;
                }
                if (price < lowest) {
                    lowest = price;
                    low_row = row;
                }
            }
            close_row = row;
        }
        seen.price |= present != end - begin;
        finish_run(b, begin, end, open_row, high_row, low_row, close_row, seen);
    }

#if defined(__x86_64__)
    // A float64 run long enough for vectors: its extremes first, then the first rows that reach them.
    void one_long_run(std::int64_t b, std::int64_t begin, std::int64_t end, MissingSeen& seen) const {
        const double* prices = reinterpret_cast<const double*>(plan_.price.data);
        double highest;
        double lowest;
        seen.price |= extremes_avx2(prices + begin, end - begin, highest, lowest);
        std::int64_t open_row = begin;
        while (open_row < end && missing(prices[open_row])) ++open_row;
        std::int64_t high_row = -1;
        std::int64_t low_row = -1;
        std::int64_t close_row = -1;
        if (open_row == end) {
            open_row = -1;
        } else {
            high_row = open_row + first_equal_avx2(prices + open_row, end - open_row, highest);
            low_row = open_row + first_equal_avx2(prices + open_row, end - open_row, lowest);
            close_row = end - 1;
            while (missing(prices[close_row])) --close_row;
        }
        finish_run(b, begin, end, open_row, high_row, low_row, close_row, seen);
    }
#endif

    // The outputs of run `b`, from the rows that gave its open, high, low and close (-1: none).
    void finish_run(std::int64_t b, std::int64_t begin, std::int64_t end, std::int64_t open_row, std::int64_t high_row,
                    std::int64_t low_row, std::int64_t close_row, MissingSeen& seen) const {
        const auto price_at = [&](std::int64_t row) { return row < 0 ? not_a_number<P>() : read<P>(plan_.price, row); };
        const auto time_at = [&](std::int64_t row) { return row < 0 ? kNaT : plan_.instants[row]; };
        static_cast<P*>(out_.open)[b] = price_at(open_row);
        static_cast<P*>(out_.high)[b] = price_at(high_row);
        static_cast<P*>(out_.low)[b] = price_at(low_row);
        static_cast<P*>(out_.close)[b] = price_at(close_row);
        out_.open_time[b] = time_at(open_row);
        out_.high_time[b] = time_at(high_row);
        out_.low_time[b] = time_at(low_row);
        out_.close_time[b] = time_at(close_row);
        out_.trades[b] = end - begin;
        // The label's wall-clock time, moved by the run's first row to the index's own time line.
        out_.labels[b] = label_ticks(window_start(begin)) + (plan_.instants[begin] - plan_.wall[begin]);
        if constexpr (!std::is_same_v<S, NoSize>) sums(b, begin, end, seen);
    }

    void sums(std::int64_t b, std::int64_t begin, std::int64_t end, MissingSeen& seen) const {
        const auto size_at = [&](std::int64_t row) { return read<S>(plan_.size, row); };
        V* volume = static_cast<V*>(out_.volume);
#if defined(__x86_64__)
        if constexpr (std::is_same_v<P, double> && std::is_same_v<S, double>) {
            if (plan_.vwap_sum == SumWay::Pairwise && plan_.volume_sum == SumWay::Pairwise && has_avx2()) {
                // The sizes' sum is the volume's; the amounts' sum is taken as numpy takes it of the products.
                const double* prices = reinterpret_cast<const double*>(plan_.price.data) + begin;
                const double* sizes = reinterpret_cast<const double*>(plan_.size.data) + begin;
                const std::int64_t n = end - begin;
                const double weight = sizes[0] + pairwise_avx2<false>(sizes + 1, nullptr, n - 1);
                const double amount = prices[0] * sizes[0] + pairwise_avx2<true>(prices + 1, sizes + 1, n - 1);
                volume[b] = weight;
                seen.size |= weight != weight;
                out_.vwap[b] = weight == 0 ? std::numeric_limits<double>::quiet_NaN() : amount / weight;
                return;
            }
        }
#endif
        if constexpr (kIsFloat<S>) {
            if (plan_.volume_sum == SumWay::Pairwise) {
                volume[b] = reduceat_sum<V>(size_at, begin, end);
            } else {
                CompensatedSum<V> sum;
                for (std::int64_t row = begin; row < end; ++row) {
                    const S size = size_at(row);
                    if (!missing(size)) sum.add(size);
                }
                volume[b] = sum.sum;
            }
        } else {
            // Integers wrap as numpy's and pandas' integer sums do.
            using U = std::make_unsigned_t<V>;
            U sum = 0;
            for (std::int64_t row = begin; row < end; ++row) sum += static_cast<U>(static_cast<V>(size_at(row)));
            volume[b] = static_cast<V>(sum);
        }

        double amount;
        double weight;
        if (plan_.vwap_sum == SumWay::Pairwise) {
            const auto amount_at = [&](std::int64_t row) {
                return static_cast<double>(read<P>(plan_.price, row)) * static_cast<double>(size_at(row));
            };
            const auto weight_at = [&](std::int64_t row) { return static_cast<double>(size_at(row)); };
            amount = reduceat_sum<double>(amount_at, begin, end);
            weight = reduceat_sum<double>(weight_at, begin, end);
            seen.size |= weight != weight;  // a NaN size makes the sum of the sizes NaN
        } else {
            CompensatedSum<double> amounts;
            CompensatedSum<double> weights;
            for (std::int64_t row = begin; row < end; ++row) {
                const P price = read<P>(plan_.price, row);
                const S size = size_at(row);
                if (missing(price) || missing(size)) continue;
                amounts.add(static_cast<double>(price) * static_cast<double>(size));
                weights.add(static_cast<double>(size));
            }
            amount = amounts.sum;
            weight = weights.sum;
        }
        out_.vwap[b] = weight == 0 ? std::numeric_limits<double>::quiet_NaN() : amount / weight;
    }

    const BarPlan& plan_;
    const Runs& runs_;
    const BarOutputs& out_;
};

template <typename P, typename S, typename V>
void compute_typed(const BarPlan& plan, const Runs& runs, const BarOutputs& out, bool threads) {
    const BarKernel<P, S, V> kernel(plan, runs, out);
    if (plan.fill) {
        // Every slot starts empty; the runs then fill theirs.
        for (std::int64_t b = 0; b < runs.bars; ++b) out.trades[b] = 0;
    }
    const std::int64_t count = static_cast<std::int64_t>(runs.bounds.size()) - 1;
    const std::size_t parts = threads && plan.rows >= kRowsWorthThreads && count > 1 ? 2 : 1;
    // Parts of about equal row counts.
    const auto cut = [&](std::size_t p) -> std::int64_t {
        if (p == 0) return 0;
        if (p == parts) return count;
        const std::int64_t row = plan.rows / static_cast<std::int64_t>(parts) * static_cast<std::int64_t>(p);
        std::int64_t k = 0;
        while (k < count && runs.bounds[k] < row) ++k;
        return k;
    };
    MissingSeen seen[2];
    samplers::run_tasks(parts, parts > 1,
                        [&](std::size_t part) { seen[part] = kernel.runs(cut(part), cut(part + 1)); });
    // Pairwise sums were taken on the chance that the columns hold no NaN; where they do, pandas sums the
    // whole column with compensation, and so does a second pass over the sums.
    const bool price_nan = seen[0].price || seen[1].price;
    const bool size_nan = seen[0].size || seen[1].size;
    BarPlan again = plan;
    if (size_nan) again.volume_sum = SumWay::Compensated;
    if (size_nan || price_nan) again.vwap_sum = SumWay::Compensated;
    if (plan.has_size && (again.volume_sum != plan.volume_sum || again.vwap_sum != plan.vwap_sum)) {
        samplers::run_tasks(parts, parts > 1,
                            [&](std::size_t part) { kernel.sums_again(again, cut(part), cut(part + 1)); });
    }
    kernel.fill_gaps();
}

template <typename P>
void with_size(const BarPlan& plan, const Runs& runs, const BarOutputs& out, bool threads) {
    if (!plan.has_size) return compute_typed<P, NoSize, double>(plan, runs, out, threads);
    switch (plan.size.kind) {
        case ValueKind::Float64:
            return compute_typed<P, double, double>(plan, runs, out, threads);
        case ValueKind::Float32:
            return compute_typed<P, float, float>(plan, runs, out, threads);
        case ValueKind::Int64:
            return compute_typed<P, std::int64_t, std::int64_t>(plan, runs, out, threads);
        case ValueKind::Int32:
            return compute_typed<P, std::int32_t, std::int32_t>(plan, runs, out, threads);
        case ValueKind::Bool:
            return;  // refused when the columns are read
    }
}

// The first row of [low, high) whose time is at or past `next`, or `high`: a search that gallops from a
// guess (a window's rows are about as many as the last one's), then halves what it bracketed. Ascending
// times make that a few reads near the answer; times changed since they were checked still give a row of
// [low, high].
template <typename At>
std::int64_t first_row_at_or_after(const At& at, std::int64_t next, std::int64_t low, std::int64_t high,
                                   std::int64_t guess) {
    if (low < high) {
        const std::int64_t probe = std::clamp(guess, low, high - 1);
        if (at(probe) < next) {
            low = probe + 1;
            for (std::int64_t step = 1; low + step < high; step *= 2) {
                if (at(low + step - 1) >= next) {
                    high = low + step - 1;
                    break;
                }
                low += step;
            }
        } else {
            high = probe;
            for (std::int64_t step = 1; high - step >= low; step *= 2) {
                if (at(high - step) < next) {
                    low = high - step + 1;
                    break;
                }
                high -= step;
            }
        }
    }
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (at(middle) < next) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

}  // namespace

std::int64_t Ticks::operator[](std::int64_t row) const { return reinterpret_cast<const std::int64_t*>(data)[row]; }

Runs find_runs(const BarPlan& plan) {
    Runs runs;
    const std::int64_t rows = plan.rows;
    if (rows == 0) {
        runs.bounds.push_back(0);
        return runs;
    }
    const std::int64_t shift = plan.closed_right ? 1 : 0;
    const auto at = [&](std::int64_t row) {
        return samplers::wrapped_nanoseconds(plan.wall[row], plan.nanoseconds_per_tick) - shift;
    };
    samplers::PeriodCursor cursor(plan.grid_start, plan.step);
    cursor.enters_new_period(at(0));
    const std::int64_t first_start = cursor.start();
    runs.bounds.push_back(0);
    std::int64_t row = 0;
    std::int64_t previous_length = 1;
    while (true) {
        const std::int64_t next = cursor.next_start();
        row = first_row_at_or_after(at, next, row + 1, rows, row + previous_length);
        previous_length = row - runs.bounds.back();
        if (row >= rows) break;
        cursor.enters_new_period(at(row));
        runs.bounds.push_back(row);
    }
    runs.bounds.push_back(rows);
    const std::int64_t runs_found = static_cast<std::int64_t>(runs.bounds.size()) - 1;
    runs.bars = plan.fill ? (cursor.start() - first_start) / plan.step + 1 : runs_found;
    return runs;
}

void compute_bars(const BarPlan& plan, const Runs& runs, const BarOutputs& out, bool threads) {
    if (runs.bounds.size() < 2) return;
    switch (plan.price.kind) {
        case ValueKind::Float64:
            return with_size<double>(plan, runs, out, threads);
        case ValueKind::Float32:
            return with_size<float>(plan, runs, out, threads);
        case ValueKind::Int64:
            return with_size<std::int64_t>(plan, runs, out, threads);
        case ValueKind::Int32:
            return with_size<std::int32_t>(plan, runs, out, threads);
        case ValueKind::Bool:
            return;  // refused when the columns are read
    }
}

}  // namespace bars
