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

void check_template(py::handle tmpl, std::string_view field, const std::string& owner) {
  if (!PyUnicode_Check(tmpl.ptr())) return;  // the records' own validation speaks of types
  const std::string placeholder = "{" + std::string(field) + "}";
  py::list parts;
  try {
    parts = py::list(vx::import("string").attr("Formatter")().attr("parse")(tmpl));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    vx::raise_value_error(owner + ": o prompt não é um modelo válido (" + vx::safe_str(e.value()) +
                          "); use " + placeholder + " para o texto e dobre as demais chaves ({{ e }})");
  }
  bool has_field = false;
  for (py::handle p : parts) {
    py::object name = py::reinterpret_borrow<py::tuple>(p)[1];
    if (name.is_none()) continue;
    if (py::str(name).equal(py::str(std::string(field)))) {
      has_field = true;
      continue;
    }
    vx::raise_value_error(owner + ": campo {" + vx::safe_str(name) +
                          "} desconhecido no prompt; o único campo é " + placeholder +
                          " (dobre as chaves de um texto literal: {{ e }})");
  }
  if (!has_field) {
    vx::raise_value_error(owner + ": o prompt não contém " + placeholder +
                          ", onde entra o texto do documento");
  }
}

}  // namespace vx::reader
