// Construction of a ContractChecker, its console lines, and the reader it drives.
//
// The reader is built on the first verification, not here: building it imports the
// OpenAI client and PyMuPDF, and a checker that only ever reports a missing file
// should not pay for that. Success and failure of that construction are both kept for
// the life of the checker.
//
// The reader's own settings (base_url, cache_path, cache_url, ocr_engine,
// structured_output, max_tokens, timeout) reach the checker as keyword arguments and are
// handed to the reader only when given: a checker without them builds its reader from
// the credentials, the model and the environment, as it always has.
//
// Those settings are checked here by the reader's own rules (bridge/reader_settings.hpp),
// so that a value the reader would refuse fails at the checker's construction with the
// reader's message, not at the first verification as a pending contract.
//
// A checker of a local or self-hosted server (base_url, else VORLEX_BASE_URL, as the
// reader finds it) must name its model (model, else VORLEX_MODEL): the cloud default
// sent there would be a name the server does not know, priced as the cloud model it is
// not. Such a server wants no key: the reader sends a placeholder, so the checker does
// not ask for one (Azure has no local server and keeps its credentials).
#include <exception>

#include "bridge/reader_settings.hpp"
#include "contract/checker/checker.hpp"

namespace vx::checker {

namespace {

// The checker's fields for the reader's settings, in the order of the keywords.
constexpr const char* kReaderSettings[][2] = {
    {"base_url", "_base_url"},
    {"cache_path", "_cache_path"},
    {"cache_url", "_cache_url"},
    {"ocr_engine", "_ocr_engine"},
    {"structured_output", "_structured_output"},
    {"max_tokens", "_max_tokens"},
    {"timeout", "_timeout"},
};

// The model of a checker that names none: this very object is the keyword's default, so
// the constructor tells a model left out from one named (a local server needs one).
py::handle default_model() {
  static PyObject* model = PyUnicode_FromString("gpt-4o");  // kept for the process's life
  return model;
}

void check_path_or_none(py::handle value, const char* name) {
  if (value.is_none() || is_str(value)) return;
  if (PyObject_IsInstance(value.ptr(), ns.get("os").attr("PathLike").ptr()) == 1) return;
  if (PyErr_Occurred()) throw py::error_already_set();
  raise_type_error(name, "str, os.PathLike or None", value);
}

void checker_init(py::object self, py::object country, py::object openai_api_key, py::object provider,
                  py::object azure_api_key, py::object azure_endpoint, py::object azure_deployment,
                  py::object azure_api_version, py::object model, py::object verbose,
                  py::object use_ai_search, py::object base_url, py::object cache_path, py::object cache_url,
                  py::object ocr_engine, py::object structured_output, py::object max_tokens,
                  py::object timeout) {
  // Types, every argument before any work.
  arg_str(country, "country");
  arg_opt_str(openai_api_key, "openai_api_key");
  arg_opt_str(provider, "provider");
  arg_opt_str(azure_api_key, "azure_api_key");
  arg_opt_str(azure_endpoint, "azure_endpoint");
  arg_opt_str(azure_deployment, "azure_deployment");
  arg_str(azure_api_version, "azure_api_version");
  arg_str(model, "model");
  arg_opt_str(base_url, "base_url");
  // The reader's answer settings, by the reader's rules (types, then ranges).
  answer_settings(structured_output, py::handle(), max_tokens, timeout);
  check_path_or_none(cache_path, "cache_path");
  arg_opt_str(cache_url, "cache_url");
  arg_opt_str(ocr_engine, "ocr_engine");
  bool verbose_on = truthy(verbose);
  bool ai_search_on = truthy(use_ai_search);
  if (PyUnicode_GET_LENGTH(country.ptr()) == 0) {
    raise_value_error("country is required (e.g., country='BR')");
  }
  // The model: the argument, else VORLEX_MODEL (as the reader takes it), else "gpt-4o".
  py::object environ = ns.get("os").attr("environ");
  py::object chosen = named_model(model.is(default_model()) ? py::handle(py::none()) : model, environ);
  if (model.is(default_model()) && !chosen.is_none()) model = chosen;
  // The local server the reader will ask, the argument's or the environment's.
  py::object local_url = local_server_url(base_url, environ);
  // The country's registry adapter, the public fields, the credentials.
  self.attr("adapter") = ns.call("get_adapter", country);
  self.attr("verbose") = py::bool_(verbose_on);
  self.attr("model") = model;
  self.attr("usar_ai_search") = py::bool_(ai_search_on);
  self.attr("_base_url") = base_url;
  self.attr("_cache_path") = cache_path;
  self.attr("_cache_url") = cache_url;
  self.attr("_ocr_engine") = ocr_engine;
  self.attr("_structured_output") = structured_output;
  self.attr("_max_tokens") = max_tokens;
  self.attr("_timeout") = timeout;
  py::object auth = ns.call(
      "VorlexAuth", py::arg("openai_api_key") = openai_api_key, py::arg("provider") = provider,
      py::arg("azure_api_key") = azure_api_key, py::arg("azure_endpoint") = azure_endpoint,
      py::arg("azure_deployment") = azure_deployment, py::arg("azure_api_version") = azure_api_version);
  self.attr("_auth") = auth;
  // A checker that could never build its reader says so now, not at the first contract.
  const bool azure = truthy(auth.attr("is_azure"));
  if (!azure && !local_url.is_none() && chosen.is_none()) {
    const bool url_from_env = base_url.is_none() || PyUnicode_GET_LENGTH(base_url.ptr()) == 0;
    raise_model_required(url_from_env);
  }
  if (!truthy(auth.attr("has_api_key"))) {
    if (azure) {
      raise_value_error(
          "Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT e "
          "AZURE_DEPLOYMENT_NAME.");
    }
    if (local_url.is_none()) {
      raise_value_error("OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key.");
    }
  }
  // The reader, built on the first verification.
  self.attr("_client") = py::none();
  self.attr("_vorlex_available") = py::none();
}

void checker_log(py::object self, py::object msg, py::object emoji) {
  if (!is_str(msg)) raise_type_error("msg", "str", msg);
  if (!is_str(emoji)) raise_type_error("emoji", "str", emoji);
  if (!truthy(self.attr("verbose"))) return;
  print_line(cat({emoji, py::str(" "), msg}));
}

// The error's text as str(error) gives it.
std::string error_text(py::error_already_set& e) { return safe_str(exception_value(e)); }

py::object init_vorlex(py::object self) {
  py::object known = self.attr("_vorlex_available");
  if (!known.is_none()) return known;
  if (!truthy(self.attr("_auth").attr("is_vorlex_available"))) {
    log(self, "Vorlex não disponível. Instale com: pip install vorlex", "⚠️");
    self.attr("_vorlex_available") = py::bool_(false);
    return py::bool_(false);
  }
  std::string failure;
  try {
    py::object vorlex_cls = late("vorlex", "Vorlex");
    py::object kwargs = self.attr("_auth").attr("get_vorlex_kwargs")();
    kwargs[py::str("model")] = self.attr("model");
    kwargs[py::str("verbose")] = self.attr("verbose");
    // The three extraction questions are asked at once: a contract costs its slowest
    // question, not the sum of the three.
    kwargs[py::str("question_concurrency")] = ns.get("EXTRACTION_CONCURRENCY");
    for (const auto& [keyword, attribute] : kReaderSettings) {
      py::object value = py::getattr(self, attribute, py::none());
      if (!value.is_none()) kwargs[py::str(keyword)] = value;
    }
    py::dict kw(kwargs);  // Vorlex(**kwargs) takes any mapping with text keys
    self.attr("_client") = vorlex_cls(**kw);
    self.attr("_setup_questions")();
    self.attr("_vorlex_available") = py::bool_(true);
    return py::bool_(true);
  } catch (py::error_already_set& e) {
    // Errors, not interrupts: Ctrl-C during the first verification still stops it.
    if (!e.matches(PyExc_Exception)) throw;
    failure = error_text(e);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  log(self, cat({py::str("Erro ao inicializar Vorlex: "), from_utf8(failure)}), "❌");
  self.attr("_vorlex_available") = py::bool_(false);
  return py::bool_(false);
}

// One extraction question: its id (also its tag), its name, the keywords that pick
// its pages, the record its answer is parsed into, and its prompts.
struct QuestionSpec {
  const char* id;
  const char* name;
  std::initializer_list<const char*> keywords;
  const char* response_model;
  const char* system_prompt;
  const char* user_prompt;
};

const QuestionSpec kQuestions[] = {
    {"empresas",
     "Empresas do Contrato",
     {"cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"},
     "ExtracaoEmpresas",
     "Você é um especialista em análise de contratos brasileiros.\n"
     "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.\n\n"
     "REGRAS:\n"
     "1. CNPJ deve ter 14 dígitos (com ou sem formatação)\n"
     "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)\n"
     "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras",
     "Analise o contrato e extraia todas as empresas:\n\n{texto}\n\n"
     "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato."},
    {"assinaturas",
     "Assinaturas do Contrato",
     {"assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"},
     "ExtracaoAssinaturas",
     "Você é um especialista em análise de contratos.\n"
     "Extraia TODAS as pessoas físicas que assinaram ou são representantes.\n\n"
     "ONDE PROCURAR:\n"
     "1. Bloco de assinaturas no final\n"
     "2. Cláusula de representação legal\n"
     "3. Qualificação das partes\n"
     "4. Cláusula de NOTIFICAÇÕES\n"
     "5. Assinaturas digitais\n"
     "6. Testemunhas",
     "Extraia todas as pessoas físicas mencionadas como representantes:\n\n{texto}\n\n"
     "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa."},
    {"dados_contrato",
     "Dados do Contrato",
     {"contrato", "objeto", "vigência", "valor", "cláusula", "foro"},
     "ExtracaoDadosContrato",
     "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato.",
     "Extraia os dados gerais do contrato:\n\n{texto}\n\n"
     "Extraia: tipo de contrato, objeto, data, vigência, valor, foro."},
};

void setup_questions(py::object self) {
  py::object question = late("vorlex", "Question");
  py::object config = late("vorlex", "QuestionConfig");
  py::object client = self.attr("_client");
  for (const QuestionSpec& spec : kQuestions) {
    py::list keywords;
    for (const char* k : spec.keywords) keywords.append(py::str(k));
    py::object q = question(py::arg("config") = config(py::arg("id") = spec.id, py::arg("name") = spec.name,
                                                       py::arg("tag") = spec.id),
                            py::arg("system_prompt") = spec.system_prompt,
                            py::arg("user_prompt") = spec.user_prompt, py::arg("keywords") = keywords,
                            py::arg("response_model") = record(spec.response_model));
    client.attr("add_question")(q);
  }
}

}  // namespace

void init_construction(PyClass& cls) {
  cls.def("__init__", &checker_init, py::arg("self"), py::arg("country"),
          py::arg("openai_api_key") = py::none(), py::arg("provider") = py::none(),
          py::arg("azure_api_key") = py::none(), py::arg("azure_endpoint") = py::none(),
          py::arg("azure_deployment") = py::none(), py::arg("azure_api_version") = "2024-02-15-preview",
          py::arg("model") = py::reinterpret_borrow<py::object>(default_model()), py::arg("verbose") = true,
          py::arg("usar_ai_search") = true, py::kw_only(), py::arg("base_url") = py::none(),
          py::arg("cache_path") = py::none(), py::arg("cache_url") = py::none(),
          py::arg("ocr_engine") = py::none(), py::arg("structured_output") = py::none(),
          py::arg("max_tokens") = py::none(), py::arg("timeout") = py::none());
  cls.def_property_readonly(
      "provider", [](py::object self) { return self.attr("_auth").attr("provider"); },
      "The provider the credentials settled on: 'openai' or 'azure'.");
  cls.def_property_readonly(
      "auth", [](py::object self) { return self.attr("_auth"); }, "The credential holder.");
  cls.def("_log", &checker_log, py::arg("self"), py::arg("msg"), py::arg("emoji") = "📋",
          "Writes emoji, a blank and msg to standard output when verbose.");
  cls.def("_init_vorlex", &init_vorlex, py::arg("self"),
          "Builds the reader and registers the questions once; whether it is ready.");
  cls.def("_setup_questions", &setup_questions, py::arg("self"),
          "Registers the questions empresas, assinaturas and dados_contrato on the reader.");
}

}  // namespace vx::checker
