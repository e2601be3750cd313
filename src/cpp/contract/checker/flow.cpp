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

const std::string kRegua(60, '=');

py::dict indisponivel() {
  py::dict r;
  r["resultado_final"] = "PENDENTE";
  r["justificativa"] = "Vorlex não disponível. Instale com: pip install vorlex";
  r["campos_aprovados"] = py::list();
  r["campos_reprovados"] = py::list();
  py::list pendentes;
  pendentes.append(py::str("Extração de dados não disponível"));
  r["campos_pendentes"] = pendentes;
  r["empresas"] = py::list();
  r["assinaturas"] = py::list();
  return r;
}

// The records of one extracted list: cls(**entry) per entry, in order.
py::list extraidos(py::handle resultado_q, const char* chave, const char* cls) {
  py::list out;
  if (!truthy(resultado_q)) return out;
  py::object raw = resultado_q.attr("raw_result");
  if (!truthy(raw)) return out;
  if (!is_mapping(raw)) raise_type_error("raw_result", "a mapping", raw);
  py::object entradas = mapping_get(raw, chave, py::none());
  if (entradas.is_none()) return out;
  py::object tipo = record(cls);
  for (py::handle e : snapshot(entradas, chave)) {
    if (!is_mapping(e)) {
      throw py::type_error(std::string(cls) + "() argument after ** must be a mapping, not " + type_name(e));
    }
    py::dict kw(py::module_::import("builtins").attr("dict")(e));
    out.append(tipo(**kw));
  }
  return out;
}

py::object nome_empresa(py::handle e) {
  for (const char* f : {"razao_social_receita", "razao_social_contrato", "cnpj"}) {
    py::object v = e.attr(f);
    if (truthy(v)) return v;
  }
  return py::str("");
}

