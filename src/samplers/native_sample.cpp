// The whole sampling step in C++ for the tables it is most often asked for: a plain DataFrame of
// float64, float32, int64, int32 and bool columns with text labels, on an index the native labelling
// pass handles, reduced by one of the methods native_reductions.hpp describes.
//
// On a sorted index each period's rows are one contiguous run, so one pass over the timestamps finds
// the runs' bounds and each column is reduced run by run straight from its buffer; the result is
// assembled directly, as the group-by and the index steps would have left it. Three steps:
//
// * plan: checks the index (its unit, time zone and NaT in laying the grid, its order in the pass that
//   finds the runs), lays the grid once, reads the columns and picks each column's kernel; and decides,
//   in one place, whether the table is reduced here or by pandas' group-by (ToPandas says why), to which
//   it then hands the grid;
// * compute: runs the kernels without the interpreter lock, the columns on up to as many threads as
//   there are cores;
// * assemble: builds the table and its index.
#include <algorithm>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "index_order.hpp"
#include "native_reductions.hpp"
#include "pandas_ways.hpp"
#include "parallel.hpp"
#include "samplers.hpp"
#include "timestamps.hpp"

namespace samplers {

namespace {

// Below this many values a pass is cheaper than starting a thread.
constexpr std::int64_t kValuesWorthThreads = 1 << 17;

// ---- plan ----

const ReductionDescriptor* reduction_of(PyObject* func_name) {
    if (!PyUnicode_CheckExact(func_name)) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(func_name, &size);
    if (text == nullptr) rt::raise_pending();
    return reduction_named(std::string_view(text, static_cast<std::size_t>(size)));
}

// The columns of the table as buffers, with their labels; nothing when a column or label is not of the
// kinds reduced here.
struct Columns {
    rt::Ref index;  // df.columns
    std::vector<rt::Ref> labels;
    std::vector<rt::Ref> arrays;
    std::deque<rt::Buffer> buffers;
    std::vector<InputColumn> inputs;
};

bool read_columns(PyObject* pd, PyObject* np, PyObject* df, PyObject* index_col, Py_ssize_t rows, Columns& columns) {
    columns.index = rt::attr(df, n_columns);
    rt::Ref plain_index = rt::attr(pd, n_Index);
    if (Py_TYPE(columns.index.get()) != reinterpret_cast<PyTypeObject*>(plain_index.get())) return false;
    rt::Ref unique = rt::attr(columns.index.get(), n_is_unique);
    if (!rt::truth(unique.get())) return false;

    rt::Ref items = rt::call_method(df, n_items);
    rt::Ref iterator = rt::Ref::steal(PyObject_GetIter(items.get()));
    while (rt::Ref pair = rt::Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) return false;
        PyObject* label = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* series = PyTuple_GET_ITEM(pair.get(), 1);
        // Text labels other than the index's name and the label column's name leave the column index
        // as the group-by and index steps would leave it: the table's own.
        if (!PyUnicode_CheckExact(label) || PyUnicode_Compare(label, index_col) == 0 ||
            PyUnicode_Compare(label, n_group_by_label) == 0) {
            return false;
        }
        rt::Ref dtype = rt::attr(series, n_dtype);
        const std::optional<ValueKind> kind = value_kind(np, dtype.get());
        if (!kind) return false;
        rt::Ref array = rt::call_method(series, n_to_numpy);
        rt::Buffer& buffer = columns.buffers.emplace_back(array.get(), PyBUF_STRIDES | PyBUF_FORMAT);
        if (buffer.ndim() != 1 || buffer.length() != rows ||
            static_cast<std::size_t>(buffer.itemsize()) != item_size(*kind)) {
            return false;
        }
        columns.labels.push_back(rt::Ref::borrow(label));
        columns.arrays.push_back(std::move(array));
        columns.inputs.push_back({static_cast<const char*>(buffer.data()), buffer.stride(), *kind});
    }
    if (PyErr_Occurred()) rt::raise_pending();
    return !columns.inputs.empty();
}

// The bounds of the runs of rows that share a period: count + 1 entries, the last being the row count.
// A numpy array, so that memory tracing sees it and the result's index can take rows through it; room
// for as many runs as there are rows or periods in the span, whichever is fewer.
class GroupBounds {
public:
    GroupBounds(PyObject* np, std::int64_t rows, std::int64_t periods) : capacity_(std::min(rows, periods) + 1) {
        rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(capacity_));
        array_ = new_array(np, length.get(), n_int64);
        bounds_ = static_cast<std::int64_t*>(array_data(array_.get()));
    }

