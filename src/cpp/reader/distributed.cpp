// Batches on a Dask cluster, and the reader's journey to the cluster's workers.
//
//   __getstate__ / __setstate__    a reader travels by its settings and questions: the
//                                  receiving process builds a reader again from them
//                                  (its own clients, a closed breaker, an empty cache)
//   process_batch_distributed      one task per document on a dask.distributed.Client,
//                                  results in input order
//   _process_single_distributed    the task: the worker's breaker, then
//                                  _process_single_safe
//
// What travels and what does not:
//   - provider, model, endpoints, limits, OCR mode and engine, retries, question
//     concurrency, the cache store's settings, the breaker's settings, the questions
//     and the classification travel;
//   - API keys travel only when the reader was given them as arguments; otherwise the
//     receiving process's environment supplies them, as it would for a reader built
//     there;
//   - clients, the breaker's state and the cache's contents stay behind. A client (or a
//     cache, a breaker, a method) that the caller put on the reader cannot be built
//     again elsewhere: pickling such a reader raises TypeError naming it, rather than
//     letting a worker talk to something else than the caller's reader would.
//
// The reader is sent to the workers once per batch (scattered to every worker), so the
// tasks of one worker share one reader: one breaker per worker process, reset with each
// batch as process_batch resets its own, and one memory cache per worker for the batch.
// The caller's own breaker and cache are not used by a distributed batch.
#include <memory>
#include <string>

#include "reader/reader.hpp"
#include "reader/steps.hpp"

