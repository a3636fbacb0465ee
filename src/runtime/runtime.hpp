// The shared native runtime layer: everything a module needs to look like Python to its callers.
#pragma once

#include "buffer.hpp"
#include "calls.hpp"
#include "classes.hpp"
#include "function.hpp"
#include "module.hpp"
#include "names.hpp"
#include "notes.hpp"
#include "ref.hpp"
