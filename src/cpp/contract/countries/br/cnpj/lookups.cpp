// Registry lookups: BrasilAPI and ReceitaWS by number, Casa dos Dados by name, and
// the combined searches. Every network or data failure ends in None and a log line;
// the lookups never raise for them.
#include <optional>
#include <string>

#include "contract/countries/br/cnpj/module.hpp"
#include "contract/countries/br/web.hpp"
#include "core/br_address.hpp"
#include "core/br_cnpj.hpp"

namespace vx::cnpj {

namespace {

using br_py::from_u32;
using br_py::to_u32;
using br_py::truthy;

// ---------------------------------------------------------------------------------
// Answers of the services

// A decoded JSON object; anything else is outside the services' contract.
py::dict objeto(py::handle data, const char* what) {
  if (!PyDict_Check(data.ptr())) {
    throw py::type_error(std::string(what) + " is not a JSON object but " + type_name(data));
  }
  return py::reinterpret_borrow<py::dict>(data);
}

// data.get(key, default): a key that is present keeps its value, whatever its type.
py::object campo(const py::dict& data, const char* key, py::handle dflt) {
  PyObject* v = PyDict_GetItemString(data.ptr(), key);  // borrowed
  return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
}

struct Coluna {
  const char* chave;  // key of the company record
  const char* fonte;  // key in the service's answer; nullptr: always ""
};

py::dict copiar(const py::dict& data, const Coluna* colunas, size_t n) {
  py::dict out;
  py::str vazio("");
  for (size_t i = 0; i < n; ++i) {
    out[colunas[i].chave] = colunas[i].fonte ? campo(data, colunas[i].fonte, vazio) : py::object(vazio);
  }
  return out;
}

void qualificacao_do_codigo(py::dict& socio, const py::dict& entrada, const char* chave, const char* codigo);

py::list socios(const py::dict& data, const Coluna* colunas, size_t n, const char* servico) {
  py::object qsa = campo(data, "qsa", py::list());
  if (qsa.is_none()) return py::list();  // null: no partner list published
  if (!PyList_Check(qsa.ptr())) {
    throw py::type_error(std::string(servico) + " 'qsa' is not a list but " + type_name(qsa));
  }
  const bool brasil_api = std::string_view(servico) == "BrasilAPI";
  py::list out;
  std::string what = std::string(servico) + " 'qsa' entry";
  for (py::handle s : vx::list_copy(qsa)) {
    py::dict entrada = objeto(s, what.c_str());
    py::dict socio = copiar(entrada, colunas, n);
    if (brasil_api) {
      qualificacao_do_codigo(socio, entrada, "qualificacao", "codigo_qualificacao_socio");
      qualificacao_do_codigo(socio, entrada, "qualificacao_representante",
                             "codigo_qualificacao_representante_legal");
    }
    out.append(socio);
  }
  return out;
}

// The address sub-record: every value read as text (BrasilAPI sends the CEP as a JSON
// integer that lost its leading zero, and null for unknown fields), and the street
// type, which BrasilAPI keeps apart ("RUA" + "LEANDRO MARTINS COSTA"), put back in
// front of the street unless the street already begins with it.
py::dict endereco(const py::dict& data);

constexpr Coluna kEnderecoColunas[] = {
    {"logradouro", "logradouro"}, {"numero", "numero"}, {"complemento", "complemento"},
    {"bairro", "bairro"},         {"cidade", "municipio"}, {"uf", "uf"},
    {"cep", "cep"},
};
constexpr Coluna kSocioBrasilApi[] = {
    {"nome", "nome_socio"},
    {"qualificacao", "qualificacao_socio"},
    {"data_entrada", "data_entrada_sociedade"},
    {"cpf_representante", "cpf_representante_legal"},
    {"nome_representante", "nome_representante_legal"},
    {"qualificacao_representante", "qualificacao_representante_legal"},
};
constexpr Coluna kSocioReceitaWs[] = {
    {"nome", "nome"},
    {"qualificacao", "qual"},
    {"data_entrada", nullptr},
    {"cpf_representante", nullptr},
    {"nome_representante", nullptr},
    {"qualificacao_representante", nullptr},
};

// The company record, keys in their documented order. `nomes` are the service's keys
// for razao_social, nome_fantasia, situacao, data_situacao, data_abertura.
py::dict registro(const char* fonte, const py::str& cnpj_fmt, const py::dict& data,
                  const char* const (&nomes)[5], py::object capital, py::list lista_socios) {
  py::str vazio("");
  py::dict r;
  r["fonte"] = fonte;
  r["cnpj"] = cnpj_fmt;
  r["razao_social"] = campo(data, nomes[0], vazio);
  r["nome_fantasia"] = campo(data, nomes[1], vazio);
  r["situacao"] = campo(data, nomes[2], vazio);
  r["data_situacao"] = campo(data, nomes[3], vazio);
  r["data_abertura"] = campo(data, nomes[4], vazio);
  r["natureza_juridica"] = campo(data, "natureza_juridica", vazio);
  r["porte"] = campo(data, "porte", vazio);
  r["capital_social"] = capital;
  r["endereco"] = endereco(data);
  r["email"] = campo(data, "email", vazio);
  r["socios"] = lista_socios;
  return r;
}

py::dict endereco(const py::dict& data) {
  py::dict out;
  for (const auto& c : kEnderecoColunas) {
    out[c.chave] = br_py::registry_text(campo(data, c.fonte, py::none()), std::string_view(c.chave) == "cep");
  }
  py::str tipo = br_py::registry_text(campo(data, "descricao_tipo_de_logradouro", py::none()));
  if (PyUnicode_GET_LENGTH(tipo.ptr()) == 0) tipo = br_py::registry_text(campo(data, "descricao_tipo_logradouro", py::none()));
  py::str rua = out["logradouro"];
  out["logradouro"] = from_u32(br::logradouro_com_tipo(to_u32(tipo), to_u32(rua)));
  return out;
}

// A BrasilAPI partner whose qualification came only as a code gets the code's text
// from the registry's table (QUALIFICACOES_SOCIO), for the partner and for its legal
// representative alike.
void qualificacao_do_codigo(py::dict& socio, const py::dict& entrada, const char* chave, const char* codigo) {
  if (PyUnicode_Check(socio[chave].ptr()) && PyUnicode_GET_LENGTH(socio[chave].ptr()) > 0) return;
  py::object cod = campo(entrada, codigo, py::none());
  if (!PyLong_Check(cod.ptr()) || PyBool_Check(cod.ptr())) return;
  py::object tabela = ns.get("QUALIFICACOES_SOCIO");
  py::object texto = tabela.attr("get")(cod);
  if (is_str(texto)) socio[chave] = texto;
}

// ReceitaWS writes the capital as text: "1.000.000,00" (Brazilian) or "10000.00"
// (dot decimal). Reading the second by deleting every dot would multiply it by a
// hundred, so the decimal point is told apart from thousands separators first
// (core/br_cnpj ler_capital).
py::object capital_receita(py::object capital) {
  if (!is_str(capital)) return capital;
  bool vazio = false;
  auto valor = br::ler_capital(to_u32(capital), &vazio);
  if (vazio) return py::int_(0);
  if (!valor) throw py::value_error("capital_social is not a number: " + to_utf8(py::repr(capital)));
  return py::float_(*valor);
}

// ---------------------------------------------------------------------------------
// Failure handling shared by the three web operations

// Why the last lookup on this thread gave None: nullopt when the service answered
// (found nothing, or found the company), else the failure that kept it from answering.
// consultar_cnpj must keep answering None in both cases, so the reason is kept here
// for the checker and the command line (falha_ultima_consulta).
thread_local std::optional<std::string> t_falha;

// A status that says the service could not answer now (overloaded, down, rate
// limited), as opposed to an answer about the number.
std::optional<std::string> status_indisponivel(const py::object& resp) {
  py::object code = resp.attr("status_code");
  if (!PyLong_Check(code.ptr())) return std::nullopt;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
  if (overflow || !(n >= 500 || n == 429)) return std::nullopt;
  return "HTTP " + std::to_string(n);
}

std::string falha_de(const char* servico, py::handle exc) {
  return std::string(servico) + ": " + vx::safe_str(py::type::handle_of(exc).attr("__name__"));
}


bool falha_de_rede_ou_dados(py::handle exc) {
  if (PyObject_IsInstance(exc.ptr(), PyExc_ValueError) == 1) return true;
  int r = PyObject_IsInstance(exc.ptr(), br_web::request_error_class(ns.get("requests")).ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// An error raised here in C++ (an answer of the wrong shape, a failed comparison)
// has no Python frames; the caller's frame is added so that the logged trace says
// where the lookup ran.
void com_rastro(py::object& exc) {
  PyObject* tb_atual = PyException_GetTraceback(exc.ptr());
  if (tb_atual) {
    Py_DECREF(tb_atual);
    return;
  }
  PyFrameObject* frame = PyEval_GetFrame();
  if (!frame) return;
  PyErr_Restore(py::type::handle_of(exc).inc_ref().ptr(), exc.inc_ref().ptr(), nullptr);
  PyTraceBack_Here(frame);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  exc = py::reinterpret_steal<py::object>(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
}

// Runs `body`; an exception of the Exception family becomes None and a log line:
// `esperada(exc)` for request and value errors, `inesperada(exc)` for the others.
// KeyboardInterrupt and SystemExit pass through.
template <class Body, class Esperada, class Inesperada>
py::object protegido(Body&& body, Esperada&& esperada, Inesperada&& inesperada) {
  py::object exc;
  try {
    return body();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    exc = e.value();
  } catch (py::builtin_exception& e) {
    e.set_error();
    exc = py::error_already_set().value();
  }
  com_rastro(exc);
  if (falha_de_rede_ou_dados(exc)) esperada(exc);
  else inesperada(exc);
  return py::none();
}

std::string url_de(const char* constante, const std::string& cnpj_limpo) {
  py::object tmpl = ns.get(constante);
  if (!is_str(tmpl)) throw py::type_error(std::string(constante) + " must be str, not " + type_name(tmpl));
  std::string url = to_utf8(tmpl);
  const std::string marca = "{cnpj}";
  for (size_t at = url.find(marca); at != std::string::npos; at = url.find(marca, at + cnpj_limpo.size())) {
    url.replace(at, marca.size(), cnpj_limpo);
  }
  return url;
}

bool status_ok(const py::object& resp) {
  int r = PyObject_RichCompareBool(resp.attr("status_code").ptr(), py::int_(200).ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::str cnpj_formatado(const std::u32string& limpo) {
  return from_u32(limpo.size() == 14 ? br::formatar_cnpj_limpo(limpo) : limpo);
}

// ---------------------------------------------------------------------------------
// Lookups by number

py::object consultar_brasil_api(py::object cnpj) {
  if (!is_str(cnpj)) raise_type_error("cnpj", "str", cnpj);
  const std::u32string limpo = br::limpar_para_consulta(to_u32(cnpj));
  const py::str py_limpo = from_u32(limpo);
  t_falha.reset();
  return protegido(
      [&]() -> py::object {
        std::string url = url_de("BRASIL_API_URL", to_utf8(py_limpo));
        py::object resp = ns.get("requests").attr("get")(url, py::arg("timeout") = ns.get("REQUEST_TIMEOUT"));
        if (!status_ok(resp)) {
          if (auto f = status_indisponivel(resp)) t_falha = "BrasilAPI: " + *f;
          return py::none();
        }
        py::dict data = objeto(resp.attr("json")(), "BrasilAPI answer");
        py::list lista = socios(data, kSocioBrasilApi, std::size(kSocioBrasilApi), "BrasilAPI");
        static const char* const nomes[5] = {"razao_social", "nome_fantasia", "descricao_situacao_cadastral",
                                             "data_situacao_cadastral", "data_inicio_atividade"};
        return registro("BrasilAPI", cnpj_formatado(limpo), data, nomes,
                        campo(data, "capital_social", py::int_(0)), lista);
      },
      [&](py::handle exc) {
        t_falha = falha_de("BrasilAPI", exc);
        logger.warning("BrasilAPI request failed for %s: %s", py_limpo, exc);
      },
      [&](py::handle exc) {
        t_falha = falha_de("BrasilAPI", exc);
        logger.error_exc(exc, "Unexpected error in _consultar_brasil_api for %s", py_limpo);
      });
}

py::object consultar_receita_ws(py::object cnpj) {
  if (!is_str(cnpj)) raise_type_error("cnpj", "str", cnpj);
  const std::u32string limpo = br::limpar_para_consulta(to_u32(cnpj));
  const py::str py_limpo = from_u32(limpo);
  t_falha.reset();
  return protegido(
      [&]() -> py::object {
        std::string url = url_de("RECEITA_WS_URL", to_utf8(py_limpo));
        py::dict headers;
        headers["Accept"] = "application/json";
        py::object resp = ns.get("requests").attr("get")(url, py::arg("headers") = headers,
                                                         py::arg("timeout") = ns.get("REQUEST_TIMEOUT"));
        if (!status_ok(resp)) {
          if (auto f = status_indisponivel(resp)) t_falha = "ReceitaWS: " + *f;
          return py::none();
        }
        py::dict data = objeto(resp.attr("json")(), "ReceitaWS answer");
        int erro = PyObject_RichCompareBool(campo(data, "status", py::none()).ptr(), py::str("ERROR").ptr(), Py_EQ);
        if (erro < 0) throw py::error_already_set();
        if (erro == 1) return py::none();
        py::object capital = capital_receita(campo(data, "capital_social", py::str("0")));
        py::list lista = socios(data, kSocioReceitaWs, std::size(kSocioReceitaWs), "ReceitaWS");
        static const char* const nomes[5] = {"nome", "fantasia", "situacao", "data_situacao", "abertura"};
        return registro("ReceitaWS", cnpj_formatado(limpo), data, nomes, capital, lista);
      },
      [&](py::handle exc) {
        t_falha = falha_de("ReceitaWS", exc);
        logger.warning("ReceitaWS request failed for %s: %s", py_limpo, exc);
      },
      [&](py::handle exc) {
        t_falha = falha_de("ReceitaWS", exc);
        logger.error_exc(exc, "Unexpected error in _consultar_receita_ws for %s", py_limpo);
      });
}

py::object consultar_cnpj(py::object cnpj) {
  if (!is_str(cnpj)) raise_type_error("cnpj", "str", cnpj);
  // No web call for a bad number; an alphanumeric one is valid by its own rule.
  const std::u32string texto = to_u32(cnpj);
  t_falha.reset();
  if (!br::validar_cnpj(texto) && !br::validar_cnpj_alfanumerico(texto)) return py::none();
  py::object resultado = ns.call("_consultar_brasil_api", cnpj);
  if (!resultado.is_none()) {
    t_falha.reset();
    return resultado;
  }
  // The registry could not be asked only when neither service answered: an answer of
  // BrasilAPI that it does not know the number is evidence, whatever ReceitaWS does.
  std::optional<std::string> primeira = t_falha;
  t_falha.reset();
  resultado = ns.call("_consultar_receita_ws", cnpj);
  if (!resultado.is_none() || !primeira || !t_falha) t_falha.reset();
  else t_falha = *primeira + "; " + *t_falha;
  return resultado;
}

// ---------------------------------------------------------------------------------
// Searches

py::dict corpo_busca(const py::object& nome, const std::u32string& uf, const py::object& py_uf) {
  py::dict query;
  py::list termo;
  termo.append(nome);
  query["termo"] = termo;
  query["situacao_cadastral"] = "ATIVA";
  if (!uf.empty()) {
    py::list l;
    l.append(py_uf);
    query["uf"] = l;
  }
  py::dict extras;
  for (const char* flag : {"somente_mei", "excluir_mei", "com_email", "incluir_atividade_secundaria",
                           "com_contato_telefonico", "somente_fixo", "somente_celular", "somente_matriz",
                           "somente_filial"}) {
    extras[flag] = false;
  }
  py::dict body;
  body["query"] = query;
  body["range_query"] = py::dict();
  body["extras"] = extras;
  body["page"] = 1;
  return body;
}

py::object buscar_cnpj_por_nome(py::object nome_empresa, py::object uf) {
  if (!is_str(nome_empresa)) raise_type_error("nome_empresa", "str", nome_empresa);
  std::u32string uf_txt = arg_text_or_none(uf, "uf");
  t_falha.reset();
  if (PyUnicode_GET_LENGTH(nome_empresa.ptr()) < 3) return py::none();  // no web call
  return protegido(
      [&]() -> py::object {
        py::dict headers;
        headers["Content-Type"] = "application/json";
        headers["Accept"] = "application/json";
        py::object resp = ns.get("requests").attr("post")(
            ns.get("CASADOSDADOS_API"), py::arg("json") = corpo_busca(nome_empresa, uf_txt, uf),
            py::arg("headers") = headers, py::arg("timeout") = 15);
        if (!status_ok(resp)) {
          if (auto f = status_indisponivel(resp)) t_falha = "Casa dos Dados: " + *f;
          return py::none();
        }
        py::dict data = objeto(resp.attr("json")(), "Casa dos Dados answer");
        py::dict interno = objeto(campo(data, "data", py::dict()), "Casa dos Dados 'data'");
        int achou = PyObject_RichCompareBool(campo(interno, "count", py::int_(0)).ptr(), py::int_(0).ptr(), Py_GT);
        if (achou < 0) throw py::error_already_set();
        if (achou == 0) return py::none();
        py::object empresas = campo(interno, "cnpj", py::list());
        if (!truthy(empresas)) return py::none();
        // Only the first hit is used.
        py::dict emp = objeto(empresas[py::int_(0)], "Casa dos Dados hit");
        py::object cnpj = campo(emp, "cnpj", py::str(""));
        if (!truthy(cnpj)) return py::none();
        py::object dados = ns.call("consultar_cnpj", cnpj);
        if (!truthy(dados)) return py::none();
        dados["busca_por_nome"] = true;
        dados["termo_busca"] = nome_empresa;
        return dados;
      },
      [&](py::handle exc) {
        t_falha = falha_de("Casa dos Dados", exc);
        logger.warning("Casa dos Dados search failed for %r: %s", nome_empresa, exc);
      },
      [&](py::handle exc) {
        t_falha = falha_de("Casa dos Dados", exc);
        logger.error_exc(exc, "Unexpected error in buscar_cnpj_por_nome for %r", nome_empresa);
      });
}

py::object buscar_empresa(py::object cnpj, py::object nome, py::object uf) {
  std::u32string cnpj_txt = arg_text_or_none(cnpj, "cnpj");
  std::u32string nome_txt = arg_text_or_none(nome, "nome");
  arg_text_or_none(uf, "uf");
  if (!cnpj_txt.empty()) {
    std::u32string limpo = br::limpar_para_consulta(cnpj_txt);
    if (br::validar_cnpj_limpo(limpo) || br::validar_cnpj_alfanumerico_limpo(limpo)) {
      py::object r = ns.call("consultar_cnpj", from_u32(limpo));
      if (truthy(r)) return r;
    }
  }
  if (!nome_txt.empty()) {
    py::object r = ns.call("buscar_cnpj_por_nome", nome, uf);
    if (truthy(r)) return r;
  }
  return py::none();
}

py::object buscar_empresa_completo(py::object cnpj, py::object nome, py::object uf, py::object usar_ai_search,
                                   py::object openai_api_key) {
  std::u32string cnpj_txt = arg_text_or_none(cnpj, "cnpj");
  std::u32string nome_txt = arg_text_or_none(nome, "nome");
  arg_text_or_none(uf, "uf");
  const bool usar_ai = arg_bool(usar_ai_search, "usar_ai_search");
  std::u32string chave = arg_text_or_none(openai_api_key, "openai_api_key");

  if (!cnpj_txt.empty()) {
    std::u32string limpo = br::limpar_para_consulta(cnpj_txt);
    if (br::validar_cnpj_limpo(limpo) || br::validar_cnpj_alfanumerico_limpo(limpo)) {
      py::object r = ns.call("consultar_cnpj", from_u32(limpo));
      if (truthy(r)) {
        r["_metodo_busca"] = "cnpj_direto";
        return r;
      }
    }
  }
  if (!nome_txt.empty()) {
    py::object r = ns.call("buscar_cnpj_por_nome", nome, uf);
    if (truthy(r)) {
      r["_metodo_busca"] = "api_nome";
      return r;
    }
  }
  if (usar_ai && !nome_txt.empty() && !chave.empty()) {
    // The AI component (and the OpenAI client under it) is imported only here; a
    // missing one means this strategy is unavailable, not an error.
    try {
      py::module_ ai = import("vorlex.contract.countries.br.ai_search");
      if (!py::hasattr(ai, "buscar_cnpj_via_ai")) return py::none();  // as `from ... import` fails
      py::object encontrado = ai.attr("buscar_cnpj_via_ai")(nome, openai_api_key);
      if (truthy(encontrado)) {
        py::object r = ns.call("consultar_cnpj", encontrado);
        if (truthy(r)) {
          r["_metodo_busca"] = "ai_web_search";
          r["_cnpj_buscado_por_ai"] = true;
          return r;
        }
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
    }
  }
  return py::none();
}

py::object falha_ultima_consulta() {
  if (!t_falha) return py::none();
  return py::str(*t_falha);
}

}  // namespace

void init_lookups(py::module_& m) {
  m.def("_consultar_brasil_api", &consultar_brasil_api, py::arg("cnpj"),
        "Company record from BrasilAPI, or None.");
  m.def("_consultar_receita_ws", &consultar_receita_ws, py::arg("cnpj"),
        "Company record from ReceitaWS, or None.");
  m.def("consultar_cnpj", &consultar_cnpj, py::arg("cnpj"),
        "Company record for a valid CNPJ (BrasilAPI, then ReceitaWS), or None.");
  m.attr("consultar_cnpj_online") = m.attr("consultar_cnpj");
  m.def("falha_ultima_consulta", &falha_ultima_consulta,
        "Why the last lookup on this thread (consultar_cnpj, buscar_cnpj_por_nome) gave "
        "None: None when the registry answered, else the failure that kept it from "
        "answering (connection, time-out, a 5xx or 429 status), e.g. 'BrasilAPI: HTTP 503; "
        "ReceitaWS: ConnectionError'.");
  m.def("buscar_cnpj_por_nome", &buscar_cnpj_por_nome, py::arg("nome_empresa"), py::arg("uf") = py::none(),
        "Company record of the first active company Casa dos Dados finds by name, or None.");
  m.def("buscar_empresa", &buscar_empresa, py::arg("cnpj") = py::none(), py::arg("nome") = py::none(),
        py::arg("uf") = py::none(), "Company record by CNPJ, else by name, or None.");
  m.def("buscar_empresa_completo", &buscar_empresa_completo, py::arg("cnpj") = py::none(),
        py::arg("nome") = py::none(), py::arg("uf") = py::none(), py::arg("usar_ai_search") = false,
        py::arg("openai_api_key") = py::none(),
        "Company record by CNPJ, by name, then (optionally) through an AI web search for the "
        "CNPJ; marked with _metodo_busca. None when every strategy fails.");
}

}  // namespace vx::cnpj
