// The whole sampling step in C++ for the tables it is most often asked for: a plain DataFrame of
// float64, float32, int64, int32 and bool columns with text labels, on an index the native labelling
// pass handles, reduced by first, last, min, max, mean or count.
//
// On a sorted index each period's rows are one contiguous run, so one pass over the timestamps finds
// the runs' bounds and each column is reduced run by run straight from its buffer; the result is
// assembled directly, as the group-by and the index steps would have left it. Both passes run without
// the interpreter lock, the columns on up to as many threads as there are cores. Whatever cannot be
// reproduced exactly here (other tables, methods, or a pandas that reduces differently) is left to the
// pandas group-by by returning an empty reference.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "native_reductions.hpp"
#include "parallel.hpp"
#include "arrays.hpp"
#include "samplers.hpp"
#include "timestamps.hpp"

namespace samplers {

namespace {

// Below this many values a pass is cheaper than starting a thread.
constexpr std::int64_t kValuesWorthThreads = 1 << 17;

std::optional<Reduction> reduction_named(PyObject* func_name) {
    if (!PyUnicode_CheckExact(func_name)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(func_name, &size);
    if (text == nullptr) rt::raise_pending();
    const std::string_view name(text, static_cast<std::size_t>(size));
    if (name == "first") return Reduction::First;
    if (name == "last") return Reduction::Last;
    if (name == "min") return Reduction::Min;
    if (name == "max") return Reduction::Max;
    if (name == "count") return Reduction::Count;
    if (name == "mean") return Reduction::Mean;
    return std::nullopt;
}

// What the installed pandas does that changes results.
struct PandasWays {
    // pandas 1.5 drops the timestamp column from a mean and then fails; pandas 2.0 adds an infinite value
    // into a NaN compensation. Both keep their own group-by.
    bool mean_as_here;
    // pandas 3.1 on: sorted groups of a NaN-free float block, and of integer and bool blocks, go to
    // numpy's reduceat for sum, mean, min and max.
    bool reduceat;
};

PandasWays pandas_ways(PyObject* pd) {
    rt::Ref version = rt::attr(pd, d_version);
    if (!PyUnicode_Check(version.get())) return {false, false};
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) rt::raise_pending();
    int major = 0;
    int minor = 0;
    if (std::sscanf(text, "%d.%d", &major, &minor) != 2) return {false, false};
    PandasWays ways{major > 2 || (major == 2 && minor >= 1), false};
    if (major >= 3) {
        rt::Ref ops = rt::Ref::steal(PyImport_ImportModule("pandas.core.groupby.ops"));
        rt::Ref grouper = rt::attr(ops.get(), n_BaseGrouper);
        ways.reduceat =
            rt::suppress(PyExc_AttributeError, [&] { (void)rt::attr(grouper.get(), a_reduceat_aggregate); });
    }
    return ways;
}

std::optional<ValueKind> value_kind(PyObject* np, PyObject* dtype) {
    rt::Ref numpy_dtype = rt::attr(np, n_dtype);
    if (!rt::is_instance(dtype, numpy_dtype.get())) return std::nullopt;
    rt::Ref text = rt::attr(dtype, n_str);
    if (!PyUnicode_Check(text.get())) return std::nullopt;
    const char* code = PyUnicode_AsUTF8(text.get());
    if (code == nullptr) rt::raise_pending();
    const std::string_view name(code);
    if (name == "<f8") return ValueKind::Float64;
    if (name == "<f4") return ValueKind::Float32;
    if (name == "<i8") return ValueKind::Int64;
    if (name == "<i4") return ValueKind::Int32;
    if (name == "|b1") return ValueKind::Bool;
    return std::nullopt;
}

PyObject* dtype_name(ValueKind kind) {
    switch (kind) {
        case ValueKind::Float64:
            return n_float64;
        case ValueKind::Float32:
            return n_float32;
        case ValueKind::Int64:
            return n_int64;
        case ValueKind::Int32:
            return n_int32;
        case ValueKind::Bool:
            return n_bool;
    }
    return n_float64;
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
    // With `check_order`, the same pass tells whether the timestamps ascend (false when they do not): a
    // stretch of rows is checked just ahead of the walk, which then finds it in the cache, so the
    // timestamps come from memory once.
    bool find(const Int64Column& times, std::int64_t nanoseconds_per, std::int64_t first_start, std::int64_t step,
              bool check_order) {
        constexpr std::int64_t kBlock = 64;
        constexpr std::int64_t kCheckedAhead = 2048;
        const auto at = [&](std::int64_t row) { return wrapped_nanoseconds(times[row], nanoseconds_per); };
        const std::int64_t rows = times.size();
        std::int64_t checked = 1;  // rows before this one never descend
        const auto ascends_until = [&](std::int64_t end) {
            if (!check_order || end <= checked) return true;
            end = std::min(rows, std::max(end, checked + kCheckedAhead));
            if (!never_descends_between(times, checked, end)) return false;
            checked = end;
            return true;
        };
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

// The result's index: the timestamp column reduced as the group-by reduces it, then made the index.
// `tick_means` holds the means of a mean (as UTC instants when `tz` is not None).
rt::Ref result_index(PyObject* pd, PyObject* np, Reduction reduction, const FixedWindowGrid& grid, PyObject* tz,
                     GroupBounds& bounds, PyObject* tick_means) {
    const Groups& groups = bounds.groups();
    if (reduction == Reduction::Count) {
        rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(groups.count));
        rt::Ref sizes = new_array(np, length.get(), n_int64);
        auto* out = static_cast<std::int64_t*>(array_data(sizes.get()));
        for (std::int64_t g = 0; g < groups.count; ++g) out[g] = groups.bounds[g + 1] - groups.bounds[g];
        rt::Ref index_type = rt::attr(pd, n_Index);
        return rt::call(index_type.get(), sizes.get(), rt::kw<"name">(grid.index_col.get()));
    }
    if (reduction == Reduction::Mean) {
        rt::Ref stamps = rt::call_method(tick_means, n_view, grid.ticks_dtype.get());
        rt::Ref index_type = rt::attr(pd, n_DatetimeIndex);
        rt::Ref index =
            rt::call(index_type.get(), stamps.get(), rt::kw<"name">(grid.index_col.get()), rt::kw<"copy">(Py_False));
        if (tz == Py_None) return index;
        rt::Ref in_utc = rt::call_method(index.get(), n_tz_localize, n_UTC.get());
        return rt::call_method(in_utc.get(), n_tz_convert, tz);
    }
    // first and min keep each run's first timestamp, last and max its last (the index is sorted).
    rt::Ref positions = bounds.run_rows(reduction == Reduction::First || reduction == Reduction::Min);
    rt::Ref taken = rt::call_method(grid.index.get(), n_take, positions.get());
    // A take along a regular stride keeps the index's frequency; an index made from a column has none.
    rt::Ref freq = rt::attr(taken.get(), n_freq);
    if (freq.get() != Py_None) rt::set_attr(taken.get(), n_freq, Py_None);
    return taken;
}

}  // namespace

rt::Ref sample_natively(PyObject* pd, PyObject* np, PyObject* df, PyObject* window, PyObject* func_name,
                        PyObject* origin) {
    const std::optional<Reduction> reduction = reduction_named(func_name);
    if (!reduction) return {};
    const PandasWays ways = pandas_ways(pd);
    if (*reduction == Reduction::Mean && !ways.mean_as_here) return {};
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (Py_TYPE(df) != reinterpret_cast<PyTypeObject*>(frame_type.get())) return {};

    std::optional<FixedWindowGrid> grid = fixed_window_grid(pd, np, df, window, origin);
    if (!grid || !PyUnicode_CheckExact(grid->index_col.get())) return {};
    Int64Column times(grid->ticks.get());
    const Py_ssize_t rows = times.size();
    // An aware index is labelled by wall-clock time, which a clock turned back makes descend: its periods
    // are then no longer runs of rows. Its instants are checked to ascend first; a naive index is checked
    // in the pass that finds the runs.
    rt::Ref tz = rt::attr(grid->index.get(), n_tz);
    if (tz.get() != Py_None) {
        require_ascending_timestamps(pd, grid->index.get());
        ReleasedGil released;
        if (!never_descends(times)) return {};
    }
    Columns columns;
    if (!read_columns(pd, np, df, grid->index_col.get(), rows, columns)) return {};
    const std::size_t width = columns.inputs.size();

    // How each column's mean is summed. pandas reduces a block at a time, and the blocks it reduces are
    // the runs of adjacent columns of one type (its working copy is consolidated, and columns are
    // sliced off it in order); a float run holding a NaN anywhere is summed with compensation, so a
    // float64 run found to hold one is summed again, and float32 runs, whose result type depends on it,
    // are looked at first.
    std::vector<std::size_t> runs(width, 0);
    for (std::size_t j = 1; j < width; ++j) {
        runs[j] = runs[j - 1] + (columns.inputs[j].kind != columns.inputs[j - 1].kind ? 1 : 0);
    }
    std::vector<MeanSum> sums(width, MeanSum::Compensated);
    if (*reduction == Reduction::Mean && ways.reduceat) {
        std::vector<bool> run_has_nan(width, false);
        {
            ReleasedGil released;
            for (std::size_t j = 0; j < width; ++j) {
                if (columns.inputs[j].kind == ValueKind::Float32 && !run_has_nan[runs[j]]) {
                    run_has_nan[runs[j]] = column_has_nan(columns.inputs[j], rows);
                }
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            if (!run_has_nan[runs[j]]) sums[j] = MeanSum::Pairwise;
        }
    }

    // Periods from the first to the last timestamp (sorted), in unsigned arithmetic as the cursor's.
    const std::int64_t last_ns = wrapped_nanoseconds(times[rows - 1], grid->nanoseconds_per_tick);
    const std::uint64_t span_periods =
        (static_cast<std::uint64_t>(last_ns) - static_cast<std::uint64_t>(grid->first_start)) /
            static_cast<std::uint64_t>(grid->step) +
        1;
    GroupBounds bounds(
        np, rows, static_cast<std::int64_t>(std::min<std::uint64_t>(span_periods, static_cast<std::uint64_t>(rows))));
    // The order of a naive index is checked in the same pass (the caller refuses it when it is out of
    // order); an aware one has had its instants checked.
    {
        ReleasedGil released;
        if (!bounds.find(times, grid->nanoseconds_per_tick, grid->first_start, grid->step, tz.get() == Py_None)) {
            return {};
        }
    }
    const Groups& groups = bounds.groups();

    // One block when every result column has one type (the frame then wraps it without a copy),
    // else one array per column.
    std::vector<ValueKind> kinds(width);
    bool one_kind = true;
    for (std::size_t j = 0; j < width; ++j) {
        kinds[j] = result_kind(*reduction, columns.inputs[j].kind, sums[j]);
        one_kind = one_kind && kinds[j] == kinds[0];
    }
    rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(groups.count));
    rt::Ref block;
    std::vector<rt::Ref> arrays;
    std::vector<void*> outs(width);
    if (one_kind) {
        rt::Ref width_object = rt::Ref::steal(PyLong_FromSize_t(width));
        rt::Ref shape = rt::Ref::steal(PyTuple_Pack(2, width_object.get(), length.get()));
        block = new_array(np, shape.get(), dtype_name(kinds[0]));
        auto* base = static_cast<char*>(array_data(block.get()));
        for (std::size_t j = 0; j < width; ++j)
            outs[j] = base + j * static_cast<std::size_t>(groups.count) * item_size(kinds[0]);
    } else {
        for (std::size_t j = 0; j < width; ++j) {
            arrays.push_back(new_array(np, length.get(), dtype_name(kinds[j])));
            outs[j] = array_data(arrays.back().get());
        }
    }

    // The mean of the timestamps is taken over the instants (UTC for an aware index), as pandas does.
    rt::Ref tick_means;
    std::optional<rt::Buffer> tick_means_view;
    rt::Ref instant_ticks;
    std::optional<Int64Column> instants;
    if (*reduction == Reduction::Mean) {
        tick_means = new_array(np, length.get(), n_int64);
        tick_means_view.emplace(tick_means.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        instant_ticks = tz.get() == Py_None ? grid->ticks : rt::attr(grid->index.get(), n_asi8);
        instants.emplace(instant_ticks.get());
        if (!instants->usable() || instants->size() != rows) return {};
    }
    std::vector<ColumnFindings> findings(width);
    bool ambiguous = false;
    {
        ReleasedGil released;
        const bool worth_threads =
            static_cast<std::int64_t>(rows) * static_cast<std::int64_t>(width) >= kValuesWorthThreads;
        // Only a mean reads the instants; no other reduction has them to read.
        const InputColumn ticks = instants ? InputColumn{instants->data(), instants->stride(), ValueKind::Int64}
                                           : InputColumn{nullptr, 0, ValueKind::Int64};
        // The timestamps' mean, one unbroken chain of additions per group and the longest task, goes
        // first, cut into stretches of groups with about equal row counts that threads share.
        const std::size_t extra = !tick_means ? 0 : std::min<std::size_t>(worth_threads ? 2 : 1, groups.count);
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
                findings[j] = reduce_column(*reduction, sums[j], columns.inputs[j], groups, outs[j]);
            }
        });
        std::vector<bool> run_has_nan(width, false);
        bool resum = false;
        for (std::size_t j = 0; j < width; ++j) {
            if (sums[j] == MeanSum::Pairwise && findings[j].has_nan) resum = run_has_nan[runs[j]] = true;
            ambiguous |= ways.reduceat && findings[j].mixed_zero_extreme;
        }
        for (std::size_t j = 0; j < width; ++j) {
            ambiguous |= sums[j] == MeanSum::Pairwise && !run_has_nan[runs[j]] && findings[j].floating_point_exception;
        }
        if (resum) {
            run_tasks(width, worth_threads, [&](std::size_t j) {
                if (run_has_nan[runs[j]])
                    reduce_column(*reduction, MeanSum::Compensated, columns.inputs[j], groups, outs[j]);
            });
        }
    }
    // numpy's minimum and maximum settle 0.0 against -0.0 by their own vector order, and its sums warn
    // as its error state says: pandas' own reduction is the one to run then.
    if (ambiguous) return {};

    tick_means_view.reset();
    rt::Ref index = result_index(pd, np, *reduction, *grid, tz.get(), bounds, tick_means.get());
    rt::Ref result;
    if (one_kind) {
        rt::Ref values = rt::attr(block.get(), n_T);
        result = rt::call(frame_type.get(), values.get(), rt::kw<"index">(index.get()),
                          rt::kw<"columns">(columns.index.get()), rt::kw<"copy">(Py_False));
    } else {
        rt::Ref data = rt::Ref::steal(PyDict_New());
        for (std::size_t j = 0; j < width; ++j)
            rt::require(PyDict_SetItem(data.get(), columns.labels[j].get(), arrays[j].get()));
        result = rt::call(frame_type.get(), data.get(), rt::kw<"index">(index.get()),
                          rt::kw<"columns">(columns.index.get()));
    }
    // pandas' group-by hands the table's attrs and flags on to what these reductions give, count aside,
    // in its own way (shared or copied, depending on the version).
    if (*reduction == Reduction::Count) return result;
    rt::Ref finalize = rt::attr(result.get(), d_finalize);
    return rt::call(finalize.get(), df, rt::kw<"method">(n_groupby.get()));
}

}  // namespace samplers
