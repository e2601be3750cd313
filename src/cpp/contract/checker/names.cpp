// When a signatory or a company in the contract is the same party as in the registry.
//
// The rules are core/checker_names. _comparar_nomes and _verificar_poder_assinatura
// call the next step through `self` like every other step; when that would reach this
// file's own code anyway, the C++ is called directly, which keeps the partner-list
// scan (every signatory against every partner of every company) out of the
// interpreter's call machinery.
#include "contract/checker/checker.hpp"
#include "core/checker_names.hpp"

namespace vx::checker {

namespace {

using br_py::from_u32;
using br_py::to_u32;

std::u32string normalized(py::handle text, const char* arg) {
  if (!is_str(text)) raise_type_error(arg, "str", text);
  return normalize_name(to_u32(text));
}

py::str normalizar_texto(py::object, py::object text) { return from_u32(normalized(text, "texto")); }

// self._normalizar_texto(x) as text.
std::u32string normalize_via(py::handle self, py::handle text, const char* arg) {
  py::object bound;
  if (is_original(self, "_normalizar_texto", bound)) return normalized(text, arg);
  py::object r = bound(text);
  if (!is_str(r)) raise_type_error("_normalizar_texto()", "str", r);
  return to_u32(r);
}

bool comparar_nomes(py::object self, py::object name1, py::object name2) {
  if (!is_str(name1)) raise_type_error("nome1", "str", name1);
  if (!is_str(name2)) raise_type_error("nome2", "str", name2);
  std::u32string n1 = normalize_via(self, name1, "nome1");
  std::u32string n2 = normalize_via(self, name2, "nome2");
  return names_match(n1, n2);
}

// A partner's name field as text; "" when absent, null or of another type (a registry
// answer may carry null where a name is unknown; such a partner matches nobody).
py::object name_of(py::handle partner, const char* key) { return registry_field(partner, key); }

// The partner list of a company record, as a snapshot; none when the record's list is
// null or not a list.
py::list partners_of(py::handle registry_data) {
  py::object partners_obj = mapping_get(registry_data, "socios", py::list());
  if (!PyList_Check(partners_obj.ptr()) && !PyTuple_Check(partners_obj.ptr())) return py::list();
  return snapshot(partners_obj, "socios");
}

py::tuple verificar_poder_assinatura(py::object self, py::object signatory_name, py::object registry_data) {
  if (!is_str(signatory_name)) raise_type_error("nome_signatario", "str", signatory_name);
  if (!is_mapping(registry_data)) raise_type_error("dados_receita", "a mapping", registry_data);
  if (native_name_steps(self)) {
    auto [has_power, qualification] = native_signing_power(
        prepare_name(normalize_name(to_u32(signatory_name))), registry_data, nullptr);
    return py::make_tuple(has_power, qualification);
  }
  py::list partners = partners_of(registry_data);
  py::object compare = self.attr("_comparar_nomes");
  for (py::handle partner : partners) {
    if (!is_mapping(partner))
      throw py::type_error("partner record must be a mapping, not " + type_name(partner));
    if (truthy(compare(signatory_name, name_of(partner, "nome")))) {
      return py::make_tuple(true, mapping_get(partner, "qualificacao", py::none()));
    }
    py::object representative_name = name_of(partner, "nome_representante");
    if (PyUnicode_GET_LENGTH(representative_name.ptr()) > 0 &&
        truthy(compare(signatory_name, representative_name))) {
      return py::make_tuple(true, mapping_get(partner, "qualificacao_representante", py::none()));
    }
  }
  return py::make_tuple(false, py::none());
}

}  // namespace

const ComparableName& NameMemo::get(py::handle text) {
  auto it = norm.find(text.ptr());
  if (it != norm.end()) return it->second;
  keep.append(text);  // the key stays a live object while it is remembered
  return norm.emplace(text.ptr(), prepare_name(normalize_name(to_u32(text)))).first->second;
}

bool native_name_steps(py::handle self) {
  py::object bound;
  return is_original(self, "_comparar_nomes", bound) && is_original(self, "_normalizar_texto", bound);
}

std::pair<bool, py::object> native_signing_power(const ComparableName& signer, py::handle registry_data,
                                                 NameMemo* memo) {
  if (!is_mapping(registry_data)) raise_type_error("dados_receita", "a mapping", registry_data);
  py::list partners = partners_of(registry_data);
  auto matches = [&](const py::object& other) {
    if (memo) return names_match(signer, memo->get(other));
    return names_match(signer, prepare_name(normalize_name(to_u32(other))));
  };
  for (py::handle partner : partners) {
    if (!is_mapping(partner))
      throw py::type_error("partner record must be a mapping, not " + type_name(partner));
    if (matches(name_of(partner, "nome"))) return {true, mapping_get(partner, "qualificacao", py::none())};
    py::object representative_name = name_of(partner, "nome_representante");
    if (PyUnicode_GET_LENGTH(representative_name.ptr()) > 0 && matches(representative_name)) {
      return {true, mapping_get(partner, "qualificacao_representante", py::none())};
    }
  }
  return {false, py::none()};
}

void init_names(PyClass& cls) {
  cls.def("_normalizar_texto", &normalizar_texto, py::arg("self"), py::arg("texto"),
          "Without accents, in lower case, stripped: the form names are compared in.");
  cls.def("_comparar_nomes", &comparar_nomes, py::arg("self"), py::arg("nome1"), py::arg("nome2"),
          "Whether two names are the same party: one contains the other as whole words, "
          "or they share two words of three or more letters that are not legal forms.");
  cls.def("_verificar_poder_assinatura", &verificar_poder_assinatura, py::arg("self"),
          py::arg("nome_signatario"), py::arg("dados_receita"),
          "(True, qualification) when the signatory is a partner, or a partner's legal "
          "representative, in the company record's partner list; else (False, None).");
}

}  // namespace vx::checker
