// The report printed at the end of a verbose verification: verdict, field counts and
// lists, each company and signatory with its field checks, and the run's figures.
// Every line goes through print() on sys.stdout, in the order it is read; nothing is
// caught, so a broken metrics object stops the report after the lines already out.
#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

const char* indicador(py::handle veredito) {
  if (py::str("APROVADO").equal(veredito)) return "✅";
  if (py::str("REPROVADO").equal(veredito)) return "❌";
  if (py::str("PENDENTE").equal(veredito)) return "⚠️";
  return "❓";
}

void linha(std::initializer_list<py::handle> pecas) { print_line(cat(pecas)); }
void linha(const std::string& s) { print_line(py::str(s)); }

std::string repetido(const char* s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

py::object primeiro(py::handle obj, std::initializer_list<const char*> campos, const char* alternativa) {
  for (const char* f : campos) {
    py::object v = obj.attr(f);
    if (truthy(v)) return v;
  }
  return py::str(alternativa);
}

// The header of a company or signatory follows its own checks: ❌ when one was
// rejected, ⚠️ when one is pending (or nothing was checked), 👁️ for a witness, ✅ when
// every check passed. A company is also ✅ only while it is active.
const char* icone(py::handle parte, bool empresa) {
  bool reprovado = false, pendente = false, aprovado = false, testemunha = false, outro = false;
  for (py::handle c : snapshot(parte.attr("campos"), "campos")) {
    py::object status = c.attr("status");
    if (py::str("reprovado").equal(status)) reprovado = true;
    else if (py::str("pendente").equal(status)) pendente = true;
    else if (py::str("aprovado").equal(status)) aprovado = true;
    else if (is_str(c.attr("mensagem")) && truthy(c.attr("mensagem").attr("startswith")("Testemunha")))
      testemunha = true;
    else outro = true;
  }
  if (empresa && !truthy(parte.attr("empresa_ativa"))) return pendente && !reprovado ? "⚠️" : "❌";
  if (reprovado) return "❌";
  if (pendente || outro) return "⚠️";
  if (testemunha) return "👁️";
  return aprovado ? "✅" : "⚠️";
}

void campos_de(py::handle parte) {
  for (py::handle c : snapshot(parte.attr("campos"), "campos")) {
    linha({py::str("      "), c.attr("emoji"), py::str(" "), c.attr("campo"), py::str(": "),
           c.attr("mensagem")});
  }
}

void imprimir_relatorio(py::object self, py::object resultado_final, py::object justificativa,
                        py::object campos_aprovados, py::object campos_reprovados,
                        py::object campos_pendentes, py::object empresas, py::object assinaturas,
                        py::object dados_contrato, py::object metricas) {
  const std::string igual(60, '='), traco = repetido("─", 60);
  const std::string ind = repetido(indicador(resultado_final), 3);
  py::object fmt = py::module_::import("builtins").attr("format");

  linha("\n" + igual);
  linha({py::str(ind + " RESULTADO FINAL: "), resultado_final, py::str(" " + ind)});
  linha(igual);
  linha({py::str("   "), justificativa});

  linha("\n" + traco);
  linha("📋 CAMPOS VERIFICADOS");
  linha(traco);
  py::list aprovados = snapshot(campos_aprovados, "campos_aprovados");
  py::list reprovados = snapshot(campos_reprovados, "campos_reprovados");
  py::list pendentes = snapshot(campos_pendentes, "campos_pendentes");
  linha({py::str("   ✅ Aprovados: "), py::int_(aprovados.size())});
  linha({py::str("   ❌ Reprovados: "), py::int_(reprovados.size())});
  linha({py::str("   ⚠️ Pendentes: "), py::int_(pendentes.size())});
  auto secao = [&](const py::list& itens, const char* titulo) {
    if (itens.empty()) return;
    linha(titulo);
    for (py::handle i : itens) linha({py::str("      • "), i});
  };
  secao(aprovados, "\n   ✅ APROVADOS:");
  secao(reprovados, "\n   ❌ REPROVADOS:");
  secao(pendentes, "\n   ⚠️ PENDENTES:");

  py::list lista_e = snapshot(empresas, "empresas");
  linha("\n" + traco);
  linha({py::str("🏢 EMPRESAS ("), py::int_(lista_e.size()), py::str(")")});
  linha(traco);
  for (py::handle e : lista_e) {
    const char* ok = truthy(e.attr("empresa_ativa")) ? "✅" : icone(e, true);
    linha({py::str(std::string("\n   ") + ok + " "),
           primeiro(e, {"razao_social_receita", "razao_social_contrato"}, "N/A")});
    py::object cnpj = primeiro(e, {"cnpj"}, "N/A");
    if (truthy(e.attr("cnpj_buscado_por_nome"))) {
      linha({py::str("      CNPJ: "), cnpj, py::str(" (encontrado por busca)")});
    } else {
      linha({py::str("      CNPJ: "), cnpj});
    }
    campos_de(e);
  }

  py::list lista_a = snapshot(assinaturas, "assinaturas");
  linha("\n" + traco);
  linha({py::str("✍️ ASSINATURAS ("), py::int_(lista_a.size()), py::str(")")});
  linha(traco);
  for (py::handle a : lista_a) {
    const char* ok = icone(a, false);
    linha({py::str(std::string("\n   ") + ok + " "), a.attr("nome_signatario")});
    py::object cargo = a.attr("cargo");
    if (truthy(cargo)) linha({py::str("      Cargo: "), cargo});
    campos_de(a);
  }

  linha("\n" + traco);
  linha("💰 MÉTRICAS");
  linha(traco);
  linha({py::str("   Tokens: "), fmt(metricas.attr("tokens"), ",")});
  linha({py::str("   Custo: $"), fmt(metricas.attr("cost_usd"), ".4f")});
  linha({py::str("   Tempo: "), fmt(metricas.attr("time_seconds"), ".1f"), py::str("s")});
  linha("\n" + igual);
}

}  // namespace

void init_report(PyClass& cls) {
  cls.def("_imprimir_relatorio", &imprimir_relatorio, py::arg("self"), py::arg("resultado_final"),
          py::arg("justificativa"), py::arg("campos_aprovados"), py::arg("campos_reprovados"),
          py::arg("campos_pendentes"), py::arg("empresas"), py::arg("assinaturas"), py::arg("dados_contrato"),
          py::arg("metricas"), "Prints the verification report to standard output.");
}

}  // namespace vx::checker
