// Construction of a Vorlex reader: provider, credentials, limits and resilience aids.
//
// Every setting comes from the argument when it is non-empty (not None, not ""), else
// from its environment variable, else from a built-in default. The environment is
// read through the module's `os` (os.environ), so a test's monkeypatch of the
// environment is seen exactly as Python code would see it. One default is withheld: a
// local server (base_url, else VORLEX_BASE_URL) gets no cloud model's name, its model
// must be named. The answer settings and that rule are the contract checker's too
// (bridge/reader_settings.hpp).
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/reader_settings.hpp"
#include "reader/calls.hpp"
#include "reader/reader.hpp"

namespace vx::reader {

namespace {

// A non-empty text argument, or nothing. None and "" count as absent.
std::optional<py::object> given(py::handle arg, const char* name) {
  if (arg.is_none()) return std::nullopt;
  if (!vx::is_str(arg)) vx::raise_type_error(name, "str or None", arg);
  if (PyUnicode_GET_LENGTH(arg.ptr()) == 0) return std::nullopt;
  return py::reinterpret_borrow<py::object>(arg);
}

bool empty_text(py::handle v) { return v.is_none() || (vx::is_str(v) && PyUnicode_GET_LENGTH(v.ptr()) == 0); }

// os.environ.get(name, fallback)
py::object env(const char* name, py::handle fallback = py::none()) {
  return ns.get("os").attr("environ").attr("get")(name, fallback);
}

// The argument when non-empty, else the variable (None when it is not set).
py::object arg_or_env(py::handle arg, const char* arg_name, const char* var) {
  if (auto v = given(arg, arg_name)) return *v;
  return env(var);
}

std::string text(py::handle v) { return v.is_none() ? std::string() : vx::safe_str(v); }

// A numeric limit: None, 0 (or 0.0) mean the class default; a negative limit would
// refuse every document, so it is refused here.
void check_optional_number(py::handle v, const char* name) {
  if (v.is_none()) return;
  if (!vx::is_real(v)) vx::raise_type_error(name, "a number or None", v);
  int neg = PyObject_RichCompareBool(v.ptr(), py::int_(0).ptr(), Py_LT);
  if (neg < 0) throw py::error_already_set();
  if (neg) vx::raise_value_error(std::string(name) + " must not be negative, got " + vx::safe_str(v));
}

bool zero_or_none(py::handle v) { return v.is_none() || PyObject_IsTrue(v.ptr()) == 0; }

// The client timeout of a reader: its `_timeout`, else the class's REQUEST_TIMEOUT_SECONDS.
py::object client_timeout(py::handle self) {
  py::object t = py::getattr(self, "_timeout", py::none());
  return t.is_none() ? py::object(self.attr("REQUEST_TIMEOUT_SECONDS")) : t;
}

// One TLS setup per process. Most of the time of building an HTTP client goes into
// loading the certificate bundle into a TLS context; the readers of a process share one
// (an ssl.SSLContext may be shared by threads and event loops alike), each reader keeping
// an HTTP client and connection pool of its own, so that closing one closes no other.
// The context is the module's `_tls_context`, built on first use from the environment as
// it is then (SSL_CERT_FILE, SSL_CERT_DIR): set it to a context of your own to change it.
py::object http_client_for(bool asynchronous) {
  py::object context = ns.get("_tls_context");
  if (context.is_none()) {
    context = vx::import("httpx").attr("create_ssl_context")();
    ns.set("_tls_context", context);
  }
  return vx::import("openai").attr(asynchronous ? "DefaultAsyncHttpxClient"
                                                : "DefaultHttpxClient")(py::arg("verify") = context);
}

// A client of the OpenAI library (the module's late-bound class `name`) on the shared TLS
// setup.
template <class... A>
py::object openai_client(const char* name, A&&... args) {
  const bool asynchronous = std::string_view(name).find("Async") != std::string_view::npos;
  return ns.call(name, std::forward<A>(args)..., py::arg("http_client") = http_client_for(asynchronous));
}

void reader_init(py::object self, py::object openai_api_key, py::object model, py::object verbose,
                 py::object max_file_size_mb, py::object max_pages, py::object provider,
                 py::object azure_api_key, py::object azure_endpoint, py::object azure_api_version,
                 py::object azure_deployment, py::object google_api_key, py::object grok_api_key,
                 py::object grok_base_url, py::object max_retries, py::object enable_cache,
                 py::object cache_ttl, py::object streaming, py::object circuit_breaker,
                 py::object circuit_breaker_threshold, py::object circuit_breaker_timeout,
                 py::object ocr_fallback, py::object base_url, py::object cache_path, py::object cache_url,
                 py::object ocr_engine, py::object question_concurrency, py::object structured_output,
                 py::object validation_retries, py::object max_tokens, py::object timeout_seconds) {
  // Argument kinds first, so a wrong type fails before any client is built.
  given(openai_api_key, "openai_api_key");
  vx::AnswerSettings answers = vx::answer_settings(structured_output, validation_retries, max_tokens,
                                                   timeout_seconds);
  long long side_by_side = vx::arg_int(question_concurrency, "question_concurrency");
  if (side_by_side < 1) {
    vx::raise_value_error("question_concurrency deve ser 1 ou mais, não " +
                          vx::safe_str(py::repr(question_concurrency)));
  }
  if (!model.is_none() && !vx::is_str(model)) vx::raise_type_error("model", "str", model);
  py::object environ = ns.get("os").attr("environ");
  // The model: the argument, else VORLEX_MODEL, else the default model.
  const bool model_named = !vx::named_model(model, environ).is_none();
  if (empty_text(model)) {
    py::object from_env = env("VORLEX_MODEL");
    model = empty_text(from_env) ? ns.get("DEFAULT_MODEL") : from_env;
  }
  check_optional_number(max_file_size_mb, "max_file_size_mb");
  check_optional_number(max_pages, "max_pages");
  given(provider, "provider");
  // A local or self-hosted OpenAI-compatible server (Ollama, vLLM, LM Studio, ...).
  // (VORLEX_BASE_URL when no argument names one; OPENAI_BASE_URL stays the client's own.)
  given(base_url, "base_url");
  py::object local_url = vx::local_server_url(base_url, environ);
  self.attr("_base_url") = py::none();
  given(azure_api_key, "azure_api_key");
  given(azure_endpoint, "azure_endpoint");
  given(azure_api_version, "azure_api_version");
  given(azure_deployment, "azure_deployment");
  given(google_api_key, "google_api_key");
  given(grok_api_key, "grok_api_key");
  given(grok_base_url, "grok_base_url");
  long long retries = vx::arg_int_trunc(max_retries, "max_retries");
  if (retries < 0)
    vx::raise_value_error("max_retries deve ser 0 ou mais, não " + vx::safe_str(py::repr(max_retries)));
  if (!vx::is_real(cache_ttl)) vx::raise_type_error("cache_ttl", "a number", cache_ttl);
  {
    int positive = PyObject_RichCompareBool(cache_ttl.ptr(), py::int_(0).ptr(), Py_GT);
    if (positive < 0) throw py::error_already_set();
    if (!positive) {
      vx::raise_value_error("cache_ttl deve ser um número de segundos maior que 0, não " +
                            vx::safe_str(py::repr(cache_ttl)));
    }
  }
  if (!vx::is_real(circuit_breaker_threshold))
    vx::raise_type_error("circuit_breaker_threshold", "a number", circuit_breaker_threshold);
  if (!vx::is_real(circuit_breaker_timeout))
    vx::raise_type_error("circuit_breaker_timeout", "a number", circuit_breaker_timeout);

  self.attr("_timeout") = answers.timeout;
  py::object timeout = client_timeout(self);

  const bool talk = vx::arg_bool(verbose, "verbose");
  self.attr("_verbose") = py::bool_(talk);
  self.attr("_max_file_size_mb") = zero_or_none(max_file_size_mb) ? py::object(self.attr("MAX_FILE_SIZE_MB"))
                                                                  : max_file_size_mb;
  if (zero_or_none(max_pages)) {
    self.attr("_max_pages") = self.attr("MAX_PAGES");
  } else {
    self.attr("_max_pages") = py::int_(vx::arg_int_trunc(max_pages, "max_pages"));
  }
  self.attr("_streaming") = py::bool_(vx::arg_bool(streaming, "streaming"));
  // A mode or provider that is not one of ours is a mistake to report now, not a
  // setting to ignore (the OpenAI client would have answered for "anthropic").
  if (!ocr_fallback.is_none() && !vx::is_str(ocr_fallback))
    vx::raise_type_error("ocr_fallback", "str", ocr_fallback);
  std::string fallback = ocr_fallback.is_none() ? std::string() : vx::to_utf8(ocr_fallback);
  if (fallback.empty()) fallback = "off";  // an empty argument is absent
  if (fallback != "off" && fallback != "auto" && fallback != "force") {
    vx::raise_value_error("ocr_fallback inválido: " + vx::safe_str(py::repr(ocr_fallback)) +
                          "; use 'off', 'auto' ou 'force'");
  }
  self.attr("_ocr_fallback") = py::str(fallback);

  std::optional<py::object> provider_arg = given(provider, "provider");
  py::object provider_name = provider_arg.value_or(py::none());
  if (provider_name.is_none()) provider_name = env("OPENAI_PROVIDER", py::str("openai"));
  provider_name = provider_name.attr("lower")();
  if (py::len(provider_name) == 0) provider_name = py::str("openai");  // an empty variable is absent
  std::string prov = vx::to_utf8(provider_name);
  if (prov != "openai" && prov != "azure" && prov != "google" && prov != "grok") {
    vx::raise_value_error(std::string(provider_arg ? "provider" : "OPENAI_PROVIDER") +
                          " inválido: " + vx::safe_str(py::repr(provider_arg.value_or(provider_name))) +
                          "; use 'openai', 'azure', 'google' ou 'grok'");
  }
  self.attr("_provider") = provider_name;
  // The OpenAI provider is the one that asks a local server, whose model must be named.
  if (prov == "openai" && !local_url.is_none() && !model_named) {
    vx::raise_model_required(!given(base_url, "base_url"));
  }

  py::none none;
  if (prov == "azure") {
    py::object key = arg_or_env(azure_api_key, "azure_api_key", "AZURE_API_KEY");
    py::object endpoint = arg_or_env(azure_endpoint, "azure_endpoint", "AZURE_API_ENDPOINT");
    py::object version = given(azure_api_version, "azure_api_version")
                             .value_or(env("AZURE_API_VERSION", py::str("2024-02-15-preview")));
    py::object deployment = arg_or_env(azure_deployment, "azure_deployment", "AZURE_DEPLOYMENT_NAME");
    self.attr("_azure_api_key") = key;
    self.attr("_azure_endpoint") = endpoint;
    self.attr("_azure_api_version") = version;
    self.attr("_azure_deployment") = deployment;
    if (empty_text(key))
      vx::raise_vorlex("VorlexError", "Azure API key não configurada. Defina AZURE_API_KEY.");
    if (empty_text(endpoint))
      vx::raise_vorlex("VorlexError", "Azure endpoint não configurado. Defina AZURE_API_ENDPOINT.");
    if (empty_text(deployment))
      vx::raise_vorlex("VorlexError", "Azure deployment não configurado. Defina AZURE_DEPLOYMENT_NAME.");
    self.attr("_openai_client") = openai_client(
        "AzureOpenAIClient", py::arg("api_key") = key, py::arg("api_version") = version,
        py::arg("azure_endpoint") = endpoint, py::arg("timeout") = timeout, py::arg("max_retries") = 0);
    self.attr("_async_openai_client") = none;
    self.attr("_google_client") = none;
    self.attr("_async_google_client") = none;
    self.attr("_model") = deployment;
    if (talk) {
      logger.info(("Vorlex inicializado (Azure). Deployment: " + text(deployment)).c_str());
    }
  } else if (prov == "google") {
    py::module_ google = vx::import("vorlex.providers.google");
    py::object key = arg_or_env(google_api_key, "google_api_key", "GOOGLE_API_KEY");
    self.attr("_google_api_key") = key;
    py::object client = google.attr("build_client")(
        py::arg("api_key") = empty_text(key) ? py::object(py::str("")) : key);
    self.attr("_google_client") = client;
    self.attr("_async_google_client") = client;
    self.attr("_openai_client") = none;
    self.attr("_async_openai_client") = none;
    self.attr("_model") = ns.call("resolve_model", model, "google");
    if (talk) {
      logger.info(("Vorlex inicializado (Google). Modelo: " + text(self.attr("_model"))).c_str());
    }
  } else if (prov == "grok") {
    py::object key = given(grok_api_key, "grok_api_key").value_or(py::none());
    if (key.is_none()) {
      key = env("XAI_API_KEY");
      if (empty_text(key)) key = env("GROK_API_KEY");
    }
    if (empty_text(key))
      vx::raise_vorlex("VorlexError",
                       "xAI API key não configurada. Defina XAI_API_KEY ou passe grok_api_key.");
    self.attr("_openai_api_key") = key;
    py::object base_url = given(grok_base_url, "grok_base_url").value_or(py::none());
    if (base_url.is_none()) base_url = ns.call("get_grok_base_url");
    self.attr("_grok_base_url") = base_url;
    self.attr("_openai_client") = openai_client("OpenAIClient", py::arg("api_key") = key,
                                                py::arg("base_url") = base_url, py::arg("timeout") = timeout,
                                                py::arg("max_retries") = 0);
    self.attr("_async_openai_client") = none;
    self.attr("_google_client") = none;
    self.attr("_async_google_client") = none;
    self.attr("_model") = ns.call("resolve_model", model, "grok");
    if (talk) {
      logger.info(("Vorlex inicializado (Grok). Modelo: " + text(self.attr("_model"))).c_str());
    }
  } else {
    py::object key = arg_or_env(openai_api_key, "openai_api_key", "OPENAI_API_KEY");
    // A local server usually wants no key; the client library still needs some text.
    if (empty_text(key) && !local_url.is_none()) key = py::str("not-needed");
    if (empty_text(key))
      vx::raise_vorlex("VorlexError",
                       "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe "
                       "openai_api_key.");
    self.attr("_openai_api_key") = key;
    self.attr("_base_url") = local_url;
    if (local_url.is_none()) {
      self.attr("_openai_client") = openai_client("OpenAIClient", py::arg("api_key") = key,
                                                  py::arg("timeout") = timeout, py::arg("max_retries") = 0);
    } else {
      self.attr("_openai_client") = openai_client("OpenAIClient", py::arg("api_key") = key,
                                                  py::arg("base_url") = local_url,
                                                  py::arg("timeout") = timeout, py::arg("max_retries") = 0);
    }
    self.attr("_async_openai_client") = none;
    self.attr("_google_client") = none;
    self.attr("_async_google_client") = none;
    // A local server's model is named as that server names it.
    self.attr("_model") = (!local_url.is_none() && !model.is_none())
                              ? model
                              : ns.call("resolve_model", model, "openai");
    if (talk) {
      logger.info(("Vorlex inicializado (OpenAI). Modelo: " + text(self.attr("_model"))).c_str());
    }
  }

  self.attr("_max_retries") = py::int_(retries);
  self.attr("_question_concurrency") = py::int_(side_by_side);
  self.attr("_structured_output") = answers.structured_output;
  self.attr("_validation_retries") = answers.validation_retries;
  self.attr("_max_tokens") = answers.max_tokens;
  // The structured mode that worked, per (server, model), found by "auto".
  self.attr("_structured_modes") = py::dict();
  self.attr("_retry") = ns.call("create_retry_decorator", py::arg("max_retries") = max_retries);
  // The OCR engine of scanned pages: the argument, else VORLEX_OCR_ENGINE, else "azure".
  self.attr("_ocr_engine") = vx::late("vorlex.ocr", "_ocr_engine")(ocr_engine);
  self.attr("_cache") = none;
  // A cache file or server named here or in the environment (VORLEX_CACHE_PATH,
  // VORLEX_CACHE_URL, for readers that others build) turns the cache on in that store.
  bool caching = vx::arg_bool(enable_cache, "enable_cache");
  if (cache_path.is_none() && cache_url.is_none()) {
    py::object environ = ns.get("os").attr("environ");
    py::object path = environ.attr("get")("VORLEX_CACHE_PATH");
    py::object url = environ.attr("get")("VORLEX_CACHE_URL");
    if (truthy(path)) cache_path = path;
    else if (truthy(url)) cache_url = url;
  }
  if (caching || !cache_path.is_none() || !cache_url.is_none()) {
    self.attr("_cache") = ns.call("DocumentCache", py::arg("ttl_seconds") = cache_ttl,
                                  py::arg("cache_path") = cache_path, py::arg("cache_url") = cache_url);
  }
  self.attr("_circuit_breaker") = none;
  if (vx::arg_bool(circuit_breaker, "circuit_breaker")) {
    self.attr("_circuit_breaker") = ns.call("CircuitBreaker",
                                            py::arg("failure_threshold") = circuit_breaker_threshold,
                                            py::arg("recovery_timeout") = circuit_breaker_timeout);
  }
  self.attr("_questions") = py::dict();
  self.attr("_classification") = none;
  // Per-run accounting (side usage): each thread and each asyncio task sees its own
  // accumulator, so documents processed at once on this reader keep their figures apart.
  init_side_usage(self);
  // For a reader sent to another process (distributed.cpp): the keys given as arguments
  // travel with it, those read from the environment do not; and the clients built here
  // are told apart from clients a caller puts in their place, which cannot travel.
  py::list keys_given;
  for (auto [arg, name] :
       {std::pair{&openai_api_key, "openai_api_key"}, std::pair{&azure_api_key, "azure_api_key"},
        std::pair{&google_api_key, "google_api_key"}, std::pair{&grok_api_key, "grok_api_key"}}) {
    if (given(*arg, name)) keys_given.append(name);
  }
  self.attr("_given_keys") = py::tuple(keys_given);
  py::list built;
  for (const char* name : {"_openai_client", "_google_client"}) {
    py::object client = self.attr(name);
    if (!client.is_none()) built.append(client);
  }
  self.attr("_built_clients") = py::tuple(built);
}

py::object get_model(py::object self) { return self.attr("_model"); }

void set_model(py::object self, py::object value) { self.attr("_model") = value; }

// A new dict each time (py::dict of a dict would share it).
py::object available_models() { return py::module_::import("builtins").attr("dict")(ns.get("MODELS")); }

// The running event loop, or None outside one.
py::object running_loop() {
  py::object asyncio = ns.get("asyncio");
  try {
    return asyncio.attr("get_running_loop")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    return py::none();
  }
}

// The client the reader built is tied to the event loop it first ran on (its
// connections belong to that loop): a reader used again under another loop, as with
// one asyncio.run() after another, gets a client of its own for that loop. A client
// the caller put in place is kept whatever the loop.
bool built_for_another_loop(py::handle self, py::handle client, py::handle loop) {
  py::object owner = py::getattr(self, "_async_openai_client_loop", py::none());
  if (!PyTuple_Check(owner.ptr()) || PyTuple_GET_SIZE(owner.ptr()) != 2) return false;
  if (PyTuple_GET_ITEM(owner.ptr(), 0) != client.ptr()) return false;
  py::object built_on = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(owner.ptr(), 1))();
  return !loop.is_none() && !built_on.is(loop);
}

// A client the reader built for an event loop closes when that loop shuts down.
// asyncio.run() (and asyncio.Runner) close the loop's asynchronous generators before
// closing the loop: each object handed to the loop's first-iteration hook has its
// aclose() awaited. The closer presents itself that way, so the client's connections
// end on the loop they belong to, instead of being left to the garbage collector after
// the loop has closed ("unclosed transport"). A loop that is closed without that step
// (loop.close() alone) leaves the client as before.
void closer_init(py::object self, py::object client) { self.attr("_client") = client; }

py::object closer_aclose(py::object self) {
  py::object client = py::getattr(self, "_client", py::none());
  self.attr("_client") = py::none();  // closed once
  if (!client.is_none()) {
    try {
      py::object awaitable = client.attr("close")();
      if (truthy(vx::import("inspect").attr("isawaitable")(awaitable))) return awaitable;
    } catch (py::error_already_set& e) {
      // The loop's shutdown calls every aclose() before awaiting any: an exception here
      // would end the caller's asyncio.run() with it.
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  return ns.get("asyncio").attr("sleep")(0);
}

void close_with_loop(py::handle self, py::handle client) {
  py::object firstiter = vx::import("sys").attr("get_asyncgen_hooks")().attr("firstiter");
  if (firstiter.is_none()) return;  // a loop without the hooks: nothing to attach to
  py::object closer = ns.call("_LoopClientCloser", client);
  firstiter(closer);  // the loop keeps it weakly: the reader keeps it alive
  py::setattr(self, "_async_openai_client_closer", closer);
}

py::object get_async_client(py::object self) {
  py::object client = py::getattr(self, "_async_openai_client", py::none());
  py::object loop = running_loop();
  if (!client.is_none() && !built_for_another_loop(self, client, loop)) return client;
  py::object timeout = client_timeout(self);
  std::string prov = vx::safe_str(self.attr("_provider"));
  if (prov == "azure") {
    client = openai_client("AsyncAzureOpenAIClient", py::arg("api_key") = self.attr("_azure_api_key"),
                           py::arg("api_version") = self.attr("_azure_api_version"),
                           py::arg("azure_endpoint") = self.attr("_azure_endpoint"),
                           py::arg("timeout") = timeout, py::arg("max_retries") = 0);
  } else if (prov == "grok") {
    client = openai_client("AsyncOpenAIClient", py::arg("api_key") = self.attr("_openai_api_key"),
                           py::arg("base_url") = self.attr("_grok_base_url"), py::arg("timeout") = timeout,
                           py::arg("max_retries") = 0);
  } else if (py::object local = py::getattr(self, "_base_url", py::none()); !local.is_none()) {
    client = openai_client("AsyncOpenAIClient", py::arg("api_key") = self.attr("_openai_api_key"),
                           py::arg("base_url") = local, py::arg("timeout") = timeout,
                           py::arg("max_retries") = 0);
  } else {
    client = openai_client("AsyncOpenAIClient", py::arg("api_key") = self.attr("_openai_api_key"),
                           py::arg("timeout") = timeout, py::arg("max_retries") = 0);
  }
  self.attr("_async_openai_client") = client;
  if (!loop.is_none()) {
    self.attr("_async_openai_client_loop") = py::make_tuple(client, vx::import("weakref").attr("ref")(loop));
    close_with_loop(self, client);
  }
  return client;
}

// Vorlex(provider='openai', model='gpt-4o-mini', base_url=None, questions=2): what a
// reader talks to, never its keys.
py::str reader_repr(py::object self) {
  auto attr_repr = [&](const char* attr_name) {
    return vx::safe_str(py::repr(py::getattr(self, attr_name, py::none())));
  };
  py::object questions = py::getattr(self, "_questions", py::none());
  std::string n = questions.is_none() ? "0" : std::to_string(py::len(questions));
  std::string out = "Vorlex(provider=" + attr_repr("_provider") + ", model=" + attr_repr("_model") +
                    ", base_url=" + attr_repr("_base_url");
  if (py::str("azure").equal(py::getattr(self, "_provider", py::none()))) {
    out += ", azure_endpoint=" + attr_repr("_azure_endpoint") +
           ", azure_deployment=" + attr_repr("_azure_deployment");
  }
  return py::str(out + ", questions=" + n + ")");
}

}  // namespace

void init_construction(vx::PyClass& cls) {
  cls.def("__repr__", &reader_repr, py::arg("self"));
  cls.def("__init__", &reader_init, py::arg("self"), py::arg("openai_api_key") = py::none(),
          py::arg("model") = py::none(), py::arg("verbose") = false, py::arg("max_file_size_mb") = py::none(),
          py::arg("max_pages") = py::none(), py::arg("provider") = py::none(),
          py::arg("azure_api_key") = py::none(), py::arg("azure_endpoint") = py::none(),
          py::arg("azure_api_version") = py::none(), py::arg("azure_deployment") = py::none(),
          py::arg("google_api_key") = py::none(), py::arg("grok_api_key") = py::none(),
          py::arg("grok_base_url") = py::none(), py::arg("max_retries") = 3, py::arg("enable_cache") = false,
          py::arg("cache_ttl") = 3600, py::arg("streaming") = false, py::arg("circuit_breaker") = false,
          py::arg("circuit_breaker_threshold") = 5, py::arg("circuit_breaker_timeout") = 60,
          py::arg("ocr_fallback") = "off", py::kw_only(), py::arg("base_url") = py::none(),
          py::arg("cache_path") = py::none(), py::arg("cache_url") = py::none(),
          py::arg("ocr_engine") = py::none(), py::arg("question_concurrency") = 1,
          py::arg("structured_output") = "auto", py::arg("validation_retries") = 1,
          py::arg("max_tokens") = py::none(), py::arg("timeout") = py::none(),
          "Builds a reader for one provider (openai, azure, google or grok); empty "
          "arguments fall back to the environment, then to the defaults.");
  cls.def_property("model", &get_model, &set_model, "The model name sent with every call.");
  cls.def_static("available_models", &available_models,
                 "A copy of the table of known models (name -> description).");
  cls.def("_get_async_client", &get_async_client, py::arg("self"));
}

void init_loop_client_closer(py::module_& m) {
  vx::PyClass(m, "_LoopClientCloser",
              "Closes an asynchronous client the reader built when its event loop shuts down.")
      .def("__init__", &closer_init, py::arg("self"), py::arg("client"))
      .def("aclose", &closer_aclose, py::arg("self"));
}

}  // namespace vx::reader
