// Prompt templates are filled by the template's own format method, so every rule of
// str.format (escaped braces, attribute and index fields, conversions, format specs)
// and every error it raises, with its message, is the interpreter's.
#include "reader/template.hpp"

namespace vx::reader {

py::str format_template(py::handle tmpl, std::string_view field, py::handle value) {
  py::dict kw;
  kw[py::str(std::string(field))] = value;
  py::object filled = tmpl.attr("format")(**kw);
  if (!PyUnicode_Check(filled.ptr())) vx::raise_type_error("format()", "str", filled);
  return py::reinterpret_borrow<py::str>(filled);
}

}  // namespace vx::reader
