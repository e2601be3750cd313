// Internal interface between the files of the vorlex.providers.google module.
#pragma once

#include <functional>

#include "bridge/bridge.hpp"

namespace vx::google {

// An awaitable that awaits `inner` (any Python awaitable) and hands its result through
// `adapt`: values sent into it, exceptions thrown into it and close() all reach the
// inner awaitable, so cancellation works as with a plain coroutine.
py::object adapted_awaitable(py::object inner, std::function<py::object(py::object)> adapt);
void init_awaitable(py::module_& m);

}  // namespace vx::google
