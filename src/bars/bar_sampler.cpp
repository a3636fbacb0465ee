// BarSampler: one bar per fixed-length window of a trade table. A plan step reads the table and lays the
// grid, a compute step (kernel.cpp) runs over the rows without the interpreter lock, an assemble step
// builds the result table.
#include <optional>

#include "bars.hpp"
#include "kernel.hpp"
#include "runtime/handlers.hpp"
#include "runtime/notes.hpp"
#include "samplers/arrays.hpp"
#include "samplers/index_order.hpp"
#include "samplers/pandas_ways.hpp"
#include "samplers/parallel.hpp"
#include "samplers/samplers.hpp"
#include "samplers/timestamps.hpp"

namespace bars {

namespace {

enum class Init : std::size_t { self, window, price, size, origin, label, closed, empty, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"window", "pd.Timedelta | str"},
    {"price", "Hashable", rt::Check::Any, rt::Default::Text, "price"},
    {"size", "Hashable | None", rt::Check::Any, rt::Default::Text, "size"},
    {"origin", "pd.Timestamp | str | None", rt::Check::Any, rt::Default::None},
    {"label", "str", rt::Check::Any, rt::Default::Text, "left"},
    {"closed", "str", rt::Check::Any, rt::Default::Text, "left"},
    {"empty", "str", rt::Check::Any, rt::Default::Text, "drop"},
});

enum class Sample : std::size_t { self, df, count };
constexpr auto kSampleParams = rt::params<Sample>({{"self"}, {"df", "pd.DataFrame"}});

bool is_text(PyObject* value, PyObject* text) { return PyUnicode_Check(value) && PyUnicode_Compare(value, text) == 0; }

// One of two texts, or ValueError naming the keyword.
void require_choice(PyObject* value, const char* keyword, PyObject* one, PyObject* other) {
    if (is_text(value, one) || is_text(value, other)) return;
    rt::raise_format(PyExc_ValueError, "%s must be %R or %R, not %R", keyword, one, other, value);
}

// A fixed, positive length: anything pd.Timedelta reads.
rt::Ref fixed_length(PyObject* pd, PyObject* window) {
    rt::Ref timedelta_type = rt::attr(pd, n_Timedelta);
    const auto refuse = [&] {
        rt::raise_format(PyExc_ValueError,
                         "window must be a fixed positive length (a pd.Timedelta or anything it reads, e.g. \"5min\"), "
                         "not %R",
                         window);
    };
    rt::Ref length;
    try {
        length = rt::call(timedelta_type.get(), window);
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        refuse();
    }
    if (!rt::is_instance(length.get(), timedelta_type.get())) refuse();  // NaT
    rt::Ref nanoseconds = rt::attr(length.get(), samplers::n_value);
    const long long value = PyLong_AsLongLong(nanoseconds.get());
    if (value == -1 && PyErr_Occurred()) rt::raise_pending();
    if (value <= 0) refuse();
    return length;
}

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];
    rt::Ref pd = rt::global(n_pd);
    rt::Ref window = fixed_length(pd.get(), args[Init::window]);
    rt::Ref origin = samplers::checked_origin(pd.get(), args[Init::origin]);
    require_choice(args[Init::label], "label", n_left, n_right);
    require_choice(args[Init::closed], "closed", n_left, n_right);
    require_choice(args[Init::empty], "empty", n_drop, n_fill);
    (void)rt::super_call(args, self, d_init, rt::kw<"window">(window.get()));
    rt::set_attr(self, n_price, args[Init::price]);
    rt::set_attr(self, n_size, args[Init::size]);
    rt::set_attr(self, n_origin, origin.get());
    rt::set_attr(self, n_label, args[Init::label]);
    rt::set_attr(self, n_closed, args[Init::closed]);
    rt::set_attr(self, n_empty, args[Init::empty]);
    return rt::none();
}

// ---- plan ----

