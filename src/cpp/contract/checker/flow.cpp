// verificar: one contract from file to verdict.
//
//   header, reader (built once), one document run for the three questions, the
//   answers as records, companies then signatories validated, every field check
//   tallied, the verdict, the report when verbose, the result mapping.
//
// A verification that checked nothing (the model calls failed, nothing was extracted,
// only witnesses were found) is "PENDENTE": an approval has to rest on something.
#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

const std::string kRule(60, '=');

py::dict unavailable_result() {
  py::dict r;
  r["resultado_final"] = "PENDENTE";
  r["justificativa"] = "Vorlex não disponível. Instale com: pip install vorlex";
  r["campos_aprovados"] = py::list();
  r["campos_reprovados"] = py::list();
  py::list pending;
  pending.append(py::str("Extração de dados não disponível"));
  r["campos_pendentes"] = pending;
  r["empresas"] = py::list();
  r["assinaturas"] = py::list();
  return r;
}

// The records of one extracted list: cls(**entry) per entry, in order.
py::list extracted_records(py::handle question_result, const char* key, const char* cls) {
  py::list out;
  if (!truthy(question_result)) return out;
  py::object raw = question_result.attr("raw_result");
  if (!truthy(raw)) return out;
  if (!is_mapping(raw)) raise_type_error("raw_result", "a mapping", raw);
  py::object entries = mapping_get(raw, key, py::none());
  if (entries.is_none()) return out;
  py::object record_type = record(cls);
  for (py::handle e : snapshot(entries, key)) {
    if (!is_mapping(e)) {
      throw py::type_error(std::string(cls) + "() argument after ** must be a mapping, not " + type_name(e));
    }
    py::dict kw(py::module_::import("builtins").attr("dict")(e));
    out.append(record_type(**kw));
  }
  return out;
}

py::object company_label(py::handle e) {
  for (const char* f : {"razao_social_receita", "razao_social_contrato", "cnpj"}) {
    py::object v = e.attr(f);
    if (truthy(v)) return v;
  }
  return py::str("");
}

