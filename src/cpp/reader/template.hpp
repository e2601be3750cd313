// Prompt templates filled with Python's str.format rules.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

// template.format(**{field: value}) with the interpreter's exact behaviour: the named
// field receives `value` (with any attribute, index, conversion or format spec the
// template applies to it), "{{" and "}}" are literal braces, and every other field
// (another name, a positional field) or a lone brace raises the same error, with the
// same message, as str.format would (KeyError, IndexError, ValueError, ...).
py::str format_template(py::handle tmpl, std::string_view field, py::handle value);

}  // namespace vx::reader