    // Each run ends at the first row at or past the next period start. The timestamps are sorted, so a
    // row before that start a block ahead puts the whole block in the run: runs of many rows are crossed
    // a block at a time, in order, which the memory prefetcher follows. Should the timestamps change
    // meanwhile, the bounds still increase and stay within the rows.
    //
    // With an `order` scan, the same pass tells whether the timestamps ascend (false when they do not):
    // the scan checks a stretch of rows just ahead of the walk, which then finds it in the cache, so the
    // timestamps come from memory once.
    bool find(const Int64Column& times, std::int64_t nanoseconds_per, std::int64_t first_start, std::int64_t step,
              AscendingScan* order) {
        constexpr std::int64_t kBlock = 64;
        const auto at = [&](std::int64_t row) { return wrapped_nanoseconds(times[row], nanoseconds_per); };
        const auto ascends_until = [&](std::int64_t end) { return order == nullptr || order->ascends_until(end); };
        const std::int64_t rows = times.size();
        PeriodCursor cursor(first_start, step);
        cursor.enters_new_period(at(0));
        std::int64_t count = 0;
        bounds_[count++] = 0;
        std::int64_t row = 0;
        while (true) {
            if (!ascends_until(row + 2 * kBlock + 2)) return false;
            const std::int64_t next = cursor.next_start();
            while (row + kBlock < rows && at(row + kBlock) < next) {
                row += kBlock;
                if (!ascends_until(row + kBlock + 1)) return false;
            }
            ++row;
            while (row < rows && at(row) < next) ++row;
            if (row >= rows) break;
            // More runs than periods only if the timestamps changed meanwhile: the rest joins the last run.
            if (cursor.enters_new_period(at(row)) && count + 1 < capacity_) bounds_[count++] = row;
        }
        if (!ascends_until(rows)) return false;
        bounds_[count] = rows;
        groups_ = {bounds_, count};
        return true;
    }
    const Groups& groups() const { return groups_; }

    // The first row (`leading`) or the last row of every run, as an array of row positions: written
    // over the bounds themselves, once nothing else reads them.
    rt::Ref run_rows(bool leading) {
        if (!leading) {
            for (std::int64_t g = 0; g < groups_.count; ++g) bounds_[g] = bounds_[g + 1] - 1;
        }
        rt::Ref slice =
            rt::Ref::steal(PySlice_New(nullptr, rt::Ref::steal(PyLong_FromLongLong(groups_.count)).get(), nullptr));
        return rt::item(array_.get(), slice.get());
    }

private:
    std::int64_t capacity_;
    rt::Ref array_;
    std::int64_t* bounds_;
    Groups groups_{nullptr, 0};
};

// Why a table goes to pandas' group-by instead. Whatever cannot be reproduced exactly here is left to it;
// both give the same table, so that each reason only costs time.
enum class ToPandas {
    Nothing,             // reduced here
    Method,              // a method not reduced here (or a name that is not a str)
    PandasVersion,       // the installed pandas reduces this method its own way
    NotPlainFrame,       // not a DataFrame itself (a subclass, a Series, ...)
    NoFixedGrid,         // not a fixed-length window over a datetime64 index, in nanoseconds' years, without NaT
    IndexName,           // an index named by something other than text, whose column pandas labels its way
    WallClockTurnsBack,  // an aware index whose wall clock turns back: its periods are not runs of rows
    Columns,             // a column or label of a kind not reduced here, or no column at all
    OutOfOrder,          // timestamps that descend, which the caller refuses
    Ambiguous,           // found in the compute step: numpy's vector order or error state decides the result
};

struct Plan {
    ToPandas to_pandas = ToPandas::Nothing;
    const ReductionDescriptor* reduction = nullptr;
    PandasWays ways{};
    std::optional<FixedWindowGrid> grid;
    bool order_checked = false;  // the index's order is known to be right
    rt::Ref tz;
    std::optional<Int64Column> times;  // the timestamps the grid cuts
    Columns columns;
    std::size_t width = 0;
    // Each column's run of adjacent columns of its type (a block of pandas' working copy), how its mean
    // is summed, and its result's type.
    std::vector<std::size_t> runs;
    std::vector<MeanSum> sums;
    std::vector<ValueKind> kinds;
    bool one_kind = true;
    // The instants whose mean labels a mean's rows (the timestamps themselves for a naive index).
    rt::Ref instant_ticks;
    std::optional<Int64Column> instants;
    std::optional<GroupBounds> bounds;
};

