// ExistingTimestampSampler: cuts a timestamp-indexed table into consecutive periods of `window`, reduces
// each period with a pandas group-by method named by `func_name`, and indexes the result by the reduced
// input timestamps.
#include "names.hpp"
#include "runtime/handlers.hpp"
#include "runtime/notes.hpp"
#include "samplers.hpp"

namespace samplers {

namespace {

enum class Sample : std::size_t { self, df, count };
constexpr auto kSampleParams = rt::params<Sample>({{"self"}, {"df", "pd.DataFrame"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[rt::Self::self];
    PyObject* kwargs = args.kwargs();
    rt::Ref func_name = rt::noting(
        [] {
            rt::Ref pd = rt::global(n_pd);
            rt::Ref np = rt::global(n_np);
            return working_methods_note(pd.get(), np.get(),
                                        "ExistingTimestampSampler needs func_name, the pandas group-by method that "
                                        "reduces each period, e.g. ExistingTimestampSampler(func_name=\"last\", "
                                        "window=pd.Timedelta(\"1min\")); ");
        },
        [&] { return rt::dict_pop(kwargs, n_func_name); });
    rt::set_attr(self, n_func_name, func_name.get());
    // `kwargs.get("window")`; popped, as the call's own dict of extra keywords is read no further.
    rt::Ref window = rt::dict_pop(kwargs, n_window, Py_None);
    (void)rt::super_call(args, self, d_init, rt::kw<"window">(window.get()));
    // An origin anchors the fixed-length grid; a sampler built without one keeps no such attribute.
    int has_origin = rt::require(PyDict_Contains(kwargs, n_origin));
    if (has_origin) {
        rt::Ref given = rt::dict_pop(kwargs, n_origin);
        rt::Ref pd = rt::global(n_pd);
        rt::Ref origin = checked_origin(pd.get(), given.get());
        rt::set_attr(self, n_origin, origin.get());
    }
    return rt::none();
}

rt::Ref repr(rt::Args& args) {
    PyObject* self = args[rt::Self::self];
    rt::Ref base_text = rt::super_call(args, self, d_repr);
    rt::Ref func_name = rt::attr(self, n_func_name);
    rt::Ref func_text = rt::text_of(func_name.get());
    if (!PyUnicode_Check(base_text.get())) {
        rt::raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(base_text.get())->tp_name);
    }
    return rt::join_texts({base_text.get(), t_underscore, func_text.get()});
}

// `shape[0]` of a table.
rt::Ref row_count(PyObject* table) {
    rt::Ref shape = rt::attr(table, n_shape);
    rt::Ref first = rt::Ref::steal(PyLong_FromLong(0));
    return rt::item(shape.get(), first.get());
}

// The group-by method the sampler is configured with. A name that is not a string fails as hasattr()
// fails; a look-up that fails in any ordinary way means the method is not supported.
void require_supported_method(PyObject* pd, PyObject* np, PyObject* grouped, PyObject* func_name) {
    if (!PyUnicode_Check(func_name)) rt::raise(PyExc_TypeError, "hasattr(): attribute name must be string");
    if (rt::suppress(PyExc_Exception, [&] { (void)rt::attr(grouped, func_name); })) return;
    rt::Ref name_text = rt::text_of(func_name);
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("Unsupported agg_func_name=%U, typo?", name_text.get()));
    rt::raise_noted(PyExc_RuntimeError, message.get(), [&] {
        return working_methods_note(pd, np,
                                    "func_name names a pandas group-by method that reduces each period, called with "
                                    "no arguments; ");
    });
}

// The note on a reduction that failed: the methods that work instead.
rt::Ref failed_method_note(PyObject* pd, PyObject* np, PyObject* func_name) {
    rt::Ref name_text = rt::text_of(func_name);
    rt::Ref lead = rt::Ref::steal(PyUnicode_FromFormat(
        "the sampler reduces the timestamps along with the columns and makes the result of func_name=%R its "
        "index again, which this method cannot do on this table; ",
        name_text.get()));
    const char* lead_text = PyUnicode_AsUTF8(lead.get());
    if (lead_text == nullptr) rt::raise_pending();
    return working_methods_note(pd, np, lead_text);
}

// The reduced timestamps become the index again under the index's name. An unnamed index leaves pandas
// looking for a column named None; its KeyError then says what to do.
rt::Ref restore_index(PyObject* reduced, PyObject* index_col) {
    rt::Ref set_index = rt::attr(reduced, n_set_index);
    try {
        return rt::call(set_index.get(), rt::kw<"keys">(index_col), rt::kw<"drop">(Py_True));
    } catch (const rt::PyError&) {
        if (index_col != Py_None) throw;
        rt::HandledError error(PyExc_KeyError);
        rt::add_note(error.value(), t_unnamed_index_note);
        error.reraise();
    }
}

// The sampled table through pandas' group-by: label, group, reduce by name, make the timestamps the index.
// `grid` is the fixed-length grid the native path laid for the table, if it has one.
rt::Ref sample_through_groupby(PyObject* self, PyObject* pd, PyObject* np, PyObject* df, PyObject* window,
                               PyObject* origin, std::optional<FixedWindowGrid> grid) {
    // Fixed windows over a plain datetime64 index are labelled natively by that grid without copying the
    // caller's table; everything else takes pandas' own grid, which has no origin to anchor it.
    WorkingTable working;
    if (grid) working = label_fixed_window(np, df, std::move(*grid));
    if (!working.table) {
        if (origin != nullptr && origin != Py_None) {
            rt::raise(PyExc_ValueError,
                      "origin applies only to fixed-length windows over a datetime64 index: this grid comes from "
                      "pandas' periods, which start at the first timestamp cut down to the window's unit");
        }
        working = label_through_pandas(pd, np, df, window);
    }

    rt::Ref groupby = rt::attr(working.table.get(), n_groupby);
    rt::Ref grouped =
        rt::call(groupby.get(), n_group_by_label.get(), rt::kw<"as_index">(Py_True), rt::kw<"sort">(Py_False));
    working.table.reset();

    rt::Ref func_name = rt::attr(self, n_func_name);
    require_supported_method(pd, np, grouped.get(), func_name.get());
    rt::Ref method_name = rt::attr(self, n_func_name);
    rt::Ref method = rt::attr(grouped.get(), method_name.get());
    const auto note = [&] { return failed_method_note(pd, np, method_name.get()); };
    rt::Ref reduced = rt::noting(note, [&] { return rt::call(method.get()); });
    grouped.reset();

    // An unnamed index has its own note.
    if (working.index_col.get() == Py_None) return restore_index(reduced.get(), working.index_col.get());
    return rt::noting(note, [&] { return restore_index(reduced.get(), working.index_col.get()); });
}

// Notes on a table the sampler cannot read: a Series, a table without rows, an index of something other
// than timestamps.
rt::Ref table_note(PyObject* pd, PyObject* table) {
    rt::Ref series_type = rt::attr(pd, n_Series);
    if (rt::is_instance(table, series_type.get())) {
        return rt::Ref::steal(PyUnicode_FromString(
            "the sampler takes a DataFrame, and this is a Series: sample it as a one-column table, "
            "series.to_frame() (name an unnamed Series there: series.to_frame(\"price\"))"));
    }
    rt::Ref frame_type = rt::attr(pd, n_DataFrame);
    if (!rt::is_instance(table, frame_type.get())) return {};
    rt::Ref index = rt::attr(table, n_index);
    if (rt::require(PyObject_Size(index.get())) == 0) {
        return rt::Ref::steal(PyUnicode_FromString(
            "the table has no rows, so there is no first or last timestamp to lay periods between: check "
            "len(df) before sampling"));
    }
    rt::Ref datetime_index = rt::attr(pd, n_DatetimeIndex);
    if (rt::is_instance(index.get(), datetime_index.get())) return {};
    rt::Ref index_type = rt::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(index.get())));
    rt::Ref type_name = rt::attr(index_type.get(), d_name);
    return rt::Ref::steal(PyUnicode_FromFormat(
        "the sampler reads the table's index as timestamps, and this index is a %U that pandas does not read as "
        "timestamps: make the timestamp column the index, df = df.set_index(\"ts\"), or convert the index, "
        "df.index = pd.to_datetime(df.index)",
        type_name.get()));
}

