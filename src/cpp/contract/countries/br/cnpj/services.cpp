// The registry services asked by number, BrasilAPI (_consultar_brasil_api) and
// ReceitaWS (_consultar_receita_ws): their adapters and the tables of their keys.
//
// Both answer with one JSON object that holds mostly the same facts under other keys,
// and both become the same company record. So one adapter (lookup_by_number) serves
// the two, driven by a Service entry: the URL constant it reads, its log lines, the
// service's keys for the record's fields and for a partner's, and the four points
// where the answers really differ: ReceitaWS wants an Accept header, reports an
// unknown number as {"status": "ERROR"} and writes the capital as text; BrasilAPI may
// give a partner's qualification only as a code.
#include <optional>
#include <span>
#include <string>

#include "contract/countries/br/cnpj/web_call.hpp"
#include "contract/countries/br/web.hpp"
#include "core/br_address.hpp"
#include "core/br_cnpj.hpp"

namespace vx::cnpj {

namespace {

using br_py::from_u32;
using br_py::to_u32;

// ---------------------------------------------------------------------------------
// The tables

struct Column {
  const char* key;     // key of the company record
  const char* source;  // key in the service's answer; nullptr: always ""
};

// The service's keys for the record's own fields.
struct RecordKeys {
  const char* razao_social;
  const char* nome_fantasia;
  const char* situacao;
  const char* data_situacao;
  const char* data_abertura;
};

struct Service {
  FailureLines lines;        // its name, and what a failed lookup logs
  const char* url_constant;  // module constant with the URL template
  RecordKeys keys;
  std::span<const Column> partner;  // one entry of its partner list ("qsa")
  bool asks_for_json;               // sends Accept: application/json
  bool error_status;                // {"status": "ERROR"}: the number is unknown
  bool capital_as_text;             // "1.000.000,00" or "10000.00", not a number
  bool qualification_codes;         // a partner's qualification may be a code only
};

constexpr Column kBrasilApiPartner[] = {
    {"nome", "nome_socio"},
    {"qualificacao", "qualificacao_socio"},
    {"data_entrada", "data_entrada_sociedade"},
    {"cpf_representante", "cpf_representante_legal"},
    {"nome_representante", "nome_representante_legal"},
    {"qualificacao_representante", "qualificacao_representante_legal"},
};
constexpr Column kReceitaWsPartner[] = {
    {"nome", "nome"},
    {"qualificacao", "qual"},
    {"data_entrada", nullptr},
    {"cpf_representante", nullptr},
    {"nome_representante", nullptr},
    {"qualificacao_representante", nullptr},
};

constexpr Service kBrasilApi = {
    {"BrasilAPI", "BrasilAPI request failed for %s: %s", "Unexpected error in _consultar_brasil_api for %s"},
    "BRASIL_API_URL",
    {"razao_social", "nome_fantasia", "descricao_situacao_cadastral", "data_situacao_cadastral",
     "data_inicio_atividade"},
    kBrasilApiPartner,
    /*asks_for_json=*/false,
    /*error_status=*/false,
    /*capital_as_text=*/false,
    /*qualification_codes=*/true,
};
constexpr Service kReceitaWs = {
    {"ReceitaWS", "ReceitaWS request failed for %s: %s", "Unexpected error in _consultar_receita_ws for %s"},
    "RECEITA_WS_URL",
    {"nome", "fantasia", "situacao", "data_situacao", "abertura"},
    kReceitaWsPartner,
    /*asks_for_json=*/true,
    /*error_status=*/true,
    /*capital_as_text=*/true,
    /*qualification_codes=*/false,
};

// The address sub-record's keys and their source, the same in both answers.
constexpr Column kAddressColumns[] = {
    {"logradouro", "logradouro"},
    {"numero", "numero"},
    {"complemento", "complemento"},
    {"bairro", "bairro"},
    {"cidade", "municipio"},
    {"uf", "uf"},
    {"cep", "cep"},
};

// ---------------------------------------------------------------------------------
// Reading an answer

py::dict copy_columns(const py::dict& data, std::span<const Column> columns) {
  py::dict out;
  py::str empty("");
  for (const Column& c : columns) {
    out[c.key] = c.source ? vx::mapping_get(data, c.source, empty) : py::object(empty);
  }
  return out;
}

// A BrasilAPI partner whose qualification came only as a code gets the code's text
// from the registry's table (QUALIFICACOES_SOCIO), for the partner and for its legal
// representative alike.
void qualification_from_code(py::dict& partner, const py::dict& entry, const char* key,
                             const char* code_key) {
  if (PyUnicode_Check(partner[key].ptr()) && PyUnicode_GET_LENGTH(partner[key].ptr()) > 0) return;
  py::object code = vx::mapping_get(entry, code_key, py::none());
  if (!PyLong_Check(code.ptr()) || PyBool_Check(code.ptr())) return;
  py::object table = ns.get("QUALIFICACOES_SOCIO");
  py::object text = table.attr("get")(code);
  if (is_str(text)) partner[key] = text;
}

py::list partners(const py::dict& data, const Service& service) {
  const char* name = service.lines.service;
  py::object qsa = vx::mapping_get(data, "qsa", py::list());
  if (qsa.is_none()) return py::list();  // null: no partner list published
  if (!PyList_Check(qsa.ptr())) {
    throw py::type_error(std::string(name) + " 'qsa' is not a list but " + type_name(qsa));
  }
  py::list out;
  const std::string what = std::string(name) + " 'qsa' entry";
  for (py::handle item : vx::list_copy(qsa)) {
    py::dict entry = json_object(item, what.c_str());
    py::dict partner = copy_columns(entry, service.partner);
    if (service.qualification_codes) {
      qualification_from_code(partner, entry, "qualificacao", "codigo_qualificacao_socio");
      qualification_from_code(partner, entry, "qualificacao_representante",
                              "codigo_qualificacao_representante_legal");
    }
    out.append(partner);
  }
  return out;
}

// The address sub-record: every value read as text (BrasilAPI sends the CEP as a JSON
// integer that lost its leading zero, and null for unknown fields), and the street
// type, which BrasilAPI keeps apart ("RUA" + "LEANDRO MARTINS COSTA"), put back in
// front of the street unless the street already begins with it.
py::dict address(const py::dict& data) {
  py::dict out;
  for (const Column& c : kAddressColumns) {
    out[c.key] = br_py::registry_text(vx::mapping_get(data, c.source, py::none()),
                                      std::string_view(c.key) == "cep");
  }
  py::str type = br_py::registry_text(vx::mapping_get(data, "descricao_tipo_de_logradouro", py::none()));
  if (PyUnicode_GET_LENGTH(type.ptr()) == 0) {
    type = br_py::registry_text(vx::mapping_get(data, "descricao_tipo_logradouro", py::none()));
  }
  py::str street = out["logradouro"];
  out["logradouro"] = from_u32(br::street_with_type(to_u32(type), to_u32(street)));
  return out;
}

// ReceitaWS writes the capital as text: "1.000.000,00" (Brazilian) or "10000.00"
// (dot decimal). Reading the second by deleting every dot would multiply it by a
// hundred, so the decimal point is told apart from thousands separators first
// (core/br_cnpj read_capital).
py::object capital_from_text(py::object capital) {
  if (!is_str(capital)) return capital;
  bool empty = false;
  auto value = br::read_capital(to_u32(capital), &empty);
  if (empty) return py::int_(0);
  if (!value) throw py::value_error("capital_social is not a number: " + to_utf8(py::repr(capital)));
  return py::float_(*value);
}

// The company record, keys in their documented order.
py::dict company_record(const Service& service, const py::str& formatted, const py::dict& data,
                        py::object capital, py::list partner_list) {
  py::str empty("");
  py::dict r;
  r["fonte"] = service.lines.service;
  r["cnpj"] = formatted;
  r["razao_social"] = vx::mapping_get(data, service.keys.razao_social, empty);
  r["nome_fantasia"] = vx::mapping_get(data, service.keys.nome_fantasia, empty);
  r["situacao"] = vx::mapping_get(data, service.keys.situacao, empty);
  r["data_situacao"] = vx::mapping_get(data, service.keys.data_situacao, empty);
  r["data_abertura"] = vx::mapping_get(data, service.keys.data_abertura, empty);
  r["natureza_juridica"] = vx::mapping_get(data, "natureza_juridica", empty);
  r["porte"] = vx::mapping_get(data, "porte", empty);
  r["capital_social"] = capital;
  r["endereco"] = address(data);
  r["email"] = vx::mapping_get(data, "email", empty);
  r["socios"] = partner_list;
  return r;
}

py::str formatted_cnpj(const std::u32string& cleaned) {
  return from_u32(cleaned.size() == 14 ? br::format_clean_cnpj(cleaned) : cleaned);
}

// ---------------------------------------------------------------------------------
// The adapter

py::object lookup_by_number(const Service& service, py::object cnpj) {
  if (!is_str(cnpj)) raise_type_error("cnpj", "str", cnpj);
  const std::u32string cleaned = br::clean_for_lookup(to_u32(cnpj));
  const py::str py_cleaned = from_u32(cleaned);
  last_failure().reset();
  return guarded(service.lines, py_cleaned, [&]() -> py::object {
    std::string url = br_web::service_url(ns, service.url_constant, to_utf8(py_cleaned));
    py::object get = ns.get("requests").attr("get");
    py::object resp;
    if (service.asks_for_json) {
      py::dict headers;
      headers["Accept"] = "application/json";
      resp = get(url, py::arg("headers") = headers, py::arg("timeout") = ns.get("REQUEST_TIMEOUT"));
    } else {
      resp = get(url, py::arg("timeout") = ns.get("REQUEST_TIMEOUT"));
    }
    if (!answered(resp, service.lines.service)) return py::none();
    const std::string what = std::string(service.lines.service) + " answer";
    py::dict data = json_object(resp.attr("json")(), what.c_str());
    if (service.error_status) {
      int error = PyObject_RichCompareBool(vx::mapping_get(data, "status", py::none()).ptr(),
                                           py::str("ERROR").ptr(), Py_EQ);
      if (error < 0) throw py::error_already_set();
      if (error == 1) return py::none();
    }
    py::object capital = service.capital_as_text
                             ? capital_from_text(vx::mapping_get(data, "capital_social", py::str("0")))
                             : vx::mapping_get(data, "capital_social", py::int_(0));
    py::list partner_list = partners(data, service);
    return company_record(service, formatted_cnpj(cleaned), data, capital, partner_list);
  });
}

py::object consultar_brasil_api(py::object cnpj) { return lookup_by_number(kBrasilApi, std::move(cnpj)); }

py::object consultar_receita_ws(py::object cnpj) { return lookup_by_number(kReceitaWs, std::move(cnpj)); }

}  // namespace

void init_services(py::module_& m) {
  m.def("_consultar_brasil_api", &consultar_brasil_api, py::arg("cnpj"),
        "Company record from BrasilAPI, or None.");
  m.def("_consultar_receita_ws", &consultar_receita_ws, py::arg("cnpj"),
        "Company record from ReceitaWS, or None.");
}

}  // namespace vx::cnpj