// `np.ascontiguousarray(values)`: the array itself when it is contiguous already, as columns and
// indexes almost always are.
rt::Ref contiguous(PyObject* np, PyObject* values) {
    rt::Ref make = rt::attr(np, n_ascontiguousarray);
    return rt::call(make.get(), values);
}

// A price or size column, read as a one-dimensional buffer.
struct InputColumn {
    rt::Ref array;
    std::optional<rt::Buffer> buffer;
    Column column{};
};

void read_column(PyObject* np, PyObject* df, PyObject* label, Py_ssize_t rows, InputColumn& input) {
    rt::Ref columns = rt::attr(df, n_columns);
    if (!rt::require(PySequence_Contains(columns.get(), label))) rt::raise(PyExc_KeyError, label);
    rt::Ref series = rt::item(df, label);
    rt::Ref dtype = rt::attr(series.get(), n_dtype);
    const auto refuse = [&] {
        rt::raise_format(PyExc_TypeError, "column %R has dtype %S; BarSampler reads float64, float32, int64 or int32",
                         label, dtype.get());
    };
    if (PyObject_HasAttr(series.get(), n_columns)) {
        rt::raise_format(PyExc_TypeError, "column %R is not one column: the table holds %R more than once", label,
                         label);
    }
    const std::optional<ValueKind> kind = samplers::value_kind(np, dtype.get());
    if (!kind || *kind == ValueKind::Bool) refuse();
    rt::Ref values = rt::call_method(series.get(), n_to_numpy);
    input.array = contiguous(np, values.get());
    input.buffer.emplace(input.array.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (input.buffer->ndim() != 1 || input.buffer->length() != rows) {
        rt::raise(PyExc_SystemError, "unexpected layout of a column's values");
    }
    input.column = Column{static_cast<const char*>(input.buffer->data()), *kind};
}

// ---- assemble ----

rt::Ref int64_array(PyObject* np, std::int64_t count) {
    rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(count));
    return samplers::new_array(np, length.get(), n_int64);
}

// Ticks of the index's unit as a DatetimeIndex of the index's zone (instants when `tz` is not None).
rt::Ref datetime_index(PyObject* pd, PyObject* ticks, PyObject* dtype, PyObject* tz, PyObject* name) {
    rt::Ref stamps = rt::call_method(ticks, n_view, dtype);
    rt::Ref index_type = rt::attr(pd, n_DatetimeIndex);
    rt::Ref index = rt::call(index_type.get(), stamps.get(), rt::kw<"name">(name));
    if (tz == Py_None) return index;
    rt::Ref in_utc = rt::call_method(index.get(), n_tz_localize, n_UTC.get());
    return rt::call_method(in_utc.get(), n_tz_convert, tz);
}

// The result's columns, in order, each a fresh array of the result's length that nothing else holds.
class TableColumns {
public:
    TableColumns() : names_(rt::Ref::steal(PyList_New(0))), arrays_(rt::Ref::steal(PyList_New(0))) {}

    void put(PyObject* name, PyObject* values) {
        rt::require(PyList_Append(names_.get(), name));
        rt::require(PyList_Append(arrays_.get(), values));
    }

    // The table. pandas' own constructor from finished arrays skips the checks and conversions that
    // `DataFrame(dict, index=...)` gives each column, which cost more than the bars themselves on small
    // results; the same table comes out. Where a pandas lacks it, the public constructor is used.
    rt::Ref table(PyObject* pd, PyObject* frame_type, PyObject* index) const {
        rt::Ref index_type = rt::attr(pd, n_Index);
        rt::Ref columns = rt::call(index_type.get(), names_.get());
        rt::Ref from_arrays;
        (void)rt::suppress(PyExc_AttributeError, [&] { from_arrays = rt::attr(frame_type, a_from_arrays); });
        if (from_arrays) {
            return rt::call(from_arrays.get(), arrays_.get(), rt::kw<"columns">(columns.get()), rt::kw<"index">(index),
                            rt::kw<"verify_integrity">(Py_False));
        }
        rt::Ref by_name = rt::Ref::steal(PyDict_New());
        const Py_ssize_t count = PyList_GET_SIZE(names_.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            rt::require(
                PyDict_SetItem(by_name.get(), PyList_GET_ITEM(names_.get(), i), PyList_GET_ITEM(arrays_.get(), i)));
        }
        return rt::call(frame_type, by_name.get(), rt::kw<"index">(index));
    }

private:
    rt::Ref names_;
    rt::Ref arrays_;
};

