// vorlex.contract.checker: verification of Brazilian contracts.
//
//   construction.cpp  ContractChecker(...), provider, auth, _log, _init_vorlex,
//                     _setup_questions (the three extraction questions)
//   names.cpp         _normalizar_texto, _comparar_nomes, _verificar_poder_assinatura
//   companies.cpp     _validar_empresas: each company against the registry
//   signatures.cpp    _validar_assinaturas: each signatory against the partner lists
//   flow.cpp          verificar (extraction, validation, tally, verdict) and
//                     verificar_contrato
//   report.cpp        _imprimir_relatorio
//
// The name rules are in core/checker_names. Importing this module loads the CNPJ
// module and the small registry and credential modules, never the reader: the reader
// (and with it openai and PyMuPDF) is imported on the first verification.
#include <algorithm>
#include <map>
#include <string>

#include "bridge/signatures.hpp"
#include "contract/checker/checker.hpp"

namespace vx::checker {

Namespace ns;

namespace {
std::map<std::string, PyObject*>& originals() {
  static auto* m = new std::map<std::string, PyObject*>();  // strong refs, never released
  return *m;
}
}  // namespace

void remember_original(PyClass& cls, const char* name) {
  py::object f = cls.cls().attr("__dict__")[name];
  // Methods sit on the class as instancemethod wrappers; a bound method carries the
  // function inside.
  if (PyInstanceMethod_Check(f.ptr())) {
    f = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(f.ptr()));
  }
  originals()[name] = f.release().ptr();
}

bool is_original(py::handle self, const char* name, py::object& bound) {
  bound = self.attr(name);
  if (!PyMethod_Check(bound.ptr())) return false;
  auto it = originals().find(name);
  return it != originals().end() && PyMethod_GET_FUNCTION(bound.ptr()) == it->second &&
         PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

py::str cat(std::initializer_list<py::handle> pieces) {
  py::list parts;
  for (py::handle p : pieces) {
    if (PyUnicode_CheckExact(p.ptr())) parts.append(p);
    else parts.append(py::str(p));
  }
  return py::str("").attr("join")(parts);
}

void log(py::handle self, py::handle msg, const char* emoji) { self.attr("_log")(msg, py::str(emoji)); }
void log(py::handle self, const char* msg, const char* emoji) { log(self, py::str(msg), emoji); }

void print_line(py::handle line) { py::module_::import("builtins").attr("print")(line); }

py::list snapshot(py::handle seq, const char* what) {
  if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr()) &&
      (vx::is_str(seq) || vx::is_mapping(seq) || !py::isinstance<py::iterable>(seq))) {
    raise_type_error(what, "a list", seq);
  }
  PyObject* l = PySequence_List(seq.ptr());
  if (!l) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

py::object record(const char* name) { return ns.get(name); }

py::object clean_cnpj(py::handle cnpj) { return ns.call("_limpar_para_consulta", cnpj); }

py::object format_cnpj(py::handle clean) {
  bool has_letters = false;
  if (is_str(clean)) {
    std::u32string t = br_py::to_u32(clean);
    has_letters = std::any_of(t.begin(), t.end(), [](char32_t c) { return c >= U'A' && c <= U'Z'; });
  }
  return ns.call(has_letters ? "formatar_cnpj_alfanumerico" : "formatar_cnpj", clean);
}

py::str registry_field(py::handle data, const char* key) {
  return br_py::registry_text(mapping_get(data, key, py::none()));
}

py::object verified_field(const char* name, const char* status, py::handle contract_value,
                          py::handle registry_value, py::handle message) {
  py::dict kw;
  kw["campo"] = py::str(name);
  kw["status"] = py::str(status);
  if (contract_value) kw["valor_contrato"] = contract_value;
  if (registry_value) kw["valor_receita"] = registry_value;
  kw["mensagem"] = message;
  return build("CampoVerificado", kw);
}

}  // namespace vx::checker

PYBIND11_MODULE(checker, m) {
  using namespace vx::checker;
  m.doc() =
      "Verification of Brazilian contracts: companies against the federal registry, "
      "signatories against the partner lists, a verdict and a printed report.";
  ns.bind(m);
  ns.lazy("os", "os");
  ns.lazy("pathlib", "pathlib");
  ns.lazy("concurrent", "concurrent.futures");
  // How many extraction questions the checker's reader asks at once, and how many
  // registry lookups run at once before the companies are judged.
  m.attr("EXTRACTION_CONCURRENCY") = py::int_(3);
  m.attr("REGISTRY_LOOKUP_WORKERS") = py::int_(4);

  py::module_ cnpj = py::module_::import("vorlex.contract.countries.br.cnpj");
  for (const char* n : {"limpar_cnpj", "_limpar_para_consulta", "formatar_cnpj", "formatar_cnpj_alfanumerico",
                        "comparar_enderecos"}) {
    m.attr(n) = cnpj.attr(n);
  }
  m.attr("get_adapter") = py::module_::import("vorlex.contract.registry").attr("get_adapter");
  m.attr("VorlexAuth") = py::module_::import("vorlex.contract.auth").attr("VorlexAuth");
  for (const char* n :
       {"EmpresaExtraida", "AssinaturaExtraida", "CampoVerificado", "EmpresaVerificada",
        "AssinaturaVerificada", "ExtracaoEmpresas", "ExtracaoAssinaturas", "ExtracaoDadosContrato"}) {
    ns.lazy(n, "vorlex.contract.models", n);
  }

  vx::PyClass cls(m, "ContractChecker",
                  "Verifies a Brazilian contract PDF: extracts companies and signatories with "
                  "a Vorlex reader, checks them against the federal registry and returns a "
                  "verdict (APROVADO, REPROVADO or PENDENTE).");
  init_construction(cls);
  init_names(cls);
  init_companies(cls);
  init_signatures(cls);
  init_flow(cls);
  init_report(cls);
  init_functions(m);
  vx::python_signatures(m);
  // After python_signatures: the methods as the class holds them from now on.
  for (const char* n : {"_normalizar_texto", "_comparar_nomes", "_verificar_poder_assinatura", "_log"}) {
    remember_original(cls, n);
  }

  py::list all;
  all.append("ContractChecker");
  all.append("verificar_contrato");
  m.attr("__all__") = all;
}
