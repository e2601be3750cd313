// Address comparison: the contract's free-text address against the registry's
// address fields (the rules are core/br_address).
#include <string>

#include "contract/countries/br/cnpj/module.hpp"
#include "core/br_address.hpp"

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
  if (!PyBool_Check(threshold.ptr()) && !is_real(threshold))
    raise_type_error("threshold", "a number", threshold);

  auto nada = [] { return py::make_tuple(false, 0.0, py::str("")); };
  if (PyUnicode_GET_LENGTH(endereco_contrato.ptr()) == 0 || !truthy(dados_receita)) return nada();

  // The registry's fields read as text (services send numbers and nulls too) and
  // joined as they are (accents, case, punctuation), so that a caller can show the
  // address it was compared with. An `endereco` that is not a mapping has no fields.
  py::object end = vx::mapping_get(dados_receita, "endereco", py::none());
  br::CamposEndereco campos;
  std::u32string receita;
  if (vx::is_mapping(end)) {
    static const char* const chaves[7] = {"logradouro", "numero", "complemento", "bairro",
                                          "cidade",     "uf",     "cep"};
    for (size_t k = 0; k < 7; ++k) {
      campos.campos[k] = to_u32(br_py::registry_text(vx::mapping_get(end, chaves[k], py::none()), k == 6));
      if (campos.campos[k].empty()) continue;
      if (!receita.empty()) receita.push_back(U' ');
      receita += campos.campos[k];
    }
  }
  if (receita.empty()) return nada();
  py::str endereco_receita = from_u32(receita);

  const std::u32string contrato = to_u32(endereco_contrato);
  br::ComparacaoEnderecos r;
  if (contrato.size() + receita.size() < kLongo) {
    r = br::comparar_enderecos(contrato, campos);
  } else {
    py::gil_scoped_release solto;
    r = br::comparar_enderecos(contrato, campos);
  }
  using Tipo = br::ComparacaoEnderecos::Tipo;
  if (r.tipo == Tipo::SemPalavras) return py::make_tuple(false, 0.0, endereco_receita);
  py::float_ sim(r.similaridade);
  bool confere = true;
  if (r.tipo == Tipo::Palavras) {
    // Compared by Python's rules, so any number type works as the threshold.
    int ge = PyObject_RichCompareBool(sim.ptr(), threshold.ptr(), Py_GE);
    if (ge < 0) throw py::error_already_set();
    confere = ge == 1;
  }
  return py::make_tuple(confere && !r.vetada, sim, endereco_receita);
}

}  // namespace

void init_address(py::module_& m) {
  m.def("_normalizar_endereco", &normalizar_endereco, py::arg("endereco"),
        "The address without accents, in lower case, with punctuation, digit groups, "
        "house-number marks, state names and street-type, complement and ordinal words "
        "normalised.");
  m.def("comparar_enderecos", &comparar_enderecos, py::arg("endereco_contrato"), py::arg("dados_receita"),
        py::arg("threshold") = 0.85,
        "(confere, similaridade, endereco_receita): whether the contract's address and the "
        "registry record's address describe the same place.");
}

}  // namespace vx::cnpj
