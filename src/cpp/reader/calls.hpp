// Pieces of the model call layer that the other parts of the reader share.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

// Gives a new reader its per-run side-usage accumulator (a contextvars.ContextVar in
// `_side_usage_var`) and the lock that guards additions to it.
void init_side_usage(py::handle self);

// round(value, ndigits) with Python's rules (the value's own __round__).
py::object round_to(py::handle value, int ndigits);

}  // namespace vx::reader
