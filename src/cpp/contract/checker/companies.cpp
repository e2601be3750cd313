// Each company of the contract against the federal registry, through the checker's
// country adapter: by CNPJ first, by legal name when the CNPJ is missing, malformed or
// unknown. Four field checks per company (CNPJ, status, legal name, address) and the
// registry cache that signature validation reads instead of asking again.
#include <memory>
#include <vector>

#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

// Why the adapter's last lookup found nothing when the registry could not be asked
// (None when it answered, or when the adapter cannot tell).
py::object registry_failure(py::handle adapter) {
  py::object f = py::getattr(adapter, "last_lookup_failure", py::none());
  if (f.is_none()) return py::none();
  py::object r = f();
  return truthy(r) ? py::object(py::str(r)) : py::object(py::none());
}

// ---------------------------------------------------------------------------------
// The registry, asked before the companies are judged
//
// A contract's companies are independent, so what the registry says of each is fetched
// first, side by side on a small pool (REGISTRY_LOOKUP_WORKERS), and the companies are
// then judged one after another with today's lines, in today's order: a verification
// waits for its slowest company's chain of requests, not for the sum of them. The
// chain of one company is the lookup by number (when the adapter accepts the number)
// and, when that finds nothing, the search by legal name. A number or a name shared by
// two companies is asked once. What the adapter raised is kept and raised when the
// company is judged, where the lookup used to be.

// One answer of the adapter: the record (or None), why it is None when the registry
// could not be asked, and what the call raised.
struct Answer {
  py::object record = py::none();
  py::object failure = py::none();
  py::object raised;  // set when the call raised
};

py::tuple answer_tuple(const Answer& a) {
  return py::make_tuple(a.record, a.failure, a.raised ? a.raised : py::object(py::none()));
}

Answer answer_of(py::handle t) {
  py::tuple tuple = py::reinterpret_borrow<py::tuple>(t);
  Answer a;
  a.record = tuple[0];
  a.failure = tuple[1];
  if (!tuple[2].is_none()) a.raised = tuple[2];
  return a;
}

// Asks the adapter once per key among the threads of one verification: the first thread
// that needs the key asks and publishes the answer on a future; the others wait for it.
// The adapter's per-thread failure is read on the thread that asked, right after.
Answer ask_once(py::dict& memo, py::handle key, py::handle adapter, const char* method) {
  // Made before the check: between the check and the insert (text keys) no Python code
  // runs, so no other thread can claim the key in between.
  py::object future = ns.get("concurrent").attr("Future")();
  bool mine = false;
  if (memo.contains(key)) {
    future = memo[key];
  } else {
    memo[key] = future;
    mine = true;
  }
  if (mine) {
    Answer a;
    try {
      a.record = adapter.attr(method)(key);
      if (!truthy(a.record)) a.failure = registry_failure(adapter);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) {
        future.attr("cancel")();
        throw;
      }
      a.raised = exception_value(e);
    }
    future.attr("set_result")(answer_tuple(a));
  }
  return answer_of(future.attr("result")());
}

// What the registry said of one company.
struct Fetched {
  bool by_number = false;  // the adapter accepted the number: it was looked up
  Answer number;
  bool by_name = false;  // nothing by number, and a legal name to search
  Answer name;
};

struct Plan {
  py::object clean = py::none();  // the number to look up, when the adapter accepts it
  py::object legal_name = py::none();
};

Fetched fetch_chain(const Plan& plan, py::handle adapter, py::dict& numbers, py::dict& names) {
  Fetched f;
  if (!plan.clean.is_none()) {
    f.by_number = true;
    f.number = ask_once(numbers, plan.clean, adapter, "lookup_company");
    if (f.number.raised || truthy(f.number.record)) return f;
  }
  if (truthy(plan.legal_name)) {
    f.by_name = true;
    f.name = ask_once(names, plan.legal_name, adapter, "search_companies");
  }
  return f;
}

