// Each signatory against the partner lists (QSA) of the companies already fetched.
//
// The registry is not asked again: the company comes from the cache that company
// validation built, by the signatory's CNPJ or the exact normalised company name, and
// failing both every cached company is tried in turn. A signatory found in a partner list
// signs for the company only when the registry's qualification administers or
// represents it; a plain partner is left for review. Witnesses sign as witnesses, not
// for a party, so their signing power is not checked at all.
#include "contract/checker/checker.hpp"
#include "core/checker_names.hpp"

namespace vx::checker {

namespace {

bool administra(py::handle qualificacao) {
  return qualificacao_administra(br_py::to_u32(br_py::registry_text(qualificacao)));
}

bool menciona_testemunha(py::handle self, py::handle texto) {
  if (!truthy(texto)) return false;
  py::object n = self.attr("_normalizar_texto")(texto);
  if (!is_str(n)) raise_type_error("_normalizar_texto()", "str", n);
  return eh_testemunha(br_py::to_u32(n));
}

py::dict base_record(py::handle ass, py::handle nome) {
  py::dict kw;
  kw["nome_signatario"] = nome;
  kw["cargo"] = field(ass, "cargo");
  kw["empresa_representada"] = field(ass, "empresa_representada");
  kw["cnpj_empresa"] = field(ass, "cnpj_empresa");
  kw["tipo_assinatura"] = field(ass, "tipo_assinatura");
  return kw;
}

// (tem_poder, qualificacao) from a _verificar_poder_assinatura answer.
std::pair<bool, py::object> poder(py::handle answer) {
  py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(answer));
  if (t.size() != 2) throw py::value_error("_verificar_poder_assinatura() must return 2 values");
  return {truthy(t[0]), t[1]};
}

py::list validar_assinaturas(py::object self, py::object assinaturas, py::object cache) {
  py::list lista = snapshot(assinaturas, "assinaturas");
  if (!is_mapping(cache)) raise_type_error("dados_receita_cache", "a mapping", cache);
  log(self, "\n--- Verificando Assinaturas ---", "✍️");
  py::list verificadas;
  NameMemo memo;

  for (py::handle ass : lista) {
    py::object nome = field(ass, "nome_signatario");
    if (!truthy(nome) || (is_str(nome) && py::str(nome).equal(py::str("N/A")))) {
      py::list campos, problemas;
      campos.append(campo("Identificação", "nao_verificado", py::handle(), py::handle(),
                          py::str("Signatário não identificado")));
      problemas.append(py::str("Signatário não identificado"));
      py::dict kw;
      kw["nome_signatario"] = py::str("(não identificado)");
      kw["tipo_assinatura"] = field(ass, "tipo_assinatura");
      kw["campos"] = campos;
      kw["problemas"] = problemas;
      verificadas.append(build("AssinaturaVerificada", kw));
      continue;
    }
    log(self, cat({py::str("Verificando: "), nome}), "👤");

    if (menciona_testemunha(self, field(ass, "tipo_assinatura")) ||
        menciona_testemunha(self, field(ass, "cargo"))) {
      py::list campos;
      campos.append(campo("Identificação", "nao_verificado", py::handle(), py::handle(),
                          py::str("Testemunha: poder de assinatura não exigido")));
      log(self, cat({py::str("👁️ "), nome, py::str(" - testemunha")}), "");
      py::dict kw = base_record(ass, nome);
      kw["campos"] = campos;
      kw["problemas"] = py::list();
      verificadas.append(build("AssinaturaVerificada", kw));
      continue;
    }

    py::object dados = py::none();
    py::object cnpj_empresa = field(ass, "cnpj_empresa");
    if (truthy(cnpj_empresa)) {
      dados = cache.attr("get")(limpar_cnpj(cnpj_empresa));
    }
    py::object empresa = field(ass, "empresa_representada");
    if (!truthy(dados) && truthy(empresa)) {
      dados = cache.attr("get")(self.attr("_normalizar_texto")(empresa));
    }

    bool tem_poder = false;
    py::object qualificacao = py::none();
    // The scan below calls _verificar_poder_assinatura once per cached company; when
    // that and the name steps are the checker's own, they run natively.
    py::object bound;
    const bool nativo = is_str(nome) && is_original(self, "_verificar_poder_assinatura", bound) &&
                        nomes_nativos(self);
    NomeComparavel assinante = preparar_nome(nativo ? normalizar_nome(br_py::to_u32(nome))
                                                    : std::u32string());
    auto verificar = [&](py::handle registro) -> std::pair<bool, py::object> {
      if (nativo) {
        auto [ok, q] = poder_nativo(assinante, registro, &memo);
        return {ok, q};
      }
      return poder(self.attr("_verificar_poder_assinatura")(nome, registro));
    };
    // Being in the partner list is not enough: the qualification must administer or
    // represent the company. A partner listed without such powers (a plain quotaholder)
    // is a case for reading the contract's administration clause.
    bool sem_administracao = false;
    if (truthy(dados)) {
      std::tie(tem_poder, qualificacao) = verificar(dados);
      if (tem_poder && !administra(qualificacao)) {
        tem_poder = false;
        sem_administracao = true;
      }
    } else {
      dados = py::none();
      // Every cached company in insertion order (one cached under two keys is tried
      // twice), from a snapshot: the partner lists are read by Python-visible calls.
      // A company where the signatory administers wins over one where it is only listed.
      py::list registros = vx::list_copy(cache.attr("values")());
      for (py::handle registro : registros) {
        auto [ok, q] = verificar(registro);
        if (!ok) continue;
        if (administra(q)) {
          tem_poder = true;
          sem_administracao = false;
          qualificacao = q;
          dados = py::reinterpret_borrow<py::object>(registro);
          break;
        }
        if (!sem_administracao) {
          sem_administracao = true;
          qualificacao = q;
          dados = py::reinterpret_borrow<py::object>(registro);
        }
      }
    }

    py::list campos, problemas;
    if (sem_administracao) {
      py::object mostrada = or_text(br_py::registry_text(qualificacao), "não informada");
      campos.append(campo("Poder de Assinatura", "pendente", nome, mostrada,
                          cat({py::str("Sócio sem poder de administração no registro ("), mostrada,
                               py::str("): verificar a cláusula de administração")})));
      log(self,
          cat({py::str("⚠️ "), nome, py::str(" - sócio sem poder de administração ("), mostrada,
               py::str(")")}),
          "");
    } else if (tem_poder) {
      py::object mostrada = or_text(qualificacao, "Sócio/Admin");
      campos.append(campo("Poder de Assinatura", "aprovado", nome, or_text(qualificacao, "Encontrado no QSA"),
                          cat({py::str("Signatário tem poder ("), mostrada, py::str(")")})));
      log(self, cat({py::str("✅ "), nome, py::str(" TEM PODER ("), mostrada, py::str(")")}), "");
    } else if (truthy(dados)) {
      py::object socios = mapping_get(dados, "socios", py::list());
      py::list nomes;
      if (PyList_Check(socios.ptr()) || PyTuple_Check(socios.ptr())) {
        py::list todos = snapshot(socios, "socios");
        for (size_t i = 0; i < todos.size() && i < 3; ++i) {
          py::object s = todos[i];
          if (!is_mapping(s)) throw py::type_error("partner record must be a mapping, not " + type_name(s));
          nomes.append(texto_registro(s, "nome"));
        }
      }
      py::object valor = nomes.empty() ? py::object(py::str("QSA vazio"))
                                       : py::object(cat({py::str("QSA: "), py::str(", ").attr("join")(nomes),
                                                         py::str("...")}));
      campos.append(campo("Poder de Assinatura", "reprovado", nome, valor,
                          py::str("Signatário NÃO encontrado no QSA")));
      problemas.append(py::str("Signatário sem poder de assinatura"));
      log(self, cat({py::str("❌ "), nome, py::str(" NÃO TEM PODER")}), "");
    } else {
      campos.append(campo("Poder de Assinatura", "pendente", nome, py::handle(),
                          py::str("Não foi possível verificar")));
      log(self, cat({py::str("⚠️ "), nome, py::str(" - não foi possível verificar")}), "");
    }

    py::dict kw = base_record(ass, nome);
    kw["campos"] = campos;
    kw["tem_poder_assinatura"] = tem_poder;
    kw["qualificacao_qsa"] = qualificacao;
    kw["problemas"] = problemas;
    verificadas.append(build("AssinaturaVerificada", kw));
  }
  return verificadas;
}

}  // namespace

void init_signatures(PyClass& cls) {
  cls.def("_validar_assinaturas", &validar_assinaturas, py::arg("self"), py::arg("assinaturas"),
          py::arg("dados_receita_cache"),
          "Checks each extracted signatory's signing power against the cached partner lists.");
}

}  // namespace vx::checker
