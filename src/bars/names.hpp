// Interned names of the bars module, declared once (see runtime/names.hpp for the prefixes). The
// samplers' grid and index checks, compiled in here as well, bring the samplers' own names.
#pragma once

#include "runtime/names.hpp"
#include "samplers/names.hpp"

namespace bars {

using samplers::a_reduceat_aggregate;
using samplers::d_init;
using samplers::d_version;
using samplers::n_asi8;
using samplers::n_BaseGrouper;
using samplers::n_columns;
using samplers::n_DataFrame;
using samplers::n_DatetimeIndex;
using samplers::n_dtype;
using samplers::n_empty;
using samplers::n_float32;
using samplers::n_float64;
using samplers::n_Index;
using samplers::n_index;
using samplers::n_info;
using samplers::n_int32;
using samplers::n_int64;
using samplers::n_logging;
using samplers::n_name;
using samplers::n_np;
using samplers::n_origin;
using samplers::n_pd;
using samplers::n_shape;
using samplers::n_str;
using samplers::n_to_numpy;
using samplers::n_tz;
using samplers::n_tz_convert;
using samplers::n_tz_localize;
using samplers::n_UTC;
using samplers::n_view;
using samplers::n_window;

inline rt::Name n_Timedelta{"Timedelta"};
inline rt::Name n_BarSampler{"BarSampler"};
inline rt::Name n_price{"price"};
inline rt::Name n_size{"size"};
inline rt::Name n_label{"label"};
inline rt::Name n_closed{"closed"};
inline rt::Name n_left{"left"};
inline rt::Name n_right{"right"};
inline rt::Name n_drop{"drop"};
inline rt::Name n_fill{"fill"};
inline rt::Name n_array{"array"};
inline rt::Name a_from_arrays{"_from_arrays"};
inline rt::Name n_ascontiguousarray{"ascontiguousarray"};
inline rt::Name n_open{"open"};
inline rt::Name n_high{"high"};
inline rt::Name n_low{"low"};
inline rt::Name n_close{"close"};
inline rt::Name n_volume{"volume"};
inline rt::Name n_vwap{"vwap"};
inline rt::Name n_trades{"trades"};
inline rt::Name n_open_time{"open_time"};
inline rt::Name n_high_time{"high_time"};
inline rt::Name n_low_time{"low_time"};
inline rt::Name n_close_time{"close_time"};

inline rt::Name t_to_datetime_note{
    "BarSampler reads the timestamps from the index: make them one first, e.g. "
    "df = df.set_index(pd.to_datetime(df[\"time\"])) or df.index = pd.to_datetime(df.index)"};

}  // namespace bars