namespace vx::reader {

using namespace pybind11::literals;

namespace {

// A constructor argument and the attribute that keeps what the reader made of it.
struct Setting {
  const char* argument;
  const char* attribute;
};

// The keys (grok keeps its key where openai does: only the provider's own argument
// carries it).
constexpr Setting kKeys[] = {
    {"openai_api_key", "_openai_api_key"},
    {"azure_api_key", "_azure_api_key"},
    {"google_api_key", "_google_api_key"},
    {"grok_api_key", "_openai_api_key"},
};

// The settings that travel as the reader resolved them.
constexpr Setting kPlain[] = {
    {"provider", "_provider"},
    {"model", "_model"},
    {"base_url", "_base_url"},
    {"azure_endpoint", "_azure_endpoint"},
    {"azure_api_version", "_azure_api_version"},
    {"azure_deployment", "_azure_deployment"},
    {"grok_base_url", "_grok_base_url"},
    {"verbose", "_verbose"},
    {"max_file_size_mb", "_max_file_size_mb"},
    {"max_pages", "_max_pages"},
    {"max_retries", "_max_retries"},
    {"streaming", "_streaming"},
    {"ocr_fallback", "_ocr_fallback"},
    {"ocr_engine", "_ocr_engine"},
    {"question_concurrency", "_question_concurrency"},
    {"structured_output", "_structured_output"},
    {"validation_retries", "_validation_retries"},
    {"max_tokens", "_max_tokens"},
    {"timeout", "_timeout"},
};

const char* const kStateVersion = "vorlex.reader/1";

[[noreturn]] void cannot_travel(const std::string& what, py::handle value) {
  throw py::type_error(
      "Vorlex não pode ser enviado a outro processo: " + what + " (" + vx::type_name(value) +
      ") foi posto no leitor pelo chamador e não viaja. O leitor é refeito no destino a partir "
      "das suas configurações (provider, model, base_url, chaves, cache, perguntas); "
      "construa-o com elas em vez de trocar " +
      what + ".");
}

bool built_here(py::handle self, py::handle client) {
  py::object built = py::getattr(self, "_built_clients", py::tuple());
  if (!PyTuple_Check(built.ptr())) return false;
  for (py::handle c : built) {
    if (c.is(client)) return true;
  }
  return false;
}

// Refuses what cannot be built again in another process.
void check_travel(py::handle self) {
  for (const char* name : {"_openai_client", "_google_client", "_async_google_client"}) {
    py::object client = py::getattr(self, name, py::none());
    if (!client.is_none() && !built_here(self, client)) cannot_travel(name, client);
  }
  py::object async_client = py::getattr(self, "_async_openai_client", py::none());
  if (!async_client.is_none()) {
    py::object owner = py::getattr(self, "_async_openai_client_loop", py::none());
    bool own = PyTuple_Check(owner.ptr()) && PyTuple_GET_SIZE(owner.ptr()) == 2 &&
               PyTuple_GET_ITEM(owner.ptr(), 0) == async_client.ptr();
    if (!own) cannot_travel("_async_openai_client", async_client);
  }
  py::object cache = py::getattr(self, "_cache", py::none());
  if (!cache.is_none() && !py::isinstance(cache, ns.get("DocumentCache"))) {
    cannot_travel("_cache", cache);
  }
  py::object breaker = py::getattr(self, "_circuit_breaker", py::none());
  if (!breaker.is_none() &&
      (!py::hasattr(breaker, "_failure_threshold") || !py::hasattr(breaker, "_recovery_timeout"))) {
    cannot_travel("_circuit_breaker", breaker);
  }
  // A method replaced on the instance (reader._call_llm = ...) would be lost on the way.
  py::object cls = py::type::of(self);
  py::dict attrs = py::reinterpret_borrow<py::dict>(self.attr("__dict__"));
  for (auto item : vx::list_copy(attrs.attr("items")())) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::object name = pair[0];
    if (!vx::is_str(name)) continue;
    py::object on_class = py::getattr(cls, name, py::none());
    if (!on_class.is_none() && PyCallable_Check(on_class.ptr()) && PyCallable_Check(pair[1].ptr())) {
      cannot_travel("o método " + vx::to_utf8(name), pair[1]);
    }
  }
}

py::dict get_state(py::object self) {
  check_travel(self);
  py::dict settings;
  for (const auto& s : kPlain) {
    py::object value = py::getattr(self, s.attribute, py::none());
    if (!value.is_none()) settings[s.argument] = value;
  }
  py::object given = py::getattr(self, "_given_keys", py::tuple());
  std::string provider = vx::safe_str(py::getattr(self, "_provider", py::str("openai")));
  for (const auto& k : kKeys) {
    if (!truthy(given.attr("__contains__")(k.argument))) continue;
    // grok keeps its key where openai does: only the provider's own argument carries it.
    if (std::string(k.argument) == "grok_api_key" && provider != "grok") continue;
    if (std::string(k.argument) == "openai_api_key" && provider == "grok") continue;
    py::object value = py::getattr(self, k.attribute, py::none());
    if (!value.is_none()) settings[k.argument] = value;
  }
  py::object cache = py::getattr(self, "_cache", py::none());
  py::object cache_settings = py::none();
  if (!cache.is_none()) {
    py::dict c;
    for (const char* name : {"ttl_seconds", "max_entries", "cache_path", "cache_url", "cache_prefix"}) {
      c[name] = py::getattr(cache, name, py::none());
    }
    cache_settings = c;
  }
  py::object breaker = py::getattr(self, "_circuit_breaker", py::none());
  py::object breaker_settings = py::none();
  if (!breaker.is_none()) {
    breaker_settings = py::make_tuple(breaker.attr("_failure_threshold"), breaker.attr("_recovery_timeout"));
  }
  py::object questions = py::getattr(self, "_questions", py::dict());
  py::dict state;
  state["version"] = kStateVersion;
  state["settings"] = settings;
  state["cache"] = cache_settings;
  state["circuit_breaker"] = breaker_settings;
  state["questions"] = vx::list_copy(questions.attr("items")());
  state["classification"] = py::getattr(self, "_classification", py::none());
  return state;
}

[[noreturn]] void bad_state(const std::string& why) {
  throw py::value_error("estado de Vorlex inválido: " + why);
}

void set_state(py::object self, py::object state) {
  if (!PyDict_Check(state.ptr())) vx::raise_type_error("state", "dict", state);
  py::dict st = py::reinterpret_borrow<py::dict>(state);
  if (!st.contains("version") || !py::str(kStateVersion).equal(st["version"])) {
    bad_state("versão desconhecida");
  }
  py::object settings_obj = vx::mapping_get(st, "settings", py::none());
  if (!PyDict_Check(settings_obj.ptr())) bad_state("settings deve ser um dict");
  // Private copies throughout: hashing a key of a state made elsewhere runs Python code,
  // which could change the containers being walked.
  PyObject* copied = PyDict_Copy(settings_obj.ptr());
  if (!copied) throw py::error_already_set();
  py::dict kwargs = py::reinterpret_steal<py::dict>(copied);
  py::dict settings = kwargs;
  py::object model = vx::mapping_get(settings, "model", py::none());
  py::object breaker = vx::mapping_get(st, "circuit_breaker", py::none());
  if (!breaker.is_none()) {
    if (!PyTuple_Check(breaker.ptr()) || PyTuple_GET_SIZE(breaker.ptr()) != 2) {
      bad_state("circuit_breaker deve ser (limite, espera)");
    }
    kwargs["circuit_breaker"] = py::bool_(true);
    kwargs["circuit_breaker_threshold"] = breaker[py::int_(0)];
    kwargs["circuit_breaker_timeout"] = breaker[py::int_(1)];
  }
  py::object questions = vx::mapping_get(st, "questions", py::list());
  if (!PyList_Check(questions.ptr())) bad_state("questions deve ser uma lista");
  py::object cache = vx::mapping_get(st, "cache", py::none());
  if (!cache.is_none() && !PyDict_Check(cache.ptr())) bad_state("cache deve ser um dict ou None");

  // Built as the caller's reader was: the constructor of the module's Vorlex.
  ns.get("Vorlex").attr("__init__")(self, **kwargs);
  // The model as the caller's reader names it (a deployment, a local server's name).
  if (!model.is_none()) self.attr("_model") = model;
  // The cache as it was configured, whatever the receiving environment names (a store
  // the constructor opened from that environment is closed first).
  py::object made = py::getattr(self, "_cache", py::none());
  if (!made.is_none()) vx::call_quietly(made, "close");
  if (cache.is_none()) {
    self.attr("_cache") = py::none();
  } else {
    py::dict args;
    for (py::handle item : vx::list_copy(cache.attr("items")())) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      if (!pair[1].is_none()) args[pair[0]] = pair[1];
    }
    self.attr("_cache") = ns.get("DocumentCache")(**args);
  }
  py::dict registry;
  for (py::handle item : vx::list_copy(questions)) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
      bad_state("cada pergunta deve ser um par (id, pergunta)");
    }
    registry[item[py::int_(0)]] = item[py::int_(1)];
  }
  self.attr("_questions") = registry;
  self.attr("_classification") = vx::mapping_get(st, "classification", py::none());
}

