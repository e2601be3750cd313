// vorlex.contract.countries.br.keywords: a cheap screen telling whether a text looks
// like a Brazilian contract, without any model call.
//
//   MIN_KEYWORDS, KEYWORDS_VALIDACAO, KEYWORDS_EXCLUSAO   module lists, read at each call
//   normalizar_texto(texto)                               NFD, no Mn, lower case
//   validar_documento_contrato(texto)                     (eh_contrato, quantidade, keywords)
//
// The text and every keyword are folded once and matched in a single pass
// (core/br_keywords). Long texts are folded and scanned without the GIL, so
// several threads can screen documents at once.
#include <string>
#include <vector>

#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"
#include "core/br_keywords.hpp"
#include "core/br_text.hpp"

namespace {

vx::Namespace ns;

// Texts at least this long (UTF-8 bytes) are processed with the GIL released.
constexpr size_t kLongText = 1 << 14;

// clang-format off
const char* const kValidationKeywords[] = {
    "contrato", "acordo", "termo", "instrumento", "aditivo", "distrato", "contratante", "contratada",
    "contratado", "prestador", "prestadora", "tomador", "tomadora", "cláusula", "clausula", "objeto",
    "vigência", "vigencia", "valor", "pagamento", "obrigações", "obrigacoes", "rescisão", "rescisao",
    "foro", "cnpj", "inscrita", "inscrito", "neste ato representada", "neste ato representado",
    "doravante denominada", "doravante denominado", "assinatura", "assinado", "firmado", "testemunha",
    "certificado digital", "icp-brasil",
};
const char* const kExclusionKeywords[] = {
    "edital de licitação", "pregão eletrônico", "tomada de preços", "concorrência pública",
    "carta convite", "nota fiscal", "recibo", "boleto", "fatura",
};
// clang-format on

// The str's UTF-8 form, read in place when CPython can give it (the object outlives
// the call, so the view stays valid while the GIL is released); a copy for text with
// lone surrogates.
std::string_view utf8_of(py::handle text, std::string& utf8_copy) {
  if (!vx::is_str(text)) vx::raise_type_error("texto", "str", text);
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  if (p) return {p, static_cast<size_t>(n)};
  PyErr_Clear();
  utf8_copy = vx::to_utf8(text);
  return utf8_copy;
}

py::str normalizar_texto(py::object texto) {
  std::string utf8_copy;
  std::string_view t = utf8_of(texto, utf8_copy);
  std::string out;
  if (t.size() >= kLongText) {
    py::gil_scoped_release unlocked;
    out = vx::br::fold_utf8(t);
  } else {
    out = vx::br::fold_utf8(t);
  }
  return vx::from_utf8(out);
}

// The current value of a keyword list of the module, as a list of str.
py::list keyword_list(const char* name, std::vector<std::string>& utf8) {
  py::object v = ns.get(name);
  py::list l = py::reinterpret_steal<py::list>(PySequence_List(v.ptr()));
  if (!l) throw py::error_already_set();
  for (py::handle kw : l) {
    if (!vx::is_str(kw)) {
      throw py::type_error(std::string(name) + " must hold str, found " + vx::type_name(kw));
    }
    utf8.push_back(vx::to_utf8(kw));
  }
  return l;
}

py::tuple validar_documento_contrato(py::object texto) {
  std::string utf8_copy;
  std::string_view t = utf8_of(texto, utf8_copy);
  if (t.empty()) return py::make_tuple(false, 0, py::list());

  std::vector<std::string> keywords;
  py::list exclusion = keyword_list("KEYWORDS_EXCLUSAO", keywords);
  const size_t n_exclusion = keywords.size();
  py::list validation = keyword_list("KEYWORDS_VALIDACAO", keywords);

  std::vector<bool> found;
  if (t.size() >= kLongText) {
    py::gil_scoped_release unlocked;
    found = vx::br::keywords_in_folded_text(t, keywords);
  } else {
    found = vx::br::keywords_in_folded_text(t, keywords);
  }

  // The first exclusion entry found, in list order, decides.
  for (size_t i = 0; i < n_exclusion; ++i) {
    if (!found[i]) continue;
    py::list reason;
    PyObject* s = PyUnicode_Concat(py::str("EXCLUSÃO: ").ptr(), exclusion[i].ptr());
    if (!s) throw py::error_already_set();
    reason.append(py::reinterpret_steal<py::object>(s));
    return py::make_tuple(false, 0, reason);
  }
  py::list found_keywords;
  for (size_t j = 0; j < validation.size(); ++j) {
    if (found[n_exclusion + j]) found_keywords.append(validation[j]);
  }
  py::int_ count(found_keywords.size());
  int is_contract = PyObject_RichCompareBool(count.ptr(), ns.get("MIN_KEYWORDS").ptr(), Py_GE);
  if (is_contract < 0) throw py::error_already_set();
  return py::make_tuple(is_contract == 1, count, found_keywords);
}

}  // namespace

PYBIND11_MODULE(keywords, m) {
  m.doc() = "Contract keyword screen: does a text look like a Brazilian contract?";
  ns.bind(m);
  m.attr("MIN_KEYWORDS") = 3;
  py::list validation, exclusion;
  for (const char* k : kValidationKeywords) validation.append(py::str(k));
  for (const char* k : kExclusionKeywords) exclusion.append(py::str(k));
  m.attr("KEYWORDS_VALIDACAO") = validation;
  m.attr("KEYWORDS_EXCLUSAO") = exclusion;
  m.def("normalizar_texto", &normalizar_texto, py::arg("texto"),
        "The text in canonical decomposition without non-spacing marks, in lower case.");
  m.def("validar_documento_contrato", &validar_documento_contrato, py::arg("texto"),
        "(eh_contrato, quantidade, keywords_encontradas): contract keywords found in the "
        "text, or (False, 0, ['EXCLUSÃO: ' + term]) when an exclusion term occurs.");
  py::list all;
  all.append("normalizar_texto");
  all.append("validar_documento_contrato");
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
