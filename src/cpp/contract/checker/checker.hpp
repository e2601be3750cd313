// Shared pieces of the vorlex.contract.checker module's files.
//
// The ContractChecker class is an ordinary Python class (vx::PyClass): its fields
// live in the instance __dict__ and every step calls the next one through `self`,
// so a test (or a caller) may replace any of them. The names the checker borrows
// from other modules (get_adapter, VorlexAuth, limpar_cnpj, formatar_cnpj,
// comparar_enderecos, the records) are read from the module namespace at each call.
#pragma once

#include <initializer_list>
#include <string>
#include <unordered_map>
#include <utility>

#include "bridge/bridge.hpp"
#include "bridge/py_text.hpp"
#include "core/checker_names.hpp"

namespace vx::checker {

extern Namespace ns;

void init_construction(PyClass& cls);  // __init__, provider, auth, _log, _init_vorlex, _setup_questions
void init_names(PyClass& cls);         // _normalizar_texto, _comparar_nomes, _verificar_poder_assinatura
void init_companies(PyClass& cls);     // _validar_empresas
void init_signatures(PyClass& cls);    // _validar_assinaturas
void init_flow(PyClass& cls);          // verificar
void init_report(PyClass& cls);        // _imprimir_relatorio
void init_functions(py::module_& m);   // verificar_contrato

// The checker's own methods as bound on the class, so that a call through `self` can
// tell whether it would reach the original C++ code (and then skip the Python call).
void remember_original(PyClass& cls, const char* name);
bool is_original(py::handle self, const char* name, py::object& bound);

// Signing power without the interpreter's call machinery, for when the checker's name
// steps are its own (native_name_steps). NameMemo keeps the normalised form of each name
// object seen during one validation, so a partner list scanned once per signatory is
// normalised once.
struct NameMemo {
  std::unordered_map<PyObject*, ComparableName> norm;
  py::list keep;
  const ComparableName& get(py::handle text);
};
bool native_name_steps(py::handle self);
std::pair<bool, py::object> native_signing_power(const ComparableName& signer, py::handle registry_data,
                                                 NameMemo* memo);

// `v` when it is non-empty, else the text `fallback` (Python's `v or "..."`).
inline py::object or_text(py::handle v, const char* fallback) {
  return truthy(v) ? py::reinterpret_borrow<py::object>(v) : py::object(py::str(fallback));
}

// str(a) + str(b) + ...: pieces joined as an f-string would write them.
py::str cat(std::initializer_list<py::handle> pieces);

// self._log(msg, emoji)
void log(py::handle self, py::handle msg, const char* emoji);
void log(py::handle self, const char* msg, const char* emoji);

// print(line) on the interpreter's sys.stdout.
void print_line(py::handle line);

// getattr(obj, name): an extracted record's field.
inline py::object field(py::handle obj, const char* name) { return obj.attr(name); }

// A list snapshot of any iterable (list(x)), so that Python code run between items
// cannot change what is walked.
py::list snapshot(py::handle seq, const char* what);

// Record class `name` of vorlex.contract.models, through the module namespace.
py::object record(const char* name);

// The CNPJ of a contract as the registry is asked for it and as it keys the registry
// cache: a valid alphanumeric CNPJ (letters among its first twelve characters) by the
// alphanumeric rule, any other as its digits. format_cnpj writes either layout.
py::object clean_cnpj(py::handle cnpj);
py::object format_cnpj(py::handle clean);

// A registry record's field as text (services send numbers, nulls and lists too): ""
// for anything that is not text or a number.
py::str registry_field(py::handle data, const char* key);

// A new record: cls(**kwargs).
inline py::object build(const char* cls, py::dict kwargs) { return record(cls)(**kwargs); }

// CampoVerificado(campo=..., status=..., ...), with valor_* left out when null handles.
py::object verified_field(const char* name, const char* status, py::handle contract_value,
                          py::handle registry_value, py::handle message);

}  // namespace vx::checker
