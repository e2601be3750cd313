// Address comparison: the contract's free-text address against the registry's
// address fields (core/br_text normalisation, core/br_words similarity).
#include <string>

#include "contract/countries/br/cnpj/module.hpp"
#include "core/br_text.hpp"
#include "core/br_words.hpp"

namespace vx::cnpj {

namespace {

using br_py::from_u32;
using br_py::to_u32;
using br_py::truthy;

// Inputs longer than this are normalised without the GIL.
constexpr size_t kLongo = 1 << 15;

std::u32string normalizar(const std::u32string& texto) {
  if (texto.size() < kLongo) return br::normalizar_endereco(texto);
  py::gil_scoped_release solto;
  return br::normalizar_endereco(texto);
}

py::str normalizar_endereco(py::object endereco) {
  if (!is_str(endereco)) raise_type_error("endereco", "str", endereco);
  return from_u32(normalizar(to_u32(endereco)));
}

py::tuple comparar_enderecos(py::object endereco_contrato, py::object dados_receita, py::object threshold) {
  if (!is_str(endereco_contrato)) raise_type_error("endereco_contrato", "str", endereco_contrato);
  if (!vx::is_mapping(dados_receita)) raise_type_error("dados_receita", "a mapping", dados_receita);
  if (!PyBool_Check(threshold.ptr()) && !is_real(threshold)) raise_type_error("threshold", "a number", threshold);

  auto nada = [] { return py::make_tuple(false, 0.0, py::str("")); };
  if (PyUnicode_GET_LENGTH(endereco_contrato.ptr()) == 0 || !truthy(dados_receita)) return nada();

  py::object end = vx::mapping_get(dados_receita, "endereco", py::dict());
  if (!vx::is_mapping(end)) {
    throw py::type_error("dados_receita['endereco'] must be a mapping, not " + type_name(end));
  }
  // The registry's fields joined as they are (accents, case, punctuation), so that
  // a caller can show the address it was compared with.
  std::u32string receita;
  for (const char* chave : {"logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"}) {
    py::object v = vx::mapping_get(end, chave, py::none());
    if (!truthy(v)) continue;
    if (!is_str(v)) {
      throw py::type_error(std::string("dados_receita['endereco']['") + chave + "'] must be str, not " +
                           type_name(v));
    }
    if (!receita.empty()) receita.push_back(U' ');
    receita += to_u32(v);
  }
  if (receita.empty()) return nada();
  py::str endereco_receita = from_u32(receita);

  std::u32string contrato_norm = normalizar(to_u32(endereco_contrato));
  std::u32string receita_norm = normalizar(receita);
  auto r = br::comparar_normalizados(contrato_norm, receita_norm);
  using Tipo = br::ComparacaoEnderecos::Tipo;
  if (r.tipo == Tipo::Identicos || r.tipo == Tipo::Contido) {
    return py::make_tuple(true, r.similaridade, endereco_receita);
  }
  if (r.tipo == Tipo::SemPalavras) return py::make_tuple(false, 0.0, endereco_receita);
  // Compared by Python's rules, so any number type works as the threshold.
  py::float_ sim(r.similaridade);
  int confere = PyObject_RichCompareBool(sim.ptr(), threshold.ptr(), Py_GE);
  if (confere < 0) throw py::error_already_set();
  return py::make_tuple(confere == 1, sim, endereco_receita);
}

}  // namespace

void init_address(py::module_& m) {
  m.def("_normalizar_endereco", &normalizar_endereco, py::arg("endereco"),
        "The address without accents, in lower case, with punctuation, the house-number "
        "mark and the street-type words normalised.");
  m.def("comparar_enderecos", &comparar_enderecos, py::arg("endereco_contrato"), py::arg("dados_receita"),
        py::arg("threshold") = 0.85,
        "(confere, similaridade, endereco_receita): whether the contract's address and the "
        "registry record's address describe the same place.");
}

}  // namespace vx::cnpj
