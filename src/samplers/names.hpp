// Interned names of the samplers module, declared once. The prefix says which string an identifier holds:
// n_<text> the name as written (a pandas or numpy attribute, method, keyword or global), d_<text>
// "__<text>__", t_<what> a text that is no identifier; see runtime/names.hpp. Keyword arguments are named
// where they are passed, `rt::kw<"freq">(value)`.
#pragma once

#include "runtime/names.hpp"

namespace samplers {
// An inline namespace of their own, so that the bars module, which compiles parts of the samplers in,
// can take all of them at once.
inline namespace names {

// pandas and numpy names.
inline rt::Name n_DataFrame{"DataFrame"};
inline rt::Name n_DatetimeIndex{"DatetimeIndex"};
inline rt::Name n_Series{"Series"};
inline rt::Name n_Tick{"Tick"};
inline rt::Name n_timedelta64{"timedelta64"};
inline rt::Name n_Timedelta{"Timedelta"};
inline rt::Name n_catch_warnings{"catch_warnings"};
inline rt::Name n_simplefilter{"simplefilter"};
inline rt::Name n_ISO8601{"ISO8601"};
inline rt::Name n_asi8{"asi8"};
inline rt::Name n_astype{"astype"};
inline rt::Name n_base{"base"};
inline rt::Name n_copy{"copy"};
inline rt::Name n_dtype{"dtype"};
inline rt::Name n_empty{"empty"};
inline rt::Name n_ffill{"ffill"};
inline rt::Name n_freq{"freq"};
inline rt::Name n_index{"index"};
inline rt::Name n_int64{"int64"};
inline rt::Name n_kind{"kind"};
inline rt::Name n_loc{"loc"};
inline rt::Name n_max{"max"};
inline rt::Name n_min{"min"};
inline rt::Name n_n{"n"};
inline rt::Name n_name{"name"};
inline rt::Name n_nanos{"nanos"};
inline rt::Name n_offsets{"offsets"};
inline rt::Name n_period_range{"period_range"};
inline rt::Name n_Period{"Period"};
inline rt::Name n_ordinal{"ordinal"};
inline rt::Name n_reindex{"reindex"};
inline rt::Name n_repeat{"repeat"};
inline rt::Name n_reset_index{"reset_index"};
inline rt::Name n_str{"str"};
inline rt::Name n_to_datetime{"to_datetime"};
inline rt::Name n_tz{"tz"};
inline rt::Name n_tzinfo{"tzinfo"};
inline rt::Name n_inferred_type{"inferred_type"};
inline rt::Name n_tz_localize{"tz_localize"};
inline rt::Name n_union{"union"};
inline rt::Name n_unique{"unique"};
inline rt::Name n_values{"values"};
inline rt::Name n_view{"view"};
inline rt::Name n_Index{"Index"};
inline rt::Name n_columns{"columns"};
inline rt::Name n_is_unique{"is_unique"};
inline rt::Name n_items{"items"};
inline rt::Name n_to_numpy{"to_numpy"};
inline rt::Name n_take{"take"};
inline rt::Name n_UTC{"UTC"};
inline rt::Name n_tz_convert{"tz_convert"};
inline rt::Name n_T{"T"};
inline rt::Name n_BaseGrouper{"BaseGrouper"};
inline rt::Name a_reduceat_aggregate{"_reduceat_aggregate"};
inline rt::Name n_float64{"float64"};
inline rt::Name n_float32{"float32"};
inline rt::Name n_int32{"int32"};
inline rt::Name n_bool{"bool"};

// The samplers' own attributes and methods, and the module's globals.
inline rt::Name n_window{"window"};
inline rt::Name n_sample{"sample"};
inline rt::Name n_func_name{"func_name"};
inline rt::Name n_origin{"origin"};
inline rt::Name n_epoch{"epoch"};
inline rt::Name n_start_day{"start_day"};
inline rt::Name n_Timestamp{"Timestamp"};
inline rt::Name n_value{"value"};
inline rt::Name n_pd{"pd"};
inline rt::Name n_np{"np"};
inline rt::Name n_logging{"logging"};
inline rt::Name n_info{"info"};
inline rt::Name n_groupby{"groupby"};
inline rt::Name n_set_index{"set_index"};
inline rt::Name n_shape{"shape"};

// Special names.
inline rt::Name d_class{"__class__"};
inline rt::Name d_init{"__init__"};
inline rt::Name d_repr{"__repr__"};
inline rt::Name d_version{"__version__"};
inline rt::Name d_finalize{"__finalize__"};
inline rt::Name d_name{"__name__"};

// The column that carries each row's period start while the rows are grouped.
inline rt::Name n_group_by_label{"group_by_label"};

// Texts.
inline rt::Name t_underscore{"_"};
inline rt::Name t_datetime64_ns{"datetime64[ns]"};
inline rt::Name t_day_unit{"D"};
// Notes on the sampler's refusals.
inline rt::Name t_unnamed_index_note{
    "the sampler puts the input's index back on the result by its name, and this index has none: name "
    "it first, e.g. df.index.name = \"t\" or df = df.rename_axis(\"t\")"};

}  // namespace names
}  // namespace samplers
