// Each company of the contract against the federal registry, through the checker's
// country adapter: by CNPJ first, by legal name when the CNPJ is missing, malformed or
// unknown. Four field checks per company (CNPJ, status, legal name, address) and the
// registry cache that signature validation reads instead of asking again.
#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

// Why the adapter's last lookup found nothing when the registry could not be asked
// (None when it answered, or when the adapter cannot tell).
py::object falha_do_registro(py::handle adapter) {
  py::object f = py::getattr(adapter, "last_lookup_failure", py::none());
  if (f.is_none()) return py::none();
  py::object r = f();
  return truthy(r) ? py::object(py::str(r)) : py::object(py::none());
}

py::tuple validar_empresas(py::object self, py::object empresas) {
  py::list lista = snapshot(empresas, "empresas");
  py::list verificadas;
  py::dict cache;
  py::object builtins = py::module_::import("builtins");

  for (py::handle emp : lista) {
    py::list campos, problemas;
    py::object razao = field(emp, "razao_social");
    py::object cnpj_contrato = field(emp, "cnpj");
    log(self, cat({py::str("\n--- Verificando: "), or_text(razao, "Empresa"), py::str(" ---")}), "🏢");

    py::object adapter = self.attr("adapter");
    py::object dados = py::none();
    bool por_nome = false;
    py::object cnpj = cnpj_contrato;

    // A registry that could not be asked is no evidence against the company: the
    // decisive lookup (by number when one was made, else by name) is remembered.
    py::object indisponivel = py::none();
    bool consultou = false;
    if (truthy(cnpj)) {
      py::object limpo = limpar_cnpj(cnpj);
      if (truthy(adapter.attr("validate_company_id")(limpo))) {
        log(self, cat({py::str("Consultando CNPJ "), formatar_cnpj(limpo), py::str("...")}), "🔍");
        dados = adapter.attr("lookup_company")(limpo);
        consultou = true;
        if (!truthy(dados)) indisponivel = falha_do_registro(adapter);
      }
    }
    if (!truthy(dados) && truthy(razao)) {
      log(self, cat({py::str("Buscando por nome: "), razao, py::str("...")}), "🔎");
      py::object achado = adapter.attr("search_companies")(razao);
      if (!truthy(achado) && !consultou) indisponivel = falha_do_registro(adapter);
      if (truthy(achado)) {
        if (!is_mapping(achado)) raise_type_error("search_companies()", "a mapping", achado);
        cnpj = texto_registro(achado, "cnpj");
        log(self, cat({py::str("✅ Encontrado: "), cnpj}), "");
        por_nome = true;
      }
      dados = achado;
    }

    py::object papel = field(emp, "papel_no_contrato");
    if (!truthy(dados)) {
      if (!indisponivel.is_none()) {
        campos.append(campo("CNPJ", "pendente", or_text(cnpj_contrato, "(não informado)"), py::none(),
                            cat({py::str("Receita Federal indisponível: "), indisponivel})));
        problemas.append(py::str("Receita Federal indisponível"));
      } else {
        campos.append(campo("CNPJ", "reprovado", or_text(cnpj_contrato, "(não informado)"), py::none(),
                            py::str("CNPJ não encontrado na Receita Federal")));
        problemas.append(py::str("CNPJ não encontrado"));
      }
      py::dict kw;
      kw["cnpj"] = or_text(cnpj_contrato, "");
      kw["razao_social_contrato"] = razao;
      kw["papel_no_contrato"] = papel;
      kw["campos"] = campos;
      kw["problemas"] = problemas;
      verificadas.append(build("EmpresaVerificada", kw));
      continue;
    }
    if (!is_mapping(dados)) raise_type_error("lookup_company()", "a mapping", dados);

    py::object cnpj_receita = mapping_get(dados, "cnpj", py::none());
    if (!cnpj_receita.is_none()) cnpj_receita = texto_registro(dados, "cnpj");
    campos.append(campo("CNPJ", "aprovado", or_text(cnpj_contrato, "(buscado automaticamente)"), cnpj_receita,
                        py::str("CNPJ encontrado")));

    // Active means exactly "ATIVA": "INATIVA" contains it but is a closed company.
    py::object situacao = texto_registro(dados, "situacao").attr("upper")();
    bool ativa = py::str(situacao.attr("strip")()).equal(py::str("ATIVA"));
    campos.append(campo("Situação Cadastral", ativa ? "aprovado" : "reprovado", py::str("-"), situacao,
                        cat({py::str("Empresa "), ativa ? py::object(py::str("ATIVA")) : situacao})));
    if (!ativa) problemas.append(cat({py::str("Empresa com situação: "), situacao}));

    py::object razao_receita = texto_registro(dados, "razao_social");
    bool razao_confere =
        truthy(self.attr("_comparar_nomes")(or_text(razao, ""), razao_receita));
    campos.append(campo("Razão Social", razao_confere ? "aprovado" : "pendente", razao, razao_receita,
                        py::str(razao_confere ? "Confere" : "Divergente")));

    py::object endereco = field(emp, "endereco");
    if (truthy(endereco)) {
      py::object r = ns.call("comparar_enderecos", endereco, dados);
      py::tuple t = py::tuple(r);
      if (t.size() != 3) throw py::value_error("comparar_enderecos() must return 3 values");
      bool confere = truthy(t[0]);
      campos.append(campo("Endereço", confere ? "aprovado" : "pendente", endereco, t[2],
                          cat({py::str("Similaridade: "), builtins.attr("format")(t[1], ".0%")})));
    }

    // After a search by name `cnpj` is the registry's number, so the company is cached
    // under the number signatories of it will carry.
    if (truthy(cnpj)) {
      py::object limpo = limpar_cnpj(cnpj);
      if (truthy(limpo)) cache[limpo] = dados;
    }
    if (truthy(razao)) cache[self.attr("_normalizar_texto")(razao)] = dados;

    py::object socios = mapping_get(dados, "socios", py::none());
    if (!PyList_Check(socios.ptr())) socios = py::list();  // null or another type: no partner list
    py::dict kw;
    kw["cnpj"] = texto_registro(dados, "cnpj");
    kw["razao_social_contrato"] = razao;
    kw["razao_social_receita"] = razao_receita;
    kw["papel_no_contrato"] = papel;
    kw["campos"] = campos;
    kw["cnpj_encontrado"] = true;
    kw["cnpj_buscado_por_nome"] = por_nome;
    kw["empresa_ativa"] = ativa;
    kw["razao_social_confere"] = razao_confere;
    kw["socios"] = socios;
    kw["problemas"] = problemas;
    verificadas.append(build("EmpresaVerificada", kw));
  }
  return py::make_tuple(verificadas, cache);
}

}  // namespace

void init_companies(PyClass& cls) {
  cls.def("_validar_empresas", &validar_empresas, py::arg("self"), py::arg("empresas"),
          "Checks each extracted company against the registry; returns (verified "
          "companies, registry cache keyed by clean CNPJ and normalised legal name).");
}

}  // namespace vx::checker