// Inside a handler: the pending error again, with the table's note when it has one.
[[noreturn]] void reraise_with_table_note(PyObject* pd, PyObject* table) {
    rt::HandledError error(PyExc_Exception);
    (void)rt::suppress(PyExc_Exception, [&] {
        rt::Ref note = table_note(pd, table);
        if (note) rt::add_note(error.value(), note.get());
    });
    error.reraise();
}

rt::Ref sample(rt::Args& args) {
    PyObject* self = args[Sample::self];
    rt::Ref nrows_before = row_count(args[Sample::df]);
    rt::Ref pd = rt::global(n_pd);
    rt::Ref window = rt::attr(self, n_window);
    rt::Ref origin;
    (void)rt::suppress(PyExc_AttributeError, [&] { origin = rt::attr(self, n_origin); });
    rt::Ref converted = with_timestamp_index(pd.get(), args[Sample::df]);
    // Dates beyond the nanosecond range are sampled 400 years (or a multiple) nearer, where pandas lays
    // periods for them, and moved back; the calendar is the same there.
    ShiftedTable shifted = into_nanosecond_range(pd.get(), converted.get());
    PyObject* df = shifted.table.get();

    // The common tables and methods are reduced natively, straight from the columns' buffers; that path
    // checks the index's order in its own pass over the timestamps and leaves the table to pandas when it
    // is out of order, or when it cannot reduce it exactly, with the grid it laid. An index out of order
    // is refused before anything else is reported.
    rt::Ref np;
    rt::Ref result;
    try {
        NativeSample native;
        try {
            np = rt::global(n_np);
            rt::Ref func_name = rt::attr(self, n_func_name);
            native = sample_natively(pd.get(), np.get(), df, window.get(), func_name.get(), origin.get());
        } catch (const rt::PyError&) {
            rt::HandledError error(PyExc_Exception);
            require_ascending_index(pd.get(), df);
            error.reraise();
        }
        result = std::move(native.result);
        if (!result) {
            if (!native.order_checked) require_ascending_index(pd.get(), df);
            result = sample_through_groupby(self, pd.get(), np.get(), df, window.get(), origin.get(),
                                            std::move(native.grid));
        }
    } catch (const rt::PyError&) {
        // A Series, an empty table or an index of something else than timestamps fails somewhere in
        // pandas with a message about pandas' own workings; the note says what the table lacks.
        reraise_with_table_note(pd.get(), df);
    }

    if (shifted.shift) move_back(pd.get(), result.get(), shifted.shift.get());

    rt::Ref nrows_after = row_count(result.get());
    rt::Ref message =
        rt::Ref::steal(PyUnicode_FromFormat("Sampled %S/%S rows.", nrows_after.get(), nrows_before.get()));
    rt::Ref logging = rt::global(n_logging);
    rt::Ref info = rt::attr(logging.get(), n_info);
    (void)rt::call(info.get(), message.get());
    return result;
}

}  // namespace

const rt::FunctionSpec kExistingTimestampSamplerInit{"__init__", rt::kSelfParams, init, "kwargs"};
const rt::FunctionSpec kExistingTimestampSamplerRepr{"__repr__", rt::kSelfParams, repr};
const rt::FunctionSpec kExistingTimestampSamplerSample{"sample", kSampleParams, sample};

}  // namespace samplers
