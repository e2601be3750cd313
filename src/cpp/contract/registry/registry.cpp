// vorlex.contract.registry: the country adapters the contract checker can use.
//
//   ADAPTERS        country code -> adapter class, read at each get_adapter call, so a
//                   caller may register a country of its own
//   get_adapter     the adapter for a country code (case and blanks ignored)
//   BrazilAdapter   the federal registry through vorlex.contract.countries.br.cnpj:
//                   validar_cnpj (or validar_cnpj_alfanumerico), consultar_cnpj, buscar_cnpj_por_nome and
//                   falha_ultima_consulta, each read from that module at call time
#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

vx::Namespace ns;
constexpr const char* kCnpj = "vorlex.contract.countries.br.cnpj";

py::object get_adapter(py::object country) {
  if (!vx::is_str(country)) vx::raise_type_error("country", "str", country);
  py::object code = country.attr("strip")().attr("upper")();
  py::object adapters = ns.get("ADAPTERS");
  py::object cls = adapters.attr("get")(code);
  if (cls.is_none()) {
    py::list codes = py::module_::import("builtins").attr("sorted")(adapters);
    std::string listed;
    for (py::handle c : codes) {
      if (!listed.empty()) listed += ", ";
      listed += vx::safe_str(c);
    }
    vx::raise_value_error("País não suportado: " + vx::safe_str(py::repr(country)) +
                          ". Países suportados: " + listed);
  }
  return cls();
}

// Either format: the numeric CNPJ, or the alphanumeric one issued since July 2026.
bool br_validate(py::object, py::object company_id) {
  return vx::truthy(vx::late(kCnpj, "validar_cnpj")(company_id)) ||
         vx::truthy(vx::late(kCnpj, "validar_cnpj_alfanumerico")(company_id));
}

py::object br_lookup(py::object, py::object company_id) {
  return vx::late(kCnpj, "consultar_cnpj")(company_id);
}

py::object br_search(py::object, py::object name) { return vx::late(kCnpj, "buscar_cnpj_por_nome")(name); }

py::object br_failure(py::object) { return vx::late(kCnpj, "falha_ultima_consulta")(); }

}  // namespace

PYBIND11_MODULE(registry, m) {
  m.doc() = "Country adapters of the contract checker and get_adapter.";
  ns.bind(m);
  py::object base = py::module_::import("vorlex.contract.base").attr("CountryAdapter");
  m.attr("CountryAdapter") = base;

  vx::PyClass br(m, "BrazilAdapter",
                 "The Brazilian federal company registry (CNPJ) through BrasilAPI, "
                 "ReceitaWS and Casa dos Dados.",
                 py::make_tuple(base));
  br.attr("country_code", py::str("BR"))
      .attr("country_name", py::str("Brasil"))
      .def("validate_company_id", &br_validate, py::arg("self"), py::arg("company_id"),
           "validar_cnpj of the cleaned CNPJ.")
      .def("lookup_company", &br_lookup, py::arg("self"), py::arg("company_id"),
           "consultar_cnpj: the registry's company record, or None.")
      .def("search_companies", &br_search, py::arg("self"), py::arg("name"),
           "buscar_cnpj_por_nome: the record of the best company found by name, or None.")
      .def("last_lookup_failure", &br_failure, py::arg("self"),
           "falha_ultima_consulta: why this thread's last lookup found nothing when the "
           "registry could not be asked, else None.");

  py::dict adapters;
  adapters["BR"] = br.cls();
  m.attr("ADAPTERS") = adapters;
  m.def("get_adapter", &get_adapter, py::arg("country"),
        "The country adapter for a country code such as 'BR'.");
  py::list all;
  for (const char* n : {"ADAPTERS", "BrazilAdapter", "CountryAdapter", "get_adapter"}) all.append(n);
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
