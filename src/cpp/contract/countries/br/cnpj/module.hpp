// Shared state of the vorlex.contract.countries.br.cnpj module's files.
#pragma once

#include "bridge/bridge.hpp"
#include "bridge/py_text.hpp"

namespace vx::cnpj {

// The module namespace (constants, `requests`, sibling functions read at call time)
// and the module's logger.
extern Namespace ns;
extern const Logger logger;

void init_numbers(py::module_& m);   // limpar_cnpj, validar_cnpj, formatar_cnpj, _calcular_digito_cnpj
void init_services(py::module_& m);  // _consultar_brasil_api, _consultar_receita_ws
void init_search(py::module_& m);    // consultar_cnpj, buscar_*, falha_ultima_consulta
void init_address(py::module_& m);   // _normalizar_endereco, comparar_enderecos

// Argument `name` as text or None (None -> empty), TypeError otherwise.
std::u32string arg_text_or_none(py::handle h, const char* name);

}  // namespace vx::cnpj
