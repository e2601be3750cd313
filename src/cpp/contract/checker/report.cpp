// The report printed at the end of a verbose verification: verdict, field counts and
// lists, each company and signatory with its field checks, and the run's figures.
// Every line goes through print() on sys.stdout, in the order it is read; nothing is
// caught, so a broken metrics object stops the report after the lines already out.
#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

const char* verdict_icon(py::handle verdict) {
  if (py::str("APROVADO").equal(verdict)) return "✅";
  if (py::str("REPROVADO").equal(verdict)) return "❌";
  if (py::str("PENDENTE").equal(verdict)) return "⚠️";
  return "❓";
}

void line(std::initializer_list<py::handle> pieces) { print_line(cat(pieces)); }
void line(const std::string& s) { print_line(py::str(s)); }

std::string repeated(const char* s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

py::object first_set(py::handle obj, std::initializer_list<const char*> fields, const char* fallback) {
  for (const char* f : fields) {
    py::object v = obj.attr(f);
    if (truthy(v)) return v;
  }
  return py::str(fallback);
}

// The header of a company or signatory follows its own checks: ❌ when one was
// rejected, ⚠️ when one is pending (or nothing was checked), 👁️ for a witness, ✅ when
// every check passed. A company is also ✅ only while it is active.
const char* header_icon(py::handle party, bool is_company) {
  bool rejected = false, pending = false, approved = false, witness = false, other = false;
  for (py::handle c : snapshot(party.attr("campos"), "campos")) {
    py::object status = c.attr("status");
    if (py::str("reprovado").equal(status)) rejected = true;
    else if (py::str("pendente").equal(status)) pending = true;
    else if (py::str("aprovado").equal(status)) approved = true;
    else if (is_str(c.attr("mensagem")) && truthy(c.attr("mensagem").attr("startswith")("Testemunha")))
      witness = true;
    else other = true;
  }
  if (is_company && !truthy(party.attr("empresa_ativa"))) return pending && !rejected ? "⚠️" : "❌";
  if (rejected) return "❌";
  if (pending || other) return "⚠️";
  if (witness) return "👁️";
  return approved ? "✅" : "⚠️";
}

void print_fields(py::handle party) {
  for (py::handle c : snapshot(party.attr("campos"), "campos")) {
    line({py::str("      "), c.attr("emoji"), py::str(" "), c.attr("campo"), py::str(": "),
          c.attr("mensagem")});
  }
}

void imprimir_relatorio(py::object self, py::object final_result, py::object justification,
                        py::object approved_fields, py::object rejected_fields, py::object pending_fields,
                        py::object companies, py::object signatures, py::object contract_data,
                        py::object metrics) {
  const std::string double_rule(60, '='), single_rule = repeated("─", 60);
  const std::string icons = repeated(verdict_icon(final_result), 3);
  py::object fmt = py::module_::import("builtins").attr("format");

  line("\n" + double_rule);
  line({py::str(icons + " RESULTADO FINAL: "), final_result, py::str(" " + icons)});
  line(double_rule);
  line({py::str("   "), justification});

  line("\n" + single_rule);
  line("📋 CAMPOS VERIFICADOS");
  line(single_rule);
  py::list approved = snapshot(approved_fields, "campos_aprovados");
  py::list rejected = snapshot(rejected_fields, "campos_reprovados");
  py::list pending = snapshot(pending_fields, "campos_pendentes");
  line({py::str("   ✅ Aprovados: "), py::int_(approved.size())});
  line({py::str("   ❌ Reprovados: "), py::int_(rejected.size())});
  line({py::str("   ⚠️ Pendentes: "), py::int_(pending.size())});
  auto section = [&](const py::list& entries, const char* title) {
    if (entries.empty()) return;
    line(title);
    for (py::handle i : entries) line({py::str("      • "), i});
  };
  section(approved, "\n   ✅ APROVADOS:");
  section(rejected, "\n   ❌ REPROVADOS:");
  section(pending, "\n   ⚠️ PENDENTES:");

  py::list company_list = snapshot(companies, "empresas");
  line("\n" + single_rule);
  line({py::str("🏢 EMPRESAS ("), py::int_(company_list.size()), py::str(")")});
  line(single_rule);
  for (py::handle e : company_list) {
    const char* ok = truthy(e.attr("empresa_ativa")) ? "✅" : header_icon(e, true);
    line({py::str(std::string("\n   ") + ok + " "),
          first_set(e, {"razao_social_receita", "razao_social_contrato"}, "N/A")});
    py::object cnpj = first_set(e, {"cnpj"}, "N/A");
    if (truthy(e.attr("cnpj_buscado_por_nome"))) {
      line({py::str("      CNPJ: "), cnpj, py::str(" (encontrado por busca)")});
    } else {
      line({py::str("      CNPJ: "), cnpj});
    }
    print_fields(e);
  }

  py::list signature_list = snapshot(signatures, "assinaturas");
  line("\n" + single_rule);
  line({py::str("✍️ ASSINATURAS ("), py::int_(signature_list.size()), py::str(")")});
  line(single_rule);
  for (py::handle a : signature_list) {
    const char* ok = header_icon(a, false);
    line({py::str(std::string("\n   ") + ok + " "), a.attr("nome_signatario")});
    py::object role = a.attr("cargo");
    if (truthy(role)) line({py::str("      Cargo: "), role});
    print_fields(a);
  }

  line("\n" + single_rule);
  line("💰 MÉTRICAS");
  line(single_rule);
  line({py::str("   Tokens: "), fmt(metrics.attr("tokens"), ",")});
  line({py::str("   Custo: $"), fmt(metrics.attr("cost_usd"), ".4f")});
  line({py::str("   Tempo: "), fmt(metrics.attr("time_seconds"), ".1f"), py::str("s")});
  line("\n" + double_rule);
}

}  // namespace

void init_report(PyClass& cls) {
  cls.def("_imprimir_relatorio", &imprimir_relatorio, py::arg("self"), py::arg("resultado_final"),
          py::arg("justificativa"), py::arg("campos_aprovados"), py::arg("campos_reprovados"),
          py::arg("campos_pendentes"), py::arg("empresas"), py::arg("assinaturas"), py::arg("dados_contrato"),
          py::arg("metricas"), "Prints the verification report to standard output.");
}

}  // namespace vx::checker
