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

bool administers(py::handle qualification) {
  return qualification_administers(br_py::to_u32(br_py::registry_text(qualification)));
}

bool mentions_witness(py::handle self, py::handle text) {
  if (!truthy(text)) return false;
  py::object n = self.attr("_normalizar_texto")(text);
  if (!is_str(n)) raise_type_error("_normalizar_texto()", "str", n);
  return is_witness(br_py::to_u32(n));
}

py::dict base_record(py::handle signature, py::handle name) {
  py::dict kw;
  kw["nome_signatario"] = name;
  kw["cargo"] = field(signature, "cargo");
  kw["empresa_representada"] = field(signature, "empresa_representada");
  kw["cnpj_empresa"] = field(signature, "cnpj_empresa");
  kw["tipo_assinatura"] = field(signature, "tipo_assinatura");
  return kw;
}

// (has_power, qualification) from a _verificar_poder_assinatura answer.
std::pair<bool, py::object> signing_power_of(py::handle answer) {
  py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(answer));
  if (t.size() != 2) throw py::value_error("_verificar_poder_assinatura() must return 2 values");
  return {truthy(t[0]), t[1]};
}

py::list validar_assinaturas(py::object self, py::object signatures, py::object cache) {
  py::list items = snapshot(signatures, "assinaturas");
  if (!is_mapping(cache)) raise_type_error("dados_receita_cache", "a mapping", cache);
  log(self, "\n--- Verificando Assinaturas ---", "✍️");
  py::list verified;
  NameMemo memo;

  for (py::handle signature : items) {
    py::object name = field(signature, "nome_signatario");
    if (!truthy(name) || (is_str(name) && py::str(name).equal(py::str("N/A")))) {
      py::list fields, problems;
      fields.append(verified_field("Identificação", "nao_verificado", py::handle(), py::handle(),
                                   py::str("Signatário não identificado")));
      problems.append(py::str("Signatário não identificado"));
      py::dict kw;
      kw["nome_signatario"] = py::str("(não identificado)");
      kw["tipo_assinatura"] = field(signature, "tipo_assinatura");
      kw["campos"] = fields;
      kw["problemas"] = problems;
      verified.append(build("AssinaturaVerificada", kw));
      continue;
    }
    log(self, cat({py::str("Verificando: "), name}), "👤");

    if (mentions_witness(self, field(signature, "tipo_assinatura")) ||
        mentions_witness(self, field(signature, "cargo"))) {
      py::list fields;
      fields.append(verified_field("Identificação", "nao_verificado", py::handle(), py::handle(),
                                   py::str("Testemunha: poder de assinatura não exigido")));
      log(self, cat({py::str("👁️ "), name, py::str(" - testemunha")}), "");
      py::dict kw = base_record(signature, name);
      kw["campos"] = fields;
      kw["problemas"] = py::list();
      verified.append(build("AssinaturaVerificada", kw));
      continue;
    }

    py::object data = py::none();
    py::object company_cnpj = field(signature, "cnpj_empresa");
    if (truthy(company_cnpj)) {
      data = cache.attr("get")(clean_cnpj(company_cnpj));
    }
    py::object company_name = field(signature, "empresa_representada");
    if (!truthy(data) && truthy(company_name)) {
      data = cache.attr("get")(self.attr("_normalizar_texto")(company_name));
    }

    bool has_power = false;
    py::object qualification = py::none();
    // The scan below calls _verificar_poder_assinatura once per cached company; when
    // that and the name steps are the checker's own, they run natively.
    py::object bound;
    const bool native = is_str(name) && is_original(self, "_verificar_poder_assinatura", bound) &&
                        native_name_steps(self);
    ComparableName signer = prepare_name(native ? normalize_name(br_py::to_u32(name)) : std::u32string());
    auto check = [&](py::handle entry) -> std::pair<bool, py::object> {
      if (native) {
        auto [ok, q] = native_signing_power(signer, entry, &memo);
        return {ok, q};
      }
      return signing_power_of(self.attr("_verificar_poder_assinatura")(name, entry));
    };
    // Being in the partner list is not enough: the qualification must administer or
    // represent the company. A partner listed without such powers (a plain quotaholder)
    // is a case for reading the contract's administration clause.
    bool listed_without_powers = false;
    if (truthy(data)) {
      std::tie(has_power, qualification) = check(data);
      if (has_power && !administers(qualification)) {
        has_power = false;
        listed_without_powers = true;
      }
    } else {
      data = py::none();
      // Every cached company in insertion order (one cached under two keys is tried
      // twice), from a snapshot: the partner lists are read by Python-visible calls.
      // A company where the signatory administers wins over one where it is only listed.
      py::list entries = vx::list_copy(cache.attr("values")());
      for (py::handle entry : entries) {
        auto [ok, q] = check(entry);
        if (!ok) continue;
        if (administers(q)) {
          has_power = true;
          listed_without_powers = false;
          qualification = q;
          data = py::reinterpret_borrow<py::object>(entry);
          break;
        }
        if (!listed_without_powers) {
          listed_without_powers = true;
          qualification = q;
          data = py::reinterpret_borrow<py::object>(entry);
        }
      }
    }

    py::list fields, problems;
    if (listed_without_powers) {
      py::object shown = or_text(br_py::registry_text(qualification), "não informada");
      fields.append(verified_field("Poder de Assinatura", "pendente", name, shown,
                                   cat({py::str("Sócio sem poder de administração no registro ("), shown,
                                        py::str("): verificar a cláusula de administração")})));
      log(self,
          cat({py::str("⚠️ "), name, py::str(" - sócio sem poder de administração ("), shown,
               py::str(")")}),
          "");
    } else if (has_power) {
      py::object shown = or_text(qualification, "Sócio/Admin");
      fields.append(verified_field("Poder de Assinatura", "aprovado", name,
                                   or_text(qualification, "Encontrado no QSA"),
                                   cat({py::str("Signatário tem poder ("), shown, py::str(")")})));
      log(self, cat({py::str("✅ "), name, py::str(" TEM PODER ("), shown, py::str(")")}), "");
    } else if (truthy(data)) {
      py::object partners = mapping_get(data, "socios", py::list());
      py::list names;
      if (PyList_Check(partners.ptr()) || PyTuple_Check(partners.ptr())) {
        py::list all_partners = snapshot(partners, "socios");
        for (size_t i = 0; i < all_partners.size() && i < 3; ++i) {
          py::object s = all_partners[i];
          if (!is_mapping(s)) throw py::type_error("partner record must be a mapping, not " + type_name(s));
          names.append(registry_field(s, "nome"));
        }
      }
      py::object value = names.empty() ? py::object(py::str("QSA vazio"))
                                       : py::object(cat({py::str("QSA: "), py::str(", ").attr("join")(names),
                                                         py::str("...")}));
      fields.append(verified_field("Poder de Assinatura", "reprovado", name, value,
                                   py::str("Signatário NÃO encontrado no QSA")));
      problems.append(py::str("Signatário sem poder de assinatura"));
      log(self, cat({py::str("❌ "), name, py::str(" NÃO TEM PODER")}), "");
    } else {
      fields.append(verified_field("Poder de Assinatura", "pendente", name, py::handle(),
                                   py::str("Não foi possível verificar")));
      log(self, cat({py::str("⚠️ "), name, py::str(" - não foi possível verificar")}), "");
    }

    py::dict kw = base_record(signature, name);
    kw["campos"] = fields;
    kw["tem_poder_assinatura"] = has_power;
    kw["qualificacao_qsa"] = qualification;
    kw["problemas"] = problems;
    verified.append(build("AssinaturaVerificada", kw));
  }
  return verified;
}

}  // namespace

void init_signatures(PyClass& cls) {
  cls.def("_validar_assinaturas", &validar_assinaturas, py::arg("self"), py::arg("assinaturas"),
          py::arg("dados_receita_cache"),
          "Checks each extracted signatory's signing power against the cached partner lists.");
}

}  // namespace vx::checker
