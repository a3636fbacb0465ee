// ExistingTimestampSampler: cuts a timestamp-indexed table into consecutive periods of `window`, reduces
// each period with a pandas group-by method named by `func_name`, and indexes the result by the reduced
// input timestamps.
#include "names.hpp"
#include "runtime/handlers.hpp"
#include "runtime/notes.hpp"
#include "samplers.hpp"

namespace samplers {

namespace {

enum class Self : std::size_t { self, count };
constexpr auto kSelfParams = rt::params<Self>({{"self"}});

enum class Sample : std::size_t { self, df, count };
constexpr auto kSampleParams = rt::params<Sample>({{"self"}, {"df", "pd.DataFrame"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Self::self];
    PyObject* kwargs = args.kwargs();
    rt::Ref func_name = rt::dict_pop(kwargs, n_func_name);
    rt::set_attr(self, n_func_name, func_name.get());
    // `kwargs.get("window")`; popped, as the call's own dict of extra keywords is read no further.
    rt::Ref window = rt::dict_pop(kwargs, n_window, Py_None);
    (void)rt::super_call(args, self, d_init, rt::kw<"window">(window.get()));
    return rt::none();
}

rt::Ref repr(rt::Args& args) {
    PyObject* self = args[Self::self];
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
void require_supported_method(PyObject* grouped, PyObject* func_name) {
    if (!PyUnicode_Check(func_name)) rt::raise(PyExc_TypeError, "hasattr(): attribute name must be string");
    if (rt::suppress(PyExc_Exception, [&] { (void)rt::attr(grouped, func_name); })) return;
    rt::Ref name_text = rt::text_of(func_name);
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("Unsupported agg_func_name=%U, typo?", name_text.get()));
    rt::Ref error = rt::call(PyExc_RuntimeError, message.get());
    rt::add_note(error.get(), t_supported_methods_note);
    rt::raise(PyExc_RuntimeError, error.get());
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

// Steps 2 to 12 through pandas' group-by: label, group, reduce by name, make the timestamps the index.
rt::Ref sample_through_groupby(PyObject* self, PyObject* pd, PyObject* np, PyObject* df, PyObject* window) {
    // Fixed windows over a plain datetime64 index are labelled natively without copying the caller's
    // table; everything else takes pandas' own grid.
    WorkingTable working = label_fixed_window(pd, np, df, window);
    if (!working.table) working = label_through_pandas(pd, np, df, window);

    rt::Ref groupby = rt::attr(working.table.get(), n_groupby);
    rt::Ref grouped =
        rt::call(groupby.get(), n_group_by_label.get(), rt::kw<"as_index">(Py_True), rt::kw<"sort">(Py_False));
    working.table.reset();

    rt::Ref func_name = rt::attr(self, n_func_name);
    require_supported_method(grouped.get(), func_name.get());
    rt::Ref method_name = rt::attr(self, n_func_name);
    rt::Ref method = rt::attr(grouped.get(), method_name.get());
    rt::Ref reduced = rt::call(method.get());
    grouped.reset();

    return restore_index(reduced.get(), working.index_col.get());
}

rt::Ref sample(rt::Args& args) {
    PyObject* self = args[Sample::self];
    PyObject* df = args[Sample::df];
    rt::Ref nrows_before = row_count(df);
    rt::Ref pd = rt::global(n_pd);
    rt::Ref window = rt::attr(self, n_window);

    // The common tables and methods are reduced natively, straight from the columns' buffers; that path
    // checks the index's order in its own pass over the timestamps and gives up when it is out of order.
    // An index out of order is refused before anything else is reported.
    rt::Ref np;
    rt::Ref result;
    try {
        np = rt::global(n_np);
        rt::Ref func_name = rt::attr(self, n_func_name);
        result = sample_natively(pd.get(), np.get(), df, window.get(), func_name.get());
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        require_ascending_index(pd.get(), df);
        error.reraise();
    }
    if (!result) {
        require_ascending_index(pd.get(), df);
        result = sample_through_groupby(self, pd.get(), np.get(), df, window.get());
    }

    rt::Ref nrows_after = row_count(result.get());
    rt::Ref message =
        rt::Ref::steal(PyUnicode_FromFormat("Sampled %S/%S rows.", nrows_after.get(), nrows_before.get()));
    rt::Ref logging = rt::global(n_logging);
    rt::Ref info = rt::attr(logging.get(), n_info);
    (void)rt::call(info.get(), message.get());
    return result;
}

}  // namespace

const rt::FunctionSpec kExistingTimestampSamplerInit{"__init__", kSelfParams, init, "kwargs"};
const rt::FunctionSpec kExistingTimestampSamplerRepr{"__repr__", kSelfParams, repr};
const rt::FunctionSpec kExistingTimestampSamplerSample{"sample", kSampleParams, sample};

}  // namespace samplers