// The index as the plan reads it: its zone, and its wall-clock and instant ticks in the index's unit.
struct IndexTicks {
    rt::Ref tz;
    rt::Ref wall_dtype;
    rt::Ref wall_array;
    rt::Ref instant_array;
    std::optional<samplers::Int64Column> wall;
    std::optional<samplers::Int64Column> instants;
    std::int64_t nanoseconds_per_tick = 0;
};

// The grid, where there is one, has read the wall clock already (for an aware index a conversion of every
// timestamp), so its ticks are taken as they are.
void read_index_ticks(PyObject* np, PyObject* index, Py_ssize_t rows, const samplers::FixedWindowGrid* grid,
                      IndexTicks& ticks) {
    ticks.tz = rt::attr(index, n_tz);
    if (grid != nullptr) {
        ticks.wall_dtype = grid->ticks_dtype;
        ticks.nanoseconds_per_tick = grid->nanoseconds_per_tick;
        ticks.wall_array = contiguous(np, grid->ticks.get());
    } else {
        rt::Ref wall_index =
            ticks.tz.get() == Py_None ? rt::Ref::borrow(index) : rt::call_method(index, n_tz_localize, Py_None);
        ticks.wall_dtype = rt::attr(wall_index.get(), n_dtype);
        ticks.nanoseconds_per_tick = samplers::nanoseconds_per_tick(ticks.wall_dtype.get());
        if (ticks.nanoseconds_per_tick == 0) {
            rt::raise_format(PyExc_TypeError, "unexpected index dtype %S", ticks.wall_dtype.get());
        }
        ticks.wall_array = contiguous(np, rt::attr(wall_index.get(), n_asi8).get());
    }
    ticks.instant_array = ticks.tz.get() == Py_None ? ticks.wall_array : contiguous(np, rt::attr(index, n_asi8).get());
    const samplers::Int64Column& wall = ticks.wall.emplace(ticks.wall_array.get());
    const samplers::Int64Column& instants = ticks.instants.emplace(ticks.instant_array.get());
    if (!wall.usable() || !instants.usable() || wall.size() != rows || instants.size() != rows ||
        (rows > 1 && (wall.stride() != 8 || instants.stride() != 8))) {
        rt::raise(PyExc_SystemError, "unexpected layout of datetime index values");
    }
}

