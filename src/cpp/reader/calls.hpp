// Pieces of the model call layer that the other parts of the reader share.
#pragma once

#include <initializer_list>
#include <string>

#include "bridge/bridge.hpp"

namespace vx::reader {

// Gives a new reader its per-run side-usage accumulator (a contextvars.ContextVar in
// `_side_usage_var`) and the lock that guards additions to it.
void init_side_usage(py::handle self);

// fn(**kwargs) with the keywords in the given order. pybind11's py::arg("k") = v
// form costs a type-name demangling per keyword when assertions are compiled in;
// the model-call path builds its keyword dict directly.
struct Kw {
  const char* name;
  py::object value;
};
py::object call_kw(py::handle fn, std::initializer_list<Kw> kwargs);

// round(value, ndigits) with Python's rules (the value's own __round__).
py::object round_to(py::handle value, int ndigits);

// calculate_cost(model, prompt, completion), except that a reader of a local or
// self-hosted server (base_url) pays nothing for a model without a price, and is not
// warned about it on every run: its model runs on the caller's machines.
py::object call_cost(py::handle self, py::handle model, py::handle prompt, py::handle completion);

// The HTTP status an error carries (its status_code, an int), or -1 when it has none.
long long http_status(py::handle exc);

}  // namespace vx::reader
