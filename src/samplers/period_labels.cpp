// Row labels through pandas: the grid of periods from the first to the last timestamp, a map from every
// timestamp to the start of its period, and a look-up of each row in that map. Works for any window and
// index pandas can lay periods for.
#include "samplers.hpp"

namespace samplers {

namespace {

rt::Name n_copy{"copy"};
rt::Name n_index{"index"};
rt::Name n_period_range{"period_range"};
rt::Name n_astype{"astype"};
rt::Name n_datetime64_ns{"datetime64[ns]"};
rt::Name n_freq{"freq"};
rt::Name n_Series{"Series"};
rt::Name n_unique{"unique"};
rt::Name n_union{"union"};
rt::Name n_reindex{"reindex"};
rt::Name n_ffill{"ffill"};
rt::Name n_loc{"loc"};
rt::Name n_values{"values"};
rt::Name n_name{"name"};
rt::Name n_reset_index{"reset_index"};

rt::KeywordNames kw_period_range{"start", "end", "freq"};
rt::KeywordNames kw_series{"index"};

rt::Ref index_item(PyObject* index, Py_ssize_t position) {
    rt::Ref key = rt::Ref::steal(PyLong_FromSsize_t(position));
    return rt::item(index, key.get());
}

}  // namespace

WorkingTable label_through_pandas(PyObject* pd, PyObject* df, PyObject* window) {
    rt::Ref table = rt::call_method(df, n_copy);

    rt::Ref index = rt::attr(table.get(), n_index);
    rt::Ref first = index_item(index.get(), 0);
    rt::Ref last = index_item(index.get(), -1);
    rt::Ref period_range = rt::attr(pd, n_period_range);
    rt::Ref periods = rt::call_kw(period_range.get(), kw_period_range, first.get(), last.get(), window);
    // Unit-less datetime64 is refused from pandas 2.2 on; nanoseconds give the same period starts everywhere.
    rt::Ref new_time_index = rt::call_method(periods.get(), n_astype, n_datetime64_ns.get());
    periods.reset();
    rt::set_attr(new_time_index.get(), n_freq, Py_None);

    // Every timestamp maps to the latest period start at or before it. The map is built on the unique
    // timestamps: with repeated ones the look-up below would return a row per pair of equal timestamps.
    rt::Ref series_type = rt::attr(pd, n_Series);
    rt::Ref grid_map = rt::call_kw(series_type.get(), kw_series, new_time_index.get(), new_time_index.get());
    rt::Ref unique_times = rt::call_method(index.get(), n_unique);
    rt::Ref all_times = rt::call_method(unique_times.get(), n_union, new_time_index.get());
    unique_times.reset();
    rt::Ref reindexed = rt::call_method(grid_map.get(), n_reindex, all_times.get());
    grid_map.reset();
    all_times.reset();
    rt::Ref new_time = rt::call_method(reindexed.get(), n_ffill);
    reindexed.reset();

    rt::Ref locator = rt::attr(new_time.get(), n_loc);
    rt::Ref looked_up = rt::item(locator.get(), index.get());
    rt::Ref labels = rt::attr(looked_up.get(), n_values);
    looked_up.reset();
    rt::require(PyObject_SetItem(table.get(), n_group_by_label, labels.get()));
    labels.reset();

    rt::Ref table_index = rt::attr(table.get(), n_index);
    rt::Ref index_col = rt::attr(table_index.get(), n_name);
    rt::Ref working = rt::call_method(table.get(), n_reset_index);
    return {std::move(working), std::move(index_col)};
}

}  // namespace samplers
