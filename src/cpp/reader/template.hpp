// Prompt templates filled with Python's str.format rules.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

// tmpl.format(**{field: value}): the interpreter's own rules and errors (KeyError for
// another field, ValueError for a lone brace, AttributeError for a template that is
// not text, ...).
py::str format_template(py::handle tmpl, std::string_view field, py::handle value);

// Refuses, with a ValueError naming `owner` (the question, or the classification) and
// the field, a template that format_template could not fill with `field` alone: one
// without {field} (the document would never reach the model), one naming another field,
// or one that str.format cannot parse (a lone brace, single braces of a JSON example).
// The template is parsed by string.Formatter, as str.format reads it.
void check_template(py::handle tmpl, std::string_view field, const std::string& owner);

}  // namespace vx::reader