// The chains of every company, in the companies' order. The adapter's
// validate_company_id is asked here, on the caller's thread, in order.
std::vector<Fetched> fetch_registry(py::handle adapter, const py::list& companies) {
  std::vector<Plan> plans;
  for (py::handle company : companies) {
    Plan plan;
    py::object cnpj = field(company, "cnpj");
    if (truthy(cnpj)) {
      py::object clean = clean_cnpj(cnpj);
      if (truthy(adapter.attr("validate_company_id")(clean))) plan.clean = clean;
    }
    plan.legal_name = field(company, "razao_social");
    plans.push_back(plan);
  }
  // Each chain writes its own slot (under the GIL, as every step of it runs).
  auto out = std::make_shared<std::vector<Fetched>>(plans.size());
  py::dict numbers, names;
  if (plans.size() <= 1) {  // nothing to overlap
    for (size_t i = 0; i < plans.size(); ++i) (*out)[i] = fetch_chain(plans[i], adapter, numbers, names);
    return std::move(*out);
  }
  py::list calls;
  for (size_t i = 0; i < plans.size(); ++i) {
    py::cpp_function chain([out, i, plan = plans[i], adapter = py::reinterpret_borrow<py::object>(adapter),
                            numbers,
                            names]() mutable { (*out)[i] = fetch_chain(plan, adapter, numbers, names); });
    calls.append(py::make_tuple(chain));
  }
  long long workers = arg_int(ns.get("REGISTRY_LOOKUP_WORKERS"), "REGISTRY_LOOKUP_WORKERS");
  py::list done = run_on_threads(ns.get("concurrent"), calls, workers, "vorlex-registry");
  for (py::handle future : done) future.attr("result")();  // a chain keeps what the adapter raised
  return std::move(*out);
}

void raise_if(const Answer& a) {
  if (!a.raised) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(a.raised.ptr())), a.raised.ptr());
  throw py::error_already_set();
}

