// Pieces of the model call layer that the other parts of the reader share.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

// Gives a new reader its per-run side-usage accumulator (a contextvars.ContextVar in
// `_side_usage_var`) and the lock that guards additions to it.
void init_side_usage(py::handle self);

}  // namespace vx::reader