// ---------------------------------------------------------------------------------

py::object process_single_distributed(py::object self, py::object doc, py::object questions,
                                      py::object classify) {
  py::object breaker = breaker_of(self);
  if (!admitted(breaker)) return self.attr("_make_circuit_open_result")(doc);
  py::object result = self.attr("_process_single_safe")(doc, questions, classify);
  report_outcome(breaker, result);
  return result;
}

// dask.distributed, or an ImportError that says how to install it.
py::object distributed_module() {
  try {
    return ns.get("distributed");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    vx::raise_from(py::reinterpret_borrow<py::object>(PyExc_ImportError),
                   "process_batch_distributed precisa do dask.distributed: "
                   "pip install 'vorlex[dask]'",
                   e.value());
  }
}

py::object process_batch_distributed(py::object self, py::object documents, py::object client,
                                     py::object questions, py::object classify, py::object show_progress) {
  check_batch_args(documents, questions);
  py::object distributed = distributed_module();
  if (!py::isinstance(client, distributed.attr("Client"))) {
    vx::raise_type_error("client", "a dask.distributed.Client", client);
  }
  if (truthy(py::getattr(client, "asynchronous", py::bool_(false)))) {
    vx::raise_value_error(
        "process_batch_distributed espera um Client síncrono (asynchronous=False), fora do "
        "laço de eventos do Client");
  }
  py::bool_ flag(truthy(classify));
  py::list docs = vx::list_copy(documents);  // submitted as the list is now
  // What cannot travel is reported before anything reaches the cluster.
  check_travel(self);
  py::object workers = client.attr("nthreads")();
  if (py::len(workers) == 0) {
    vx::raise_value_error(
        "o cluster do Client não tem workers: inicie ao menos um (dask worker <endereço do "
        "scheduler>, ou LocalCluster(n_workers=...)) antes de process_batch_distributed");
  }
  const size_t n = docs.size();
  py::list out(n);
  for (size_t i = 0; i < n; ++i) out[i] = py::none();
  if (n == 0) return out;

  std::unique_ptr<Progress> bar;
  if (truthy(show_progress)) bar = std::make_unique<Progress>(n);

  // One copy of the reader on every worker; each task names it.
  py::object reader = client.attr("scatter")(self, "broadcast"_a = true, "hash"_a = false);
  py::object task = py::type::of(self).attr("_process_single_distributed");
  py::list readers, flags, selections;
  for (size_t i = 0; i < n; ++i) {
    readers.append(reader);
    selections.append(questions);
    flags.append(flag);
  }
  py::list futures;
  try {
    futures = py::list(client.attr("map")(task, readers, docs, selections, flags, "pure"_a = false));
  } catch (...) {
    vx::call_quietly(client, "cancel", py::make_tuple(reader));
    throw;
  }
  py::dict position;
  for (size_t i = 0; i < n; ++i) position[futures[i]] = py::int_(i);

  try {
    for (py::handle future : distributed.attr("as_completed")(futures)) {
      size_t idx = py::cast<size_t>(position[future]);
      py::object result = future.attr("result")();  // a task's own error is raised here
      out[idx] = result;
      if (bar) bar->step(result);
    }
  } catch (py::error_already_set& e) {
    vx::call_quietly(client, "cancel", futures);
    vx::call_quietly(client, "cancel", py::make_tuple(reader));
    if (!e.matches(PyExc_Exception)) attach_completed(e, out);  // interrupted (Ctrl-C)
    throw;
  }
  vx::call_quietly(client, "cancel", py::make_tuple(reader));
  return out;
}

}  // namespace

void init_distributed(vx::PyClass& cls) {
  cls.def("__getstate__", &get_state, py::arg("self"),
          "The reader's settings, questions and classification, as pickle carries them "
          "(never its clients, breaker state or cache contents).");
  cls.def("__setstate__", &set_state, py::arg("self"), py::arg("state"),
          "Builds the reader again from the state __getstate__ gave.");
  cls.def("process_batch_distributed", &process_batch_distributed, py::arg("self"), py::arg("documents"),
          py::arg("client"), py::kw_only(), py::arg("questions") = py::none(), py::arg("classify") = false,
          py::arg("show_progress") = false,
          "Processes a list of documents on a Dask cluster, one task per document, and "
          "returns one ProcessingResult per document in input order.");
  cls.def("_process_single_distributed", &process_single_distributed, py::arg("self"), py::arg("doc"),
          py::arg("questions"), py::arg("classify"));
}

}  // namespace vx::reader