rt::Ref sample(rt::Args& args) {
    PyObject* self = args[Sample::self];
    PyObject* df = args[Sample::df];
    rt::Ref pd = rt::global(n_pd);
    rt::Ref np = rt::global(n_np);

    // Plan: the table, its index, the columns, the grid and how pandas sums.
    rt::Ref frame_type = rt::attr(pd.get(), n_DataFrame);
    if (!rt::is_instance(df, frame_type.get())) {
        rt::raise_format(PyExc_TypeError, "BarSampler samples a pandas DataFrame, not %.200s", Py_TYPE(df)->tp_name);
    }
    rt::Ref index = rt::attr(df, n_index);
    rt::Ref datetime_index_type = rt::attr(pd.get(), n_DatetimeIndex);
    if (!rt::is_instance(index.get(), datetime_index_type.get())) {
        rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat(
            "BarSampler needs a table on a DatetimeIndex, not on %.200s", Py_TYPE(index.get())->tp_name));
        rt::raise_noted(PyExc_TypeError, message.get(), [] { return rt::Ref::borrow(t_to_datetime_note); });
    }

    rt::Ref window = rt::attr(self, n_window);
    rt::Ref price_label = rt::attr(self, n_price);
    rt::Ref size_label = rt::attr(self, n_size);
    rt::Ref origin = rt::attr(self, n_origin);
    rt::Ref label = rt::attr(self, n_label);
    rt::Ref closed = rt::attr(self, n_closed);
    rt::Ref empty = rt::attr(self, n_empty);
    const bool has_size = size_label.get() != Py_None;

    rt::Ref shape = rt::attr(df, n_shape);
    const Py_ssize_t rows = rt::require(PyObject_Size(index.get()));
    InputColumn price;
    InputColumn size;
    read_column(np.get(), df, price_label.get(), rows, price);
    if (has_size) read_column(np.get(), df, size_label.get(), rows, size);

    // The order pass reads the timestamps on a thread of its own while the rest of the plan is made; an
    // index out of order is refused before anything the plan found wrong with it.
    samplers::AscendingCheckInBackground order(pd.get(), index.get());
    IndexTicks ticks;
    std::optional<samplers::FixedWindowGrid> grid;
    try {
        if (rows > 0) grid = samplers::fixed_window_grid(pd.get(), np.get(), df, window.get(), origin.get());
        read_index_ticks(np.get(), index.get(), rows, grid ? &*grid : nullptr, ticks);
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        order.require();
        error.reraise();
    }
    order.require();
    const std::int64_t nanoseconds_per = ticks.nanoseconds_per_tick;
    const rt::Ref& tz = ticks.tz;
    const rt::Ref& wall_dtype = ticks.wall_dtype;

    BarPlan plan{};
    plan.price = price.column;
    plan.has_size = has_size;
    if (has_size) plan.size = size.column;
    plan.wall = Ticks{ticks.wall->data()};
    plan.instants = Ticks{ticks.instants->data()};
    plan.rows = rows;
    plan.nanoseconds_per_tick = nanoseconds_per;
    plan.closed_right = is_text(closed.get(), n_right);
    plan.label_right = is_text(label.get(), n_right);
    plan.fill = is_text(empty.get(), n_fill);
    const bool reduceat = samplers::pandas_ways(pd.get()).reduceat;
    // pandas sums a column to its own dtype (an int32 sum wraps as int32, however it is added up).
    plan.volume_kind = has_size ? size.column.kind : ValueKind::Float64;
    if (rows > 0) {
        if (!grid) {
            rt::raise_format(PyExc_ValueError, "BarSampler cannot lay windows of %S over this index", window.get());
        }
        plan.step = grid->step;
        // A right-closed window ends on a grid point: the grid starts a window earlier.
        plan.grid_start = plan.closed_right ? grid->first_start - grid->step : grid->first_start;
        if (plan.step % nanoseconds_per != 0 || grid->first_start % nanoseconds_per != 0) {
            rt::raise_format(PyExc_ValueError,
                             "the windows of %S from this origin do not start on whole ticks of the index's unit (%S)",
                             window.get(), wall_dtype.get());
        }
        if (grid->wall_clock_turns_back) {
            rt::raise(PyExc_ValueError,
                      "the index's wall clock turns back (summer time ends within it) and BarSampler cuts windows by "
                      "wall-clock time: sample df.tz_convert(\"UTC\") instead, then convert the result's zone back");
        }
        plan.volume_sum = reduceat ? SumWay::Pairwise : SumWay::Compensated;
        plan.vwap_sum = plan.volume_sum;
    }

    Runs runs;
    {
        samplers::ReleasedGil released;
        runs = find_runs(plan);
    }

    // Compute: the outputs, filled without the interpreter lock.
    rt::Ref length = rt::Ref::steal(PyLong_FromLongLong(runs.bars));
    rt::Ref price_dtype = rt::Ref::borrow(samplers::dtype_name(price.column.kind));
    rt::Ref open = samplers::new_array(np.get(), length.get(), price_dtype.get());
    rt::Ref high = samplers::new_array(np.get(), length.get(), price_dtype.get());
    rt::Ref low = samplers::new_array(np.get(), length.get(), price_dtype.get());
    rt::Ref close = samplers::new_array(np.get(), length.get(), price_dtype.get());
    rt::Ref volume;
    if (has_size) volume = samplers::new_array(np.get(), length.get(), samplers::dtype_name(plan.volume_kind));
    rt::Ref vwap = samplers::new_array(np.get(), length.get(), n_float64);
    rt::Ref trades = int64_array(np.get(), runs.bars);
    rt::Ref open_time = int64_array(np.get(), runs.bars);
    rt::Ref high_time = int64_array(np.get(), runs.bars);
    rt::Ref low_time = int64_array(np.get(), runs.bars);
    rt::Ref close_time = int64_array(np.get(), runs.bars);
    rt::Ref labels = int64_array(np.get(), runs.bars);
    const auto data = [](const rt::Ref& array) { return array ? samplers::array_data(array.get()) : nullptr; };
    const BarOutputs out{data(open),
                         data(high),
                         data(low),
                         data(close),
                         data(volume),
                         static_cast<double*>(data(vwap)),
                         static_cast<std::int64_t*>(data(trades)),
                         static_cast<std::int64_t*>(data(open_time)),
                         static_cast<std::int64_t*>(data(high_time)),
                         static_cast<std::int64_t*>(data(low_time)),
                         static_cast<std::int64_t*>(data(close_time)),
                         static_cast<std::int64_t*>(data(labels))};
    {
        samplers::ReleasedGil released;
        compute_bars(plan, runs, out, true);
    }

    // Assemble: the index of labels, the columns in their order, the times in the index's unit and zone.
    rt::Ref index_name = rt::attr(index.get(), n_name);
    rt::Ref result_index = datetime_index(pd.get(), labels.get(), wall_dtype.get(), tz.get(), index_name.get());
    TableColumns columns;
    const auto put_times = [&](PyObject* name, PyObject* ticks) {
        // Naive times go in as datetime64 arrays, which the table takes as they are.
        if (tz.get() == Py_None) {
            rt::Ref stamps = rt::call_method(ticks, n_view, wall_dtype.get());
            return columns.put(name, stamps.get());
        }
        rt::Ref times = datetime_index(pd.get(), ticks, wall_dtype.get(), tz.get(), Py_None);
        rt::Ref values = rt::attr(times.get(), n_array);
        columns.put(name, values.get());
    };
    columns.put(n_open, open.get());
    columns.put(n_high, high.get());
    columns.put(n_low, low.get());
    columns.put(n_close, close.get());
    if (has_size) columns.put(n_volume, volume.get());
    if (has_size) columns.put(n_vwap, vwap.get());
    columns.put(n_trades, trades.get());
    put_times(n_open_time, open_time.get());
    put_times(n_high_time, high_time.get());
    put_times(n_low_time, low_time.get());
    put_times(n_close_time, close_time.get());
    rt::Ref result = columns.table(pd.get(), frame_type.get(), result_index.get());

    rt::Ref bars_made = rt::Ref::steal(PyLong_FromLongLong(runs.bars));
    rt::Ref rows_read = rt::Ref::steal(PyLong_FromSsize_t(rows));
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("Sampled %S/%S rows.", bars_made.get(), rows_read.get()));
    rt::Ref logging = rt::global(n_logging);
    rt::Ref info = rt::attr(logging.get(), n_info);
    (void)rt::call(info.get(), message.get());
    return result;
}

}  // namespace

const rt::FunctionSpec kBarSamplerInit{"__init__", kInitParams, init};
const rt::FunctionSpec kBarSamplerSample{"sample", kSampleParams, sample};

}  // namespace bars