py::dict verificar(py::object self, py::object documento) {
  if (!is_str(documento) && !py::isinstance(documento, ns.get("os").attr("PathLike"))) {
    raise_type_error("documento", "str or os.PathLike", documento);
  }
  py::object caminho = ns.get("pathlib").attr("Path")(documento);
  if (!truthy(caminho.attr("exists")())) {
    py::object erro = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
        cat({py::str("Arquivo não encontrado: "), caminho}));
    PyErr_SetObject(PyExc_FileNotFoundError, erro.ptr());
    throw py::error_already_set();
  }

  log(self, cat({py::str("\n"), py::str(kRegua)}), "");
  log(self, "VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", "🔍");
  log(self, cat({py::str("Arquivo: "), caminho.attr("name")}), "📄");
  log(self, py::str(kRegua), "");

  if (!truthy(self.attr("_init_vorlex")())) return indisponivel();

  log(self, "\n📤 Extraindo dados do contrato...", "");
  py::object resultado = self.attr("_client").attr("process")(py::str(caminho));
  py::object r_empresas = resultado.attr("get_result")("empresas");
  py::object r_assinaturas = resultado.attr("get_result")("assinaturas");
  py::object r_dados = resultado.attr("get_result")("dados_contrato");

  py::list empresas = extraidos(r_empresas, "empresas", "EmpresaExtraida");
  py::list assinaturas = extraidos(r_assinaturas, "assinaturas", "AssinaturaExtraida");
  py::object dados_contrato = py::dict();
  if (truthy(r_dados)) {
    py::object raw = r_dados.attr("raw_result");
    if (truthy(raw)) dados_contrato = raw;
  }

  log(self, cat({py::str("Empresas extraídas: "), py::int_(empresas.size())}), "🏢");
  log(self, cat({py::str("Assinaturas extraídas: "), py::int_(assinaturas.size())}), "✍️");
  log(self, "\n🔍 Validando empresas na Receita Federal...", "");

  py::tuple par = py::tuple(self.attr("_validar_empresas")(empresas));
  if (par.size() != 2) throw py::value_error("_validar_empresas() must return 2 values");
  py::object empresas_v = par[0], cache = par[1];
  py::object assinaturas_v = self.attr("_validar_assinaturas")(assinaturas, cache);

  py::list aprovados, reprovados, pendentes;
  auto tally = [&](py::handle parte, py::handle nome) {
    for (py::handle c : snapshot(parte.attr("campos"), "campos")) {
      py::object status = c.attr("status");
      py::list* destino = nullptr;
      if (py::str("aprovado").equal(status)) destino = &aprovados;
      else if (py::str("reprovado").equal(status)) destino = &reprovados;
      else if (py::str("pendente").equal(status)) destino = &pendentes;
      if (destino) destino->append(cat({c.attr("campo"), py::str(" - "), nome}));
    }
  };
  py::list lista_e = snapshot(empresas_v, "empresas");
  py::list lista_a = snapshot(assinaturas_v, "assinaturas");
  for (py::handle e : lista_e) tally(e, nome_empresa(e));
  for (py::handle a : lista_a) tally(a, a.attr("nome_signatario"));

  size_t na = aprovados.size(), nr = reprovados.size(), np = pendentes.size();
  size_t total = na + nr + np;
  py::str veredito, justificativa;
  if (nr > 0) {
    veredito = py::str("REPROVADO");
    justificativa = py::str(std::to_string(nr) + " campo(s) reprovado(s)");
  } else if (np > 0) {
    veredito = py::str("PENDENTE");
    justificativa = py::str(std::to_string(np) + " campo(s) requer(em) análise manual");
  } else if (total == 0) {
    veredito = py::str("PENDENTE");
    justificativa = py::str("Nenhum campo verificado; análise manual necessária");
  } else {
    veredito = py::str("APROVADO");
    justificativa = py::str("Todos os " + std::to_string(na) + " campos verificados foram aprovados");
  }

  py::object metricas = resultado.attr("total_metrics");
  if (truthy(self.attr("verbose"))) {
    self.attr("_imprimir_relatorio")(
        py::arg("resultado_final") = veredito, py::arg("justificativa") = justificativa,
        py::arg("campos_aprovados") = aprovados, py::arg("campos_reprovados") = reprovados,
        py::arg("campos_pendentes") = pendentes, py::arg("empresas") = empresas_v,
        py::arg("assinaturas") = assinaturas_v, py::arg("dados_contrato") = dados_contrato,
        py::arg("metricas") = metricas);
  }

  py::list dump_e, dump_a;
  for (py::handle e : lista_e) dump_e.append(e.attr("model_dump")());
  for (py::handle a : lista_a) dump_a.append(a.attr("model_dump")());
  // What this verification spent: an extraction served from the reader's cache cost
  // nothing now (the report above shows the run as recorded).
  const bool do_cache = truthy(py::getattr(resultado, "from_cache", py::bool_(false)));
  py::dict m;
  m["tokens"] = do_cache ? py::object(py::int_(0)) : py::object(metricas.attr("tokens"));
  m["custo_usd"] = do_cache ? py::object(py::float_(0.0)) : py::object(metricas.attr("cost_usd"));
  m["tempo_segundos"] = metricas.attr("time_seconds");

  py::dict r;
  r["resultado_final"] = veredito;
  r["justificativa"] = justificativa;
  r["campos_aprovados"] = aprovados;
  r["campos_reprovados"] = reprovados;
  r["campos_pendentes"] = pendentes;
  r["total_campos"] = total;
  r["total_aprovados"] = na;
  r["total_reprovados"] = nr;
  r["total_pendentes"] = np;
  r["empresas"] = dump_e;
  r["assinaturas"] = dump_a;
  r["dados_contrato"] = dados_contrato;
  r["metricas"] = m;
  return r;
}

py::object verificar_contrato(py::object documento, py::object country, py::object openai_api_key,
                              py::object verbose) {
  py::object checker = ns.call("ContractChecker", py::arg("country") = country,
                               py::arg("openai_api_key") = openai_api_key, py::arg("verbose") = verbose);
  return checker.attr("verificar")(documento);
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
