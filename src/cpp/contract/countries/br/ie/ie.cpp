// vorlex.contract.countries.br.ie: state registrations (Inscrições Estaduais) of a
// company, by CNPJ, from the CNPJá service.
//
//   CNPJA_API_URL, REQUEST_TIMEOUT, ENV_API_KEY, DEFAULT_REGISTRATIONS_SCOPE
//   buscar_ie_por_cnpj(cnpj)        lookup result or None
//   _normalize_registration(reg)    one registration record
//
// `requests`, the constants, the CNPJ rules imported from the cnpj module
// (limpar_cnpj, validar_cnpj, formatar_cnpj) and _normalize_registration are read
// from the module dict at each call. The API key is read from the environment at
// each call, so a key set after import is used.
#include <string>

#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"
#include "contract/countries/br/web.hpp"

namespace {

vx::Namespace ns;
const vx::Logger logger("vorlex.contract.countries.br.ie");

bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// `reg[key]`, or an empty record when absent, None or empty; a record otherwise.
py::object sub_record(py::handle reg, const char* key) {
  py::object v = vx::mapping_get(reg, key, py::none());
  if (!truthy(v)) return py::dict();
  if (!vx::is_mapping(v)) {
    throw py::type_error(std::string("registration '") + key + "' must be a mapping, not " +
                         vx::type_name(v));
  }
  return v;
}

py::dict normalize_registration(py::object reg) {
  if (!vx::is_mapping(reg)) vx::raise_type_error("reg", "a mapping", reg);
  py::object status = sub_record(reg, "status");
  py::object type_record = sub_record(reg, "type");
  py::str empty("");
  py::dict r;
  r["uf"] = vx::mapping_get(reg, "state", empty);
  r["numero"] = vx::mapping_get(reg, "number", empty);
  py::object type_text = vx::mapping_get(type_record, "text", py::none());
  r["tipo"] = truthy(type_text) ? type_text : py::str("IE");
  r["ativa"] = py::bool_(truthy(vx::mapping_get(reg, "enabled", py::bool_(false))));
  r["situacao"] = vx::mapping_get(status, "text", empty);
  r["data_situacao"] = vx::mapping_get(reg, "statusDate", empty);
  return r;
}

py::object buscar_ie_por_cnpj(py::object cnpj) {
  if (!vx::is_str(cnpj)) vx::raise_type_error("cnpj", "str", cnpj);
  if (!truthy(ns.call("validar_cnpj", cnpj))) return py::none();

  py::object env_var = ns.get("ENV_API_KEY");
  py::object api_key = vx::import("os").attr("environ").attr("get")(env_var);
  if (!truthy(api_key)) {
    logger.warning("%s not set; skipping CNPJá IE lookup", env_var);
    return py::none();
  }
  py::object cleaned = ns.call("limpar_cnpj", cnpj);
  std::string url = vx::br_web::service_url(ns, "CNPJA_API_URL", vx::to_utf8(cleaned));

  py::dict headers;
  headers["Authorization"] = api_key;  // the key itself, no scheme word
  py::dict params;
  params["registrations"] = ns.get("DEFAULT_REGISTRATIONS_SCOPE");
  py::object resp;
  try {
    resp = ns.get("requests")
               .attr("get")(url, py::arg("headers") = headers, py::arg("params") = params,
                            py::arg("timeout") = ns.get("REQUEST_TIMEOUT"));
  } catch (py::error_already_set& e) {
    if (PyObject_IsInstance(e.value().ptr(), vx::br_web::request_error_class(ns.get("requests")).ptr()) != 1)
      throw;
    logger.warning("CNPJá request failed for %s: %s", cleaned, e.value());
    return py::none();
  }

  py::object status = resp.attr("status_code");
  if (status.equal(py::int_(404))) return py::none();
  if (status.not_equal(py::int_(200))) {
    logger.warning("CNPJá returned HTTP %s for %s", status, cleaned);
    return py::none();
  }
  py::object data;
  try {
    data = resp.attr("json")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    logger.warning("CNPJá returned non-JSON for %s: %s", cleaned, e.value());
    return py::none();
  }
  if (!truthy(data)) data = py::dict();
  // Past the request and the decoding, an answer of another shape is outside the
  // service's contract and is raised to the caller.
  if (!vx::is_mapping(data))
    throw py::type_error("CNPJá answer is not a JSON object but " + vx::type_name(data));
  py::object regs = vx::mapping_get(data, "registrations", py::none());
  if (!truthy(regs)) regs = py::list();
  if (!PyList_Check(regs.ptr())) {
    throw py::type_error("CNPJá 'registrations' is not a list but " + vx::type_name(regs));
  }
  py::list registrations;
  for (py::handle reg : regs) registrations.append(ns.call("_normalize_registration", reg));

  py::dict r;
  r["cnpj"] = ns.call("formatar_cnpj", cleaned);
  r["fonte"] = "CNPJá";
  r["inscricoes_estaduais"] = registrations;
  return r;
}

}  // namespace

PYBIND11_MODULE(ie, m) {
  m.doc() = "State registrations (IE) of a company by CNPJ, through CNPJá.";
  ns.bind(m);
  ns.lazy("requests", "requests");
  py::module_ cnpj = vx::import("vorlex.contract.countries.br.cnpj");
  for (const char* name : {"limpar_cnpj", "validar_cnpj", "formatar_cnpj"}) m.attr(name) = cnpj.attr(name);

  m.attr("CNPJA_API_URL") = "https://api.cnpja.com/office/{cnpj}";
  m.attr("REQUEST_TIMEOUT") = 10;
  m.attr("ENV_API_KEY") = "CNPJA_API_KEY";
  m.attr("DEFAULT_REGISTRATIONS_SCOPE") = "BR";

  m.def("buscar_ie_por_cnpj", &buscar_ie_por_cnpj, py::arg("cnpj"),
        "{'cnpj', 'fonte', 'inscricoes_estaduais'} of a valid CNPJ, or None (no key, "
        "request failure, unknown company, non-JSON answer).");
  m.def("_normalize_registration", &normalize_registration, py::arg("reg"),
        "One registration record from an entry of CNPJá's 'registrations'.");
  py::list all;
  all.append("buscar_ie_por_cnpj");
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
