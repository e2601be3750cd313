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

std::u32string normalizado(py::handle texto, const char* arg) {
  if (!is_str(texto)) raise_type_error(arg, "str", texto);
  return normalizar_nome(to_u32(texto));
}

py::str normalizar_texto(py::object, py::object texto) { return from_u32(normalizado(texto, "texto")); }

// self._normalizar_texto(x) as text.
std::u32string normalizar_via(py::handle self, py::handle texto, const char* arg) {
  py::object bound;
  if (is_original(self, "_normalizar_texto", bound)) return normalizado(texto, arg);
  py::object r = bound(texto);
  if (!is_str(r)) raise_type_error("_normalizar_texto()", "str", r);
  return to_u32(r);
}

bool comparar_nomes(py::object self, py::object nome1, py::object nome2) {
  if (!is_str(nome1)) raise_type_error("nome1", "str", nome1);
  if (!is_str(nome2)) raise_type_error("nome2", "str", nome2);
  std::u32string n1 = normalizar_via(self, nome1, "nome1");
  std::u32string n2 = normalizar_via(self, nome2, "nome2");
  return nomes_conferem(n1, n2);
}

// A partner's name field as text; "" when absent, null or of another type (a registry
// answer may carry null where a name is unknown; such a partner matches nobody).
py::object nome_de(py::handle socio, const char* chave) { return texto_registro(socio, chave); }

// The partner list of a company record, as a snapshot; none when the record's list is
// null or not a list.
py::list socios_de(py::handle dados_receita) {
  py::object socios_obj = mapping_get(dados_receita, "socios", py::list());
  if (!PyList_Check(socios_obj.ptr()) && !PyTuple_Check(socios_obj.ptr())) return py::list();
  return snapshot(socios_obj, "socios");
}

py::tuple verificar_poder_assinatura(py::object self, py::object nome_signatario, py::object dados_receita) {
  if (!is_str(nome_signatario)) raise_type_error("nome_signatario", "str", nome_signatario);
  if (!is_mapping(dados_receita)) raise_type_error("dados_receita", "a mapping", dados_receita);
  if (nomes_nativos(self)) {
    auto [tem, qual] = poder_nativo(preparar_nome(normalizar_nome(to_u32(nome_signatario))), dados_receita,
                                    nullptr);
    return py::make_tuple(tem, qual);
  }
  py::list socios = socios_de(dados_receita);
  py::object comparar = self.attr("_comparar_nomes");
  for (py::handle socio : socios) {
    if (!is_mapping(socio)) throw py::type_error("partner record must be a mapping, not " + type_name(socio));
    if (truthy(comparar(nome_signatario, nome_de(socio, "nome")))) {
      return py::make_tuple(true, mapping_get(socio, "qualificacao", py::none()));
    }
    py::object nome_rep = nome_de(socio, "nome_representante");
    if (PyUnicode_GET_LENGTH(nome_rep.ptr()) > 0 && truthy(comparar(nome_signatario, nome_rep))) {
      return py::make_tuple(true, mapping_get(socio, "qualificacao_representante", py::none()));
    }
  }
  return py::make_tuple(false, py::none());
}

}  // namespace

const NomeComparavel& NameMemo::get(py::handle texto) {
  auto it = norm.find(texto.ptr());
  if (it != norm.end()) return it->second;
  keep.append(texto);  // the key stays a live object while it is remembered
  return norm.emplace(texto.ptr(), preparar_nome(normalizar_nome(to_u32(texto)))).first->second;
}

bool nomes_nativos(py::handle self) {
  py::object bound;
  return is_original(self, "_comparar_nomes", bound) && is_original(self, "_normalizar_texto", bound);
}

std::pair<bool, py::object> poder_nativo(const NomeComparavel& assinante, py::handle dados_receita,
                                         NameMemo* memo) {
  if (!is_mapping(dados_receita)) raise_type_error("dados_receita", "a mapping", dados_receita);
  py::list socios = socios_de(dados_receita);
  auto confere = [&](const py::object& outro) {
    if (memo) return nomes_conferem(assinante, memo->get(outro));
    return nomes_conferem(assinante, preparar_nome(normalizar_nome(to_u32(outro))));
  };
  for (py::handle socio : socios) {
    if (!is_mapping(socio)) throw py::type_error("partner record must be a mapping, not " + type_name(socio));
    if (confere(nome_de(socio, "nome"))) return {true, mapping_get(socio, "qualificacao", py::none())};
    py::object nome_rep = nome_de(socio, "nome_representante");
    if (PyUnicode_GET_LENGTH(nome_rep.ptr()) > 0 && confere(nome_rep)) {
      return {true, mapping_get(socio, "qualificacao_representante", py::none())};
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