// The plan step. Every decision to leave the table to pandas is taken here, in this order, except the
// compute step's Ambiguous.
void plan_sample(Plan& plan, PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* func_name,
                 PyObject* origin) {
    const auto to_pandas = [&](ToPandas why) { plan.to_pandas = why; };
    // The grid first: the group-by labels by it when the table goes there.
    plan.grid = fixed_window_grid(pd, np, df, window, origin);

    plan.reduction = reduction_of(func_name);
    if (plan.reduction == nullptr) return to_pandas(ToPandas::Method);
    plan.ways = pandas_ways(pd);
    if (!plan.ways.version.at_least(plan.reduction->exact_from)) return to_pandas(ToPandas::PandasVersion);
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (Py_TYPE(df) != reinterpret_cast<PyTypeObject*>(frame_type.get())) return to_pandas(ToPandas::NotPlainFrame);
    if (!plan.grid) return to_pandas(ToPandas::NoFixedGrid);
    const FixedWindowGrid& grid = *plan.grid;
    if (!PyUnicode_CheckExact(grid.index_col.get())) return to_pandas(ToPandas::IndexName);

    // An aware index is labelled by wall-clock time, which a clock turned back makes descend (the grid
    // has looked): its periods are then no longer runs of rows. Its instants are checked to ascend
    // first; a naive index is checked in the pass that finds the runs.
    plan.tz = rt::attr(grid.index.get(), n_tz);
    const bool aware = plan.tz.get() != Py_None;
    if (aware) {
        require_ascending_timestamps(pd, grid.index.get());
        plan.order_checked = true;
        if (grid.wall_clock_turns_back) return to_pandas(ToPandas::WallClockTurnsBack);
    }
    plan.times.emplace(grid.ticks.get());
    const Py_ssize_t rows = plan.times->size();
    if (!read_columns(pd, np, df, grid.index_col.get(), rows, plan.columns)) return to_pandas(ToPandas::Columns);
    const std::vector<InputColumn>& inputs = plan.columns.inputs;
    plan.width = inputs.size();
    const std::size_t width = plan.width;

    // How each column's mean is summed. pandas reduces a block at a time, and the blocks it reduces are
    // the runs of adjacent columns of one type (its working copy is consolidated, and columns are
    // sliced off it in order); a float run holding a NaN anywhere is summed with compensation, so a
    // float64 run found to hold one is summed again, and float32 runs, whose result type depends on it,
    // are looked at first.
    plan.runs.assign(width, 0);
    for (std::size_t j = 1; j < width; ++j) {
        plan.runs[j] = plan.runs[j - 1] + (inputs[j].kind != inputs[j - 1].kind ? 1 : 0);
    }
    plan.sums.assign(width, MeanSum::Compensated);
    if (plan.reduction->result == ResultType::MeanOf && plan.ways.reduceat) {
        std::vector<bool> run_has_nan(width, false);
        {
            ReleasedGil released;
            for (std::size_t j = 0; j < width; ++j) {
                if (inputs[j].kind == ValueKind::Float32 && !run_has_nan[plan.runs[j]]) {
                    run_has_nan[plan.runs[j]] = column_has_nan(inputs[j], rows);
                }
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            if (!run_has_nan[plan.runs[j]]) plan.sums[j] = MeanSum::Pairwise;
        }
    }
    // One block when every result column has one type (the frame then wraps it without a copy), else
    // one array per column.
    plan.kinds.resize(width);
    for (std::size_t j = 0; j < width; ++j) {
        plan.kinds[j] = result_kind(plan.reduction->result, inputs[j].kind, plan.sums[j]);
        plan.one_kind = plan.one_kind && plan.kinds[j] == plan.kinds[0];
    }

    // The mean of the timestamps is taken over the instants (UTC for an aware index), as pandas does.
    if (plan.reduction->label == RowLabel::MeanTimestamp) {
        plan.instant_ticks = aware ? rt::attr(grid.index.get(), n_asi8) : grid.ticks;
        plan.instants.emplace(plan.instant_ticks.get());
        if (!plan.instants->usable() || plan.instants->size() != rows) return to_pandas(ToPandas::NoFixedGrid);
    }

    // The runs: periods from the first to the last timestamp (sorted), in unsigned arithmetic as the
    // cursor's. The order of a naive index is checked in the same pass.
    const Int64Column& times = *plan.times;
    const std::int64_t last_ns = wrapped_nanoseconds(times[rows - 1], grid.nanoseconds_per_tick);
    const std::uint64_t span_periods =
        (static_cast<std::uint64_t>(last_ns) - static_cast<std::uint64_t>(grid.first_start)) /
            static_cast<std::uint64_t>(grid.step) +
        1;
    plan.bounds.emplace(
        np, rows, static_cast<std::int64_t>(std::min<std::uint64_t>(span_periods, static_cast<std::uint64_t>(rows))));
    std::optional<AscendingScan> order;
    if (!aware) order.emplace(times);
    bool ascending;
    {
        ReleasedGil released;
        ascending =
            plan.bounds->find(times, grid.nanoseconds_per_tick, grid.first_start, grid.step, order ? &*order : nullptr);
    }
    if (!ascending) return to_pandas(ToPandas::OutOfOrder);
    plan.order_checked = true;
}

// ---- compute ----

struct Outputs {
    rt::Ref block;                // one block of all columns (Plan::one_kind)
    std::vector<rt::Ref> arrays;  // else one array per column
    std::vector<void*> columns;
    rt::Ref tick_means;  // a mean's timestamps
};

// Runs the kernels of the plan into fresh arrays; false when pandas' own reduction is the one to run.
bool compute(PyObject* np, const Plan& plan, Outputs& outputs) {
    const Groups& groups = plan.bounds->groups();
    const std::size_t width = plan.width;
    const std::int64_t rows = plan.times->size();
    const std::vector<InputColumn>& inputs = plan.columns.inputs;
    rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(groups.count));
    outputs.columns.resize(width);
    if (plan.one_kind) {
        rt::Ref width_object = rt::Ref::steal(PyLong_FromSize_t(width));
        rt::Ref shape = rt::Ref::steal(PyTuple_Pack(2, width_object.get(), length.get()));
        outputs.block = new_array(np, shape.get(), dtype_name(plan.kinds[0]));
        auto* base = static_cast<char*>(array_data(outputs.block.get()));
        for (std::size_t j = 0; j < width; ++j)
            outputs.columns[j] = base + j * static_cast<std::size_t>(groups.count) * item_size(plan.kinds[0]);
    } else {
        for (std::size_t j = 0; j < width; ++j) {
            outputs.arrays.push_back(new_array(np, length.get(), dtype_name(plan.kinds[j])));
            outputs.columns[j] = array_data(outputs.arrays.back().get());
        }
    }
    std::optional<rt::Buffer> tick_means_view;
    if (plan.instants) {
        outputs.tick_means = new_array(np, length.get(), n_int64);
        tick_means_view.emplace(outputs.tick_means.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    }

    const Kernel kernel = plan.reduction->kernel;
    std::vector<ColumnFindings> findings(width);
    bool ambiguous = false;
    {
        ReleasedGil released;
        const bool worth_threads = rows * static_cast<std::int64_t>(width) >= kValuesWorthThreads;
        // Only a mean reads the instants; no other reduction has them to read.
        const InputColumn ticks = plan.instants
                                      ? InputColumn{plan.instants->data(), plan.instants->stride(), ValueKind::Int64}
                                      : InputColumn{nullptr, 0, ValueKind::Int64};
        // The timestamps' mean, one unbroken chain of additions per group and the longest task, goes
        // first, cut into stretches of groups with about equal row counts that threads share.
        const std::size_t extra = !tick_means_view ? 0 : std::min<std::size_t>(worth_threads ? 2 : 1, groups.count);
        run_tasks(width + extra, worth_threads, [&](std::size_t task) {
            if (task < extra) {
                const auto cut = [&](std::size_t part) {
                    const std::int64_t row = groups.bounds[groups.count] / static_cast<std::int64_t>(extra) *
                                             static_cast<std::int64_t>(part);
                    return part == extra
                               ? groups.count
                               : std::lower_bound(groups.bounds, groups.bounds + groups.count, row) - groups.bounds;
                };
                const std::int64_t first = cut(task);
                const std::int64_t last = std::max(first, cut(task + 1));
                mean_of_ticks(ticks, Groups{groups.bounds + first, last - first},
                              static_cast<std::int64_t*>(tick_means_view->data()) + first);
            } else {
                const std::size_t j = task - extra;
                findings[j] = kernel(plan.sums[j], inputs[j], groups, outputs.columns[j]);
            }
        });
        std::vector<bool> run_has_nan(width, false);
        bool resum = false;
        for (std::size_t j = 0; j < width; ++j) {
            if (plan.sums[j] == MeanSum::Pairwise && findings[j].has_nan) resum = run_has_nan[plan.runs[j]] = true;
            ambiguous |= plan.ways.reduceat && findings[j].mixed_zero_extreme;
        }
        for (std::size_t j = 0; j < width; ++j) {
            ambiguous |=
                plan.sums[j] == MeanSum::Pairwise && !run_has_nan[plan.runs[j]] && findings[j].floating_point_exception;
        }
        if (resum) {
            run_tasks(width, worth_threads, [&](std::size_t j) {
                if (run_has_nan[plan.runs[j]]) kernel(MeanSum::Compensated, inputs[j], groups, outputs.columns[j]);
            });
        }
    }
    // numpy's minimum and maximum settle 0.0 against -0.0 by their own vector order, and its sums warn
    // as its error state says: pandas' own reduction is the one to run then.
    return !ambiguous;
}

// ---- assemble ----

// The result's index: the timestamp column reduced as the group-by reduces it, then made the index.
rt::Ref result_index(PyObject* pd, PyObject* np, Plan& plan, const Outputs& outputs) {
    const FixedWindowGrid& grid = *plan.grid;
    GroupBounds& bounds = *plan.bounds;
    const Groups& groups = bounds.groups();
    switch (plan.reduction->label) {
        case RowLabel::RowCount: {
            rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(groups.count));
            rt::Ref sizes = new_array(np, length.get(), n_int64);
            auto* out = static_cast<std::int64_t*>(array_data(sizes.get()));
            for (std::int64_t g = 0; g < groups.count; ++g) out[g] = groups.bounds[g + 1] - groups.bounds[g];
            rt::Ref index_type = rt::attr(pd, n_Index);
            return rt::call(index_type.get(), sizes.get(), rt::kw<"name">(grid.index_col.get()));
        }
        case RowLabel::MeanTimestamp: {
            // The means are UTC instants when the index is aware.
            rt::Ref stamps = rt::call_method(outputs.tick_means.get(), n_view, grid.ticks_dtype.get());
            rt::Ref index_type = rt::attr(pd, n_DatetimeIndex);
            rt::Ref index = rt::call(index_type.get(), stamps.get(), rt::kw<"name">(grid.index_col.get()),
                                     rt::kw<"copy">(Py_False));
            if (plan.tz.get() == Py_None) return index;
            rt::Ref in_utc = rt::call_method(index.get(), n_tz_localize, n_UTC.get());
            return rt::call_method(in_utc.get(), n_tz_convert, plan.tz.get());
        }
        case RowLabel::FirstRow:
        case RowLabel::LastRow: {
            rt::Ref positions = bounds.run_rows(plan.reduction->label == RowLabel::FirstRow);
            rt::Ref taken = rt::call_method(grid.index.get(), n_take, positions.get());
            // A take along a regular stride keeps the index's frequency; an index made from a column has none.
            rt::Ref freq = rt::attr(taken.get(), n_freq);
            if (freq.get() != Py_None) rt::set_attr(taken.get(), n_freq, Py_None);
            return taken;
        }
    }
    __builtin_unreachable();
}

