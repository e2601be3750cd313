// vorlex.contract.base: what the contract checker asks of a country's company registry.
//
//   CountryAdapter   validate_company_id, lookup_company, search_companies; the base
//                    class raises NotImplementedError, a country's adapter overrides
//                    all three (vorlex.contract.registry holds the Brazilian one);
//                    last_lookup_failure (None unless overridden)
//
// An ordinary Python class, so that a caller can subclass it in Python for a country
// of its own and register it in vorlex.contract.registry.ADAPTERS.
#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

[[noreturn]] void not_implemented(py::handle self, const char* method) {
  std::string name = py::cast<std::string>(py::type::handle_of(self).attr("__name__"));
  PyErr_SetString(PyExc_NotImplementedError, (name + "." + method + " is not implemented").c_str());
  throw py::error_already_set();
}

py::object repr(py::object self) {
  std::string name = py::cast<std::string>(py::type::handle_of(self).attr("__name__"));
  return py::str("<" + name + " " + vx::safe_str(py::repr(self.attr("country_code"))) + ">");
}

}  // namespace

PYBIND11_MODULE(base, m) {
  m.doc() = "The country adapter the contract checker uses to reach a company registry.";
  vx::PyClass(m, "CountryAdapter",
              "A country's company registry: id validation, lookup by id, search by name.")
      .attr("country_code", py::str(""))
      .attr("country_name", py::str(""))
      .def(
          "validate_company_id",
          [](py::object self, py::object) -> bool { not_implemented(self, "validate_company_id"); },
          py::arg("self"), py::arg("company_id"),
          "Whether the cleaned id is a well-formed company id of the country.")
      .def(
          "lookup_company",
          [](py::object self, py::object) -> py::object { not_implemented(self, "lookup_company"); },
          py::arg("self"), py::arg("company_id"), "The registry's company record for the id, or None.")
      .def(
          "search_companies",
          [](py::object self, py::object) -> py::object { not_implemented(self, "search_companies"); },
          py::arg("self"), py::arg("name"), "The record of the best company found by name, or None.")
      .def(
          "last_lookup_failure", [](py::object) -> py::object { return py::none(); }, py::arg("self"),
          "Why the last lookup or search found nothing when the registry could not be "
          "asked (down, unreachable, timed out), as text; None when it answered. A lookup "
          "that could not ask is no evidence that the company does not exist.")
      .def("__repr__", &repr, py::arg("self"));
  py::list all;
  all.append("CountryAdapter");
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