py::tuple validar_empresas(py::object self, py::object companies) {
  py::list items = snapshot(companies, "empresas");
  py::list verified;
  py::dict cache;
  py::object builtins = py::module_::import("builtins");

  const std::vector<Fetched> registry = fetch_registry(self.attr("adapter"), items);
  size_t index = 0;
  for (py::handle company : items) {
    const Fetched& fetched = registry[index++];
    py::list fields, problems;
    py::object legal_name = field(company, "razao_social");
    py::object contract_cnpj = field(company, "cnpj");
    log(self, cat({py::str("\n--- Verificando: "), or_text(legal_name, "Empresa"), py::str(" ---")}), "🏢");

    py::object data = py::none();
    bool found_by_name = false;
    py::object cnpj = contract_cnpj;

    // A registry that could not be asked is no evidence against the company: the
    // decisive lookup (by number when one was made, else by name) is remembered.
    py::object unavailable = py::none();
    bool looked_up = false;
    if (fetched.by_number) {
      log(self, cat({py::str("Consultando CNPJ "), format_cnpj(clean_cnpj(cnpj)), py::str("...")}), "🔍");
      raise_if(fetched.number);
      data = fetched.number.record;
      looked_up = true;
      if (!truthy(data)) unavailable = fetched.number.failure;
    }
    if (!truthy(data) && truthy(legal_name)) {
      log(self, cat({py::str("Buscando por nome: "), legal_name, py::str("...")}), "🔎");
      raise_if(fetched.name);
      py::object found = fetched.name.record;
      if (!truthy(found) && !looked_up) unavailable = fetched.name.failure;
      if (truthy(found)) {
        if (!is_mapping(found)) raise_type_error("search_companies()", "a mapping", found);
        cnpj = registry_field(found, "cnpj");
        log(self, cat({py::str("✅ Encontrado: "), cnpj}), "");
        found_by_name = true;
      }
      data = found;
    }

    py::object role = field(company, "papel_no_contrato");
    if (!truthy(data)) {
      if (!unavailable.is_none()) {
        fields.append(verified_field("CNPJ", "pendente", or_text(contract_cnpj, "(não informado)"),
                                     py::none(),
                                     cat({py::str("Receita Federal indisponível: "), unavailable})));
        problems.append(py::str("Receita Federal indisponível"));
      } else {
        fields.append(verified_field("CNPJ", "reprovado", or_text(contract_cnpj, "(não informado)"),
                                     py::none(), py::str("CNPJ não encontrado na Receita Federal")));
        problems.append(py::str("CNPJ não encontrado"));
      }
      py::dict kw;
      kw["cnpj"] = or_text(contract_cnpj, "");
      kw["razao_social_contrato"] = legal_name;
      kw["papel_no_contrato"] = role;
      kw["campos"] = fields;
      kw["problemas"] = problems;
      verified.append(build("EmpresaVerificada", kw));
      continue;
    }
    if (!is_mapping(data)) raise_type_error("lookup_company()", "a mapping", data);

    py::object registry_cnpj = mapping_get(data, "cnpj", py::none());
    if (!registry_cnpj.is_none()) registry_cnpj = registry_field(data, "cnpj");
    fields.append(verified_field("CNPJ", "aprovado", or_text(contract_cnpj, "(buscado automaticamente)"),
                                 registry_cnpj, py::str("CNPJ encontrado")));

    // Active means exactly "ATIVA": "INATIVA" contains it but is a closed company.
    py::object status = registry_field(data, "situacao").attr("upper")();
    bool active = py::str(status.attr("strip")()).equal(py::str("ATIVA"));
    fields.append(verified_field("Situação Cadastral", active ? "aprovado" : "reprovado", py::str("-"),
                                 status,
                                 cat({py::str("Empresa "), active ? py::object(py::str("ATIVA")) : status})));
    if (!active) problems.append(cat({py::str("Empresa com situação: "), status}));

    py::object registry_legal_name = registry_field(data, "razao_social");
    bool legal_name_matches = truthy(
        self.attr("_comparar_nomes")(or_text(legal_name, ""), registry_legal_name));
    fields.append(verified_field("Razão Social", legal_name_matches ? "aprovado" : "pendente", legal_name,
                                 registry_legal_name,
                                 py::str(legal_name_matches ? "Confere" : "Divergente")));

    py::object address = field(company, "endereco");
    if (truthy(address)) {
      py::object r = ns.call("comparar_enderecos", address, data);
      py::tuple t = py::tuple(r);
      if (t.size() != 3) throw py::value_error("comparar_enderecos() must return 3 values");
      bool matches = truthy(t[0]);
      fields.append(verified_field("Endereço", matches ? "aprovado" : "pendente", address, t[2],
                                   cat({py::str("Similaridade: "), builtins.attr("format")(t[1], ".0%")})));
    }

    // After a search by name `cnpj` is the registry's number, so the company is cached
    // under the number signatories of it will carry.
    if (truthy(cnpj)) {
      py::object clean = clean_cnpj(cnpj);
      if (truthy(clean)) cache[clean] = data;
    }
    if (truthy(legal_name)) cache[self.attr("_normalizar_texto")(legal_name)] = data;

    py::object partners = mapping_get(data, "socios", py::none());
    if (!PyList_Check(partners.ptr())) partners = py::list();  // null or another type: no partner list
    py::dict kw;
    kw["cnpj"] = registry_field(data, "cnpj");
    kw["razao_social_contrato"] = legal_name;
    kw["razao_social_receita"] = registry_legal_name;
    kw["papel_no_contrato"] = role;
    kw["campos"] = fields;
    kw["cnpj_encontrado"] = true;
    kw["cnpj_buscado_por_nome"] = found_by_name;
    kw["empresa_ativa"] = active;
    kw["razao_social_confere"] = legal_name_matches;
    kw["socios"] = partners;
    kw["problemas"] = problems;
    verified.append(build("EmpresaVerificada", kw));
  }
  return py::make_tuple(verified, cache);
}

}  // namespace

void init_companies(PyClass& cls) {
  cls.def("_validar_empresas", &validar_empresas, py::arg("self"), py::arg("empresas"),
          "Checks each extracted company against the registry; returns (verified "
          "companies, registry cache keyed by clean CNPJ and normalised legal name).");
}

}  // namespace vx::checker
