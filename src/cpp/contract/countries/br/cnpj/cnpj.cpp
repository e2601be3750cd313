// vorlex.contract.countries.br.cnpj: the Brazilian federal company registry.
//
//   numbers.cpp   limpar_cnpj, validar_cnpj, formatar_cnpj, _calcular_digito_cnpj
//   services.cpp  _consultar_brasil_api, _consultar_receita_ws: one adapter, one
//                 table entry per service
//   search.cpp    consultar_cnpj (alias consultar_cnpj_online), buscar_cnpj_por_nome,
//                 buscar_empresa, buscar_empresa_completo, falha_ultima_consulta
//   web_call.cpp  what the lookups share: the guarded web call, its failures and log
//                 lines, the per-thread last failure
//   address.cpp   _normalizar_endereco, comparar_enderecos
//
// The rules live in core/br_cnpj and core/br_address; these files
// convert arguments and late-bind what a caller may patch: `requests`, the URL
// constants and the sibling lookups are read from the module dict at each call.
#include "bridge/signatures.hpp"
#include "contract/countries/br/cnpj/module.hpp"

namespace vx::cnpj {

Namespace ns;
const Logger logger("vorlex.contract.countries.br.cnpj");

std::u32string arg_text_or_none(py::handle h, const char* name) {
  if (!h || h.is_none()) return {};
  if (!is_str(h)) raise_type_error(name, "str or None", h);
  return br_py::to_u32(h);
}

}  // namespace vx::cnpj

PYBIND11_MODULE(cnpj, m) {
  using namespace vx::cnpj;
  m.doc() =
      "CNPJ number rules, registry lookups (BrasilAPI, ReceitaWS, Casa dos Dados) "
      "and address comparison.";
  ns.bind(m);
  ns.lazy("requests", "requests");

  m.attr("BRASIL_API_URL") = "https://brasilapi.com.br/api/cnpj/v1/{cnpj}";
  m.attr("RECEITA_WS_URL") = "https://receitaws.com.br/v1/cnpj/{cnpj}";
  m.attr("CASADOSDADOS_API") = "https://api.casadosdados.com.br/v2/public/cnpj/search";
  m.attr("REQUEST_TIMEOUT") = 10;
  m.attr("DEFAULT_ADDRESS_SIMILARITY_THRESHOLD") = 0.85;
  // The registry's table of partner qualifications: data, kept in Python.
  m.attr("QUALIFICACOES_SOCIO") =
      py::module_::import("vorlex.contract.countries.br.qualificacoes").attr("QUALIFICACOES_SOCIO");

  init_numbers(m);
  init_services(m);
  init_search(m);
  init_address(m);

  py::list all;
  for (const char* name : {"limpar_cnpj", "validar_cnpj", "formatar_cnpj", "consultar_cnpj",
                           "buscar_cnpj_por_nome", "buscar_empresa", "comparar_enderecos"}) {
    all.append(name);
  }
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
