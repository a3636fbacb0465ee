// Interned names of the bars module, declared once (see runtime/names.hpp for the prefixes). The
// samplers' grid and index checks, compiled in here as well, bring the samplers' own names, which the
// bars use as they are.
#pragma once

#include "runtime/names.hpp"
#include "samplers/names.hpp"

namespace bars {

using namespace samplers::names;

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
