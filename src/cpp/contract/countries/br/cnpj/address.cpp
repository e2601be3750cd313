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
constexpr size_t kLongText = 1 << 15;

std::u32string normalize(const std::u32string& text) {
  if (text.size() < kLongText) return br::normalize_address(text);
  py::gil_scoped_release unlocked;
  return br::normalize_address(text);
}

py::str normalizar_endereco(py::object endereco) {
  if (!is_str(endereco)) raise_type_error("endereco", "str", endereco);
  return from_u32(normalize(to_u32(endereco)));
}

py::tuple comparar_enderecos(py::object endereco_contrato, py::object dados_receita, py::object threshold) {
  if (!is_str(endereco_contrato)) raise_type_error("endereco_contrato", "str", endereco_contrato);
  if (!vx::is_mapping(dados_receita)) raise_type_error("dados_receita", "a mapping", dados_receita);
  if (!PyBool_Check(threshold.ptr()) && !is_real(threshold))
    raise_type_error("threshold", "a number", threshold);

  auto no_match = [] { return py::make_tuple(false, 0.0, py::str("")); };
  if (PyUnicode_GET_LENGTH(endereco_contrato.ptr()) == 0 || !truthy(dados_receita)) return no_match();

  // The registry's fields read as text (services send numbers and nulls too) and
  // joined as they are (accents, case, punctuation), so that a caller can show the
  // address it was compared with. An `endereco` that is not a mapping has no fields.
  py::object address_record = vx::mapping_get(dados_receita, "endereco", py::none());
  br::AddressFields fields;
  std::u32string joined_text;
  if (vx::is_mapping(address_record)) {
    static const char* const keys[7] = {"logradouro", "numero", "complemento", "bairro",
                                        "cidade",     "uf",     "cep"};
    for (size_t k = 0; k < 7; ++k) {
      fields.fields[k] = to_u32(
          br_py::registry_text(vx::mapping_get(address_record, keys[k], py::none()), k == 6));
      if (fields.fields[k].empty()) continue;
      if (!joined_text.empty()) joined_text.push_back(U' ');
      joined_text += fields.fields[k];
    }
  }
  if (joined_text.empty()) return no_match();
  py::str registry_address = from_u32(joined_text);

  const std::u32string contract = to_u32(endereco_contrato);
  br::AddressComparison r;
  if (contract.size() + joined_text.size() < kLongText) {
    r = br::compare_addresses(contract, fields);
  } else {
    py::gil_scoped_release unlocked;
    r = br::compare_addresses(contract, fields);
  }
  using Kind = br::AddressComparison::Kind;
  if (r.kind == Kind::NoWords) return py::make_tuple(false, 0.0, registry_address);
  py::float_ sim(r.similarity);
  bool matches = true;
  if (r.kind == Kind::Words) {
    // Compared by Python's rules, so any number type works as the threshold.
    int ge = PyObject_RichCompareBool(sim.ptr(), threshold.ptr(), Py_GE);
    if (ge < 0) throw py::error_already_set();
    matches = ge == 1;
  }
  return py::make_tuple(matches && !r.vetoed, sim, registry_address);
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