rt::Ref assemble(PyObject* pd, PyObject* np, PyObject* df, Plan& plan, const Outputs& outputs) {
    rt::Ref index = result_index(pd, np, plan, outputs);
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    const Columns& columns = plan.columns;
    rt::Ref result;
    if (plan.one_kind) {
        rt::Ref values = rt::attr(outputs.block.get(), n_T);
        result = rt::call(frame_type.get(), values.get(), rt::kw<"index">(index.get()),
                          rt::kw<"columns">(columns.index.get()), rt::kw<"copy">(Py_False));
    } else {
        rt::Ref data = rt::Ref::steal(PyDict_New());
        for (std::size_t j = 0; j < plan.width; ++j)
            rt::require(PyDict_SetItem(data.get(), columns.labels[j].get(), outputs.arrays[j].get()));
        result = rt::call(frame_type.get(), data.get(), rt::kw<"index">(index.get()),
                          rt::kw<"columns">(columns.index.get()));
    }
    // pandas' group-by hands the table's attrs and flags on to what these reductions give, count aside,
    // in its own way (shared or copied, depending on the version).
    if (!plan.reduction->hands_on_attrs) return result;
    rt::Ref finalize = rt::attr(result.get(), d_finalize);
    return rt::call(finalize.get(), df, rt::kw<"method">(n_groupby.get()));
}

}  // namespace

NativeSample sample_natively(PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* func_name,
                             PyObject* origin) {
    NativeSample sampled;
    Plan plan;
    plan_sample(plan, pd, np, df, window, func_name, origin);
    if (plan.to_pandas == ToPandas::Nothing) {
        Outputs outputs;
        if (compute(np, plan, outputs)) {
            sampled.result = assemble(pd, np, df, plan, outputs);
            return sampled;
        }
        plan.to_pandas = ToPandas::Ambiguous;
    }
    sampled.order_checked = plan.order_checked;
    sampled.grid = std::move(plan.grid);
    return sampled;
}

}  // namespace samplers
