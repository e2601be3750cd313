// Prompt templates filled with Python's str.format rules.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

// tmpl.format(**{field: value}): the interpreter's own rules and errors (KeyError for
// another field, ValueError for a lone brace, AttributeError for a template that is
// not text, ...).
py::str format_template(py::handle tmpl, std::string_view field, py::handle value);

}  // namespace vx::reader
