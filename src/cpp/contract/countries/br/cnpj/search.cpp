// The search chain: consultar_cnpj (BrasilAPI, then ReceitaWS), the search by name
// through Casa dos Dados (buscar_cnpj_por_nome), and the combined searches
// buscar_empresa and buscar_empresa_completo, with falha_ultima_consulta.
//
// Every step is reached through the module namespace (`consultar_cnpj` calls the
// current `_consultar_brasil_api`, the searches the current `consultar_cnpj` and
// `buscar_cnpj_por_nome`), so that a patched step is the one the chain runs. The two
// combined searches begin with the same two strategies (by number, then by name),
// written once in first_strategies; the complete one marks which strategy found the
// company and may go on to an AI web search for the number.
#include <optional>
#include <string>

#include "contract/countries/br/cnpj/web_call.hpp"
#include "core/br_cnpj.hpp"

namespace vx::cnpj {

namespace {

using br_py::from_u32;
using br_py::to_u32;
using br_py::truthy;

// ---------------------------------------------------------------------------------
// By number

py::object consultar_cnpj(py::object cnpj) {
  if (!is_str(cnpj)) raise_type_error("cnpj", "str", cnpj);
  // No web call for a bad number; an alphanumeric one is valid by its own rule.
  const std::u32string text = to_u32(cnpj);
  std::optional<std::string>& failure = last_failure();
  failure.reset();
  if (!br::is_valid_cnpj(text) && !br::is_valid_alphanumeric_cnpj(text)) return py::none();
  py::object result = ns.call("_consultar_brasil_api", cnpj);
  if (!result.is_none()) {
    failure.reset();
    return result;
  }
  // The registry could not be asked only when neither service answered: an answer of
  // BrasilAPI that it does not know the number is evidence, whatever ReceitaWS does.
  std::optional<std::string> first = failure;
  failure.reset();
  result = ns.call("_consultar_receita_ws", cnpj);
  if (!result.is_none() || !first || !failure) failure.reset();
  else failure = *first + "; " + *failure;
  return result;
}

// ---------------------------------------------------------------------------------
// By name

constexpr FailureLines kCasaDosDados = {"Casa dos Dados", "Casa dos Dados search failed for %r: %s",
                                        "Unexpected error in buscar_cnpj_por_nome for %r"};

// The search request: active companies whose name matches, in the state when one is
// given, first page only.
py::dict search_body(const py::object& name, const std::u32string& state, const py::object& py_state) {
  py::dict query;
  py::list terms;
  terms.append(name);
  query["termo"] = terms;
  query["situacao_cadastral"] = "ATIVA";
  if (!state.empty()) {
    py::list states;
    states.append(py_state);
    query["uf"] = states;
  }
  py::dict extras;
  for (const char* flag :
       {"somente_mei", "excluir_mei", "com_email", "incluir_atividade_secundaria", "com_contato_telefonico",
        "somente_fixo", "somente_celular", "somente_matriz", "somente_filial"}) {
    extras[flag] = false;
  }
  py::dict body;
  body["query"] = query;
  body["range_query"] = py::dict();
  body["extras"] = extras;
  body["page"] = 1;
  return body;
}

py::object buscar_cnpj_por_nome(py::object nome_empresa, py::object uf) {
  if (!is_str(nome_empresa)) raise_type_error("nome_empresa", "str", nome_empresa);
  std::u32string state = arg_text_or_none(uf, "uf");
  last_failure().reset();
  if (PyUnicode_GET_LENGTH(nome_empresa.ptr()) < 3) return py::none();  // no web call
  return guarded(kCasaDosDados, nome_empresa, [&]() -> py::object {
    py::dict headers;
    headers["Content-Type"] = "application/json";
    headers["Accept"] = "application/json";
    py::object resp = ns.get("requests")
                          .attr("post")(ns.get("CASADOSDADOS_API"),
                                        py::arg("json") = search_body(nome_empresa, state, uf),
                                        py::arg("headers") = headers, py::arg("timeout") = 15);
    if (!answered(resp, kCasaDosDados.service)) return py::none();
    py::dict data = json_object(resp.attr("json")(), "Casa dos Dados answer");
    py::dict inner = json_object(vx::mapping_get(data, "data", py::dict()), "Casa dos Dados 'data'");
    int found = PyObject_RichCompareBool(vx::mapping_get(inner, "count", py::int_(0)).ptr(),
                                         py::int_(0).ptr(), Py_GT);
    if (found < 0) throw py::error_already_set();
    if (found == 0) return py::none();
    py::object companies = vx::mapping_get(inner, "cnpj", py::list());
    if (!truthy(companies)) return py::none();
    // Only the first hit is used.
    py::dict hit = json_object(companies[py::int_(0)], "Casa dos Dados hit");
    py::object cnpj = vx::mapping_get(hit, "cnpj", py::str(""));
    if (!truthy(cnpj)) return py::none();
    py::object record = ns.call("consultar_cnpj", cnpj);
    if (!truthy(record)) return py::none();
    record["busca_por_nome"] = true;
    record["termo_busca"] = nome_empresa;
    return record;
  });
}

// ---------------------------------------------------------------------------------
// Combined searches

// A company record and the strategy that found it, as _metodo_busca names it.
struct Found {
  py::object record;
  const char* method = nullptr;
};

// The strategies both combined searches begin with: the CNPJ, when it is valid by
// either rule, through consultar_cnpj; else the name through buscar_cnpj_por_nome.
// An empty record when neither found the company.
Found first_strategies(const std::u32string& cnpj_text, const std::u32string& name_text, py::object name,
                       py::object state) {
  if (!cnpj_text.empty()) {
    std::u32string cleaned = br::clean_for_lookup(cnpj_text);
    if (br::is_valid_clean_cnpj(cleaned) || br::is_valid_clean_alphanumeric_cnpj(cleaned)) {
      py::object r = ns.call("consultar_cnpj", from_u32(cleaned));
      if (truthy(r)) return {r, "cnpj_direto"};
    }
  }
  if (!name_text.empty()) {
    py::object r = ns.call("buscar_cnpj_por_nome", name, state);
    if (truthy(r)) return {r, "api_nome"};
  }
  return {};
}

py::object buscar_empresa(py::object cnpj, py::object nome, py::object uf) {
  std::u32string cnpj_text = arg_text_or_none(cnpj, "cnpj");
  std::u32string name_text = arg_text_or_none(nome, "nome");
  arg_text_or_none(uf, "uf");
  Found found = first_strategies(cnpj_text, name_text, nome, uf);
  return found.method ? found.record : py::none();
}

py::object buscar_empresa_completo(py::object cnpj, py::object nome, py::object uf, py::object usar_ai_search,
                                   py::object openai_api_key) {
  std::u32string cnpj_text = arg_text_or_none(cnpj, "cnpj");
  std::u32string name_text = arg_text_or_none(nome, "nome");
  arg_text_or_none(uf, "uf");
  const bool use_ai = arg_bool(usar_ai_search, "usar_ai_search");
  std::u32string key = arg_text_or_none(openai_api_key, "openai_api_key");

  Found found = first_strategies(cnpj_text, name_text, nome, uf);
  if (found.method) {
    found.record["_metodo_busca"] = found.method;
    return found.record;
  }
  if (use_ai && !name_text.empty() && !key.empty()) {
    // The AI component (and the OpenAI client under it) is imported only here; a
    // missing one means this strategy is unavailable, not an error.
    try {
      py::module_ ai = import("vorlex.contract.countries.br.ai_search");
      if (!py::hasattr(ai, "buscar_cnpj_via_ai")) return py::none();  // as `from ... import` fails
      py::object number = ai.attr("buscar_cnpj_via_ai")(nome, openai_api_key);
      if (truthy(number)) {
        py::object r = ns.call("consultar_cnpj", number);
        if (truthy(r)) {
          r["_metodo_busca"] = "ai_web_search";
          r["_cnpj_buscado_por_ai"] = true;
          return r;
        }
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
    }
  }
  return py::none();
}

py::object falha_ultima_consulta() {
  const std::optional<std::string>& failure = last_failure();
  if (!failure) return py::none();
  return py::str(*failure);
}

}  // namespace

void init_search(py::module_& m) {
  m.def("consultar_cnpj", &consultar_cnpj, py::arg("cnpj"),
        "Company record for a valid CNPJ (BrasilAPI, then ReceitaWS), or None.");
  m.attr("consultar_cnpj_online") = m.attr("consultar_cnpj");
  m.def("falha_ultima_consulta", &falha_ultima_consulta,
        "Why the last lookup on this thread (consultar_cnpj, buscar_cnpj_por_nome) gave "
        "None: None when the registry answered, else the failure that kept it from "
        "answering (connection, time-out, a 5xx or 429 status), e.g. 'BrasilAPI: HTTP 503; "
        "ReceitaWS: ConnectionError'.");
  m.def("buscar_cnpj_por_nome", &buscar_cnpj_por_nome, py::arg("nome_empresa"), py::arg("uf") = py::none(),
        "Company record of the first active company Casa dos Dados finds by name, or None.");
  m.def("buscar_empresa", &buscar_empresa, py::arg("cnpj") = py::none(), py::arg("nome") = py::none(),
        py::arg("uf") = py::none(), "Company record by CNPJ, else by name, or None.");
  m.def("buscar_empresa_completo", &buscar_empresa_completo, py::arg("cnpj") = py::none(),
        py::arg("nome") = py::none(), py::arg("uf") = py::none(), py::arg("usar_ai_search") = false,
        py::arg("openai_api_key") = py::none(),
        "Company record by CNPJ, by name, then (optionally) through an AI web search for the "
        "CNPJ; marked with _metodo_busca. None when every strategy fails.");
}

}  // namespace vx::cnpj