py::dict verificar(py::object self, py::object document) {
  if (!is_str(document) && !py::isinstance(document, ns.get("os").attr("PathLike"))) {
    raise_type_error("documento", "str or os.PathLike", document);
  }
  py::object path = ns.get("pathlib").attr("Path")(document);
  if (!truthy(path.attr("exists")())) {
    py::object error = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
        cat({py::str("Arquivo não encontrado: "), path}));
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw py::error_already_set();
  }

  log(self, cat({py::str("\n"), py::str(kRule)}), "");
  log(self, "VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", "🔍");
  log(self, cat({py::str("Arquivo: "), path.attr("name")}), "📄");
  log(self, py::str(kRule), "");

  if (!truthy(self.attr("_init_vorlex")())) return unavailable_result();

  log(self, "\n📤 Extraindo dados do contrato...", "");
  py::object result = self.attr("_client").attr("process")(py::str(path));
  py::object companies_answer = result.attr("get_result")("empresas");
  py::object signatures_answer = result.attr("get_result")("assinaturas");
  py::object contract_answer = result.attr("get_result")("dados_contrato");

  py::list companies = extracted_records(companies_answer, "empresas", "EmpresaExtraida");
  py::list signatures = extracted_records(signatures_answer, "assinaturas", "AssinaturaExtraida");
  py::object contract_data = py::dict();
  if (truthy(contract_answer)) {
    py::object raw = contract_answer.attr("raw_result");
    if (truthy(raw)) contract_data = raw;
  }

  log(self, cat({py::str("Empresas extraídas: "), py::int_(companies.size())}), "🏢");
  log(self, cat({py::str("Assinaturas extraídas: "), py::int_(signatures.size())}), "✍️");
  log(self, "\n🔍 Validando empresas na Receita Federal...", "");

  py::tuple pair = py::tuple(self.attr("_validar_empresas")(companies));
  if (pair.size() != 2) throw py::value_error("_validar_empresas() must return 2 values");
  py::object verified_companies = pair[0], cache = pair[1];
  py::object verified_signatures = self.attr("_validar_assinaturas")(signatures, cache);

  py::list approved, rejected, pending;
  auto tally = [&](py::handle party, py::handle name) {
    for (py::handle c : snapshot(party.attr("campos"), "campos")) {
      py::object status = c.attr("status");
      py::list* target = nullptr;
      if (py::str("aprovado").equal(status)) target = &approved;
      else if (py::str("reprovado").equal(status)) target = &rejected;
      else if (py::str("pendente").equal(status)) target = &pending;
      if (target) target->append(cat({c.attr("campo"), py::str(" - "), name}));
    }
  };
  py::list company_list = snapshot(verified_companies, "empresas");
  py::list signature_list = snapshot(verified_signatures, "assinaturas");
  for (py::handle e : company_list) tally(e, company_label(e));
  for (py::handle a : signature_list) tally(a, a.attr("nome_signatario"));

  size_t na = approved.size(), nr = rejected.size(), np = pending.size();
  size_t total = na + nr + np;
  py::str verdict, justification;
  if (nr > 0) {
    verdict = py::str("REPROVADO");
    justification = py::str(std::to_string(nr) + " campo(s) reprovado(s)");
  } else if (np > 0) {
    verdict = py::str("PENDENTE");
    justification = py::str(std::to_string(np) + " campo(s) requer(em) análise manual");
  } else if (total == 0) {
    verdict = py::str("PENDENTE");
    justification = py::str("Nenhum campo verificado; análise manual necessária");
  } else {
    verdict = py::str("APROVADO");
    justification = py::str("Todos os " + std::to_string(na) + " campos verificados foram aprovados");
  }

  py::object metrics = result.attr("total_metrics");
  if (truthy(self.attr("verbose"))) {
    self.attr("_imprimir_relatorio")(
        py::arg("resultado_final") = verdict, py::arg("justificativa") = justification,
        py::arg("campos_aprovados") = approved, py::arg("campos_reprovados") = rejected,
        py::arg("campos_pendentes") = pending, py::arg("empresas") = verified_companies,
        py::arg("assinaturas") = verified_signatures, py::arg("dados_contrato") = contract_data,
        py::arg("metricas") = metrics);
  }

  py::list dump_e, dump_a;
  for (py::handle e : company_list) dump_e.append(e.attr("model_dump")());
  for (py::handle a : signature_list) dump_a.append(a.attr("model_dump")());
  // What this verification spent: an extraction served from the reader's cache cost
  // nothing now (the report above shows the run as recorded).
  const bool from_cache = truthy(py::getattr(result, "from_cache", py::bool_(false)));
  py::dict m;
  m["tokens"] = from_cache ? py::object(py::int_(0)) : py::object(metrics.attr("tokens"));
  m["custo_usd"] = from_cache ? py::object(py::float_(0.0)) : py::object(metrics.attr("cost_usd"));
  m["tempo_segundos"] = metrics.attr("time_seconds");

  py::dict r;
  r["resultado_final"] = verdict;
  r["justificativa"] = justification;
  r["campos_aprovados"] = approved;
  r["campos_reprovados"] = rejected;
  r["campos_pendentes"] = pending;
  r["total_campos"] = total;
  r["total_aprovados"] = na;
  r["total_reprovados"] = nr;
  r["total_pendentes"] = np;
  r["empresas"] = dump_e;
  r["assinaturas"] = dump_a;
  r["dados_contrato"] = contract_data;
  r["metricas"] = m;
  return r;
}

py::object verificar_contrato(py::object document, py::object country, py::object openai_api_key,
                              py::object verbose) {
  py::object checker = ns.call("ContractChecker", py::arg("country") = country,
                               py::arg("openai_api_key") = openai_api_key, py::arg("verbose") = verbose);
  return checker.attr("verificar")(document);
}

}  // namespace

void init_flow(PyClass& cls) {
  cls.def("verificar", &verificar, py::arg("self"), py::arg("documento"),
          "Verifies the contract PDF at `documento`; returns the verdict, the field lists "
          "and totals, the verified companies and signatories, the contract data and the "
          "run's metrics.");
}

void init_functions(py::module_& m) {
  m.def("verificar_contrato", &verificar_contrato, py::arg("documento"), py::arg("country"),
        py::arg("openai_api_key") = py::none(), py::arg("verbose") = true,
        "ContractChecker(country=..., openai_api_key=..., verbose=...).verificar(documento).");
}

}  // namespace vx::checker
