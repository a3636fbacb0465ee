// Every interned name of the inibridge module, declared once. The prefix says which string an identifier
// holds: n_<text> the name as written, a_<text> "_<text>" (an object's own underscored attribute or
// method); see runtime/names.hpp.
#pragma once

#include "runtime/names.hpp"

namespace inibridge {

inline rt::Name n_configparser{"configparser"};
inline rt::Name n_ConfigParser{"ConfigParser"};
inline rt::Name n_Path{"Path"};
inline rt::Name n_joinpath{"joinpath"};
inline rt::Name n_get_project_root{"get_project_root"};
inline rt::Name n_exists{"exists"};
inline rt::Name n_read{"read"};
inline rt::Name a_raw_config_parser{"_raw_config_parser"};
inline rt::Name a_join_multiline_values{"_join_multiline_values"};

}  // namespace inibridge
