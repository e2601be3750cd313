// The model call layer: the one synchronous path to a provider (wrapped in the
// reader's retry policy), failure statuses, and the accounting of tokens and cost.
//
// Side usage is the tokens and cost of calls that have no question result of their
// own (classification, the OCR vision fallback). It belongs to one run, not to the
// reader: the accumulator lives in a contextvars.ContextVar owned by the reader, so a
// worker thread (which starts with an empty context) or an asyncio task (which starts
// with a copy of its parent's) sees the accumulator of the run it is doing, while
// `_side_usage` still reads and writes like a plain attribute within one run.
#include "reader/calls.hpp"

#include "reader/reader.hpp"
#include "reader/steps.hpp"
#include "reader/structured.hpp"

namespace vx::reader {

namespace {

// The reader's ContextVar, or None for an object built without the constructor.
py::object side_var(py::handle self, bool create) {
  py::object dict = py::getattr(self, "__dict__", py::none());
  if (!dict.is_none()) {
    PyObject* v = PyDict_GetItemString(dict.ptr(), "_side_usage_var");  // borrowed
    if (v) return py::reinterpret_borrow<py::object>(v);
  }
  if (!create) return py::none();
  init_side_usage(self);
  return self.attr("_side_usage_var");
}

py::object side_usage_get(py::object self) {
  py::object var = side_var(self, false);
  py::object value = var.is_none() ? py::object(py::none()) : py::object(var.attr("get")(py::none()));
  if (value.is_none()) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '_side_usage'",
                 Py_TYPE(self.ptr())->tp_name);
    throw py::error_already_set();
  }
  return value;
}

void side_usage_set(py::object self, py::object value) { side_var(self, true).attr("set")(value); }

void side_usage_del(py::object self) {
  py::object var = side_var(self, false);
  if (!var.is_none()) var.attr("set")(py::none());
}

py::dict zeroed_usage() {
  py::dict d;
  d["prompt_tokens"] = 0;
  d["completion_tokens"] = 0;
  d["tokens"] = 0;
  d["cost_usd"] = 0.0;
  return d;
}

void reset_side_usage(py::object self) { self.attr("_side_usage") = zeroed_usage(); }

// getattr(o, name, None): only a missing attribute reads as None; other errors pass.
py::object attr_or_none(py::handle o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o.ptr(), name);
  if (v) return py::reinterpret_steal<py::object>(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::none();
}

// int(value or 0), as the usage figures are read.
py::object usage_int(py::handle usage, const char* name) {
  py::object v = attr_or_none(usage, name);
  if (PyObject_IsTrue(v.ptr()) != 1) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::int_(0);
  }
  PyObject* r = PyNumber_Long(v.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void add_to(py::handle side, const char* key, py::handle amount) {
  py::object current = side[key];
  side[key] = current + py::reinterpret_borrow<py::object>(amount);
}

void record_side_usage(py::object self, py::object raw_result) {
  py::object usage = attr_or_none(raw_result, "usage");
  if (usage.is_none()) return;
  if (!py::hasattr(self, "_side_usage")) self.attr("_reset_side_usage")();
  py::object side = self.attr("_side_usage");
  try {
    py::object prompt = usage_int(usage, "prompt_tokens");
    py::object completion = usage_int(usage, "completion_tokens");
    py::object total = usage_int(usage, "total_tokens");
    if (PyObject_IsTrue(total.ptr()) == 0) total = prompt + completion;
    {
      // The reader's side-usage lock (a threading.RLock), when it has one.
      vx::ScopedLock lock(py::getattr(self, "_side_usage_lock", py::none()));
      add_to(side, "prompt_tokens", prompt);
      add_to(side, "completion_tokens", completion);
      add_to(side, "tokens", total);
    }
    py::object cost = call_cost(self, self.attr("_model"), prompt, completion);
    vx::ScopedLock lock(py::getattr(self, "_side_usage_lock", py::none()));
    add_to(side, "cost_usd", cost);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    logger.warning("Uso de tokens em formato inesperado, metrica ignorada: %s", e.value());
  }
}

py::object side_value(py::handle side, const char* key, py::object fallback) {
  if (side.is_none()) return fallback;
  return side.attr("get")(key, fallback);
}

py::object aggregate_metrics(py::object self, py::object results, py::object total_time,
                             py::object total_tokens, py::object total_cost) {
  py::object side = py::getattr(self, "_side_usage", py::none());
  if (!side.is_none() && PyObject_IsTrue(side.ptr()) != 1) side = py::none();
  py::object prompt = py::int_(0);
  py::object completion = py::int_(0);
  for (py::handle r : results) {
    py::object metrics = r.attr("metrics");
    prompt = prompt + metrics.attr("prompt_tokens");
    completion = completion + metrics.attr("completion_tokens");
  }
  py::object zero = py::int_(0);
  return call_kw(ns.get("ProcessingMetrics"),
                 {{"time_seconds", round_to(total_time, 2)},
                  {"tokens", total_tokens + side_value(side, "tokens", zero)},
                  {"prompt_tokens", prompt + side_value(side, "prompt_tokens", zero)},
                  {"completion_tokens", completion + side_value(side, "completion_tokens", zero)},
                  {"cost_usd", round_to(total_cost + side_value(side, "cost_usd", py::float_(0.0)), 6)},
                  {"model", self.attr("_model")}});
}

bool name_in(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

// An error carrying an HTTP status of 500 or above (a provider's client other than
// OpenAI's, a gateway in front of a local server).
bool server_error_status(py::handle exc) {
  const long long status = http_status(exc);
  return status >= 500 && status <= 599;
}

std::string classify_failure(py::object exc) {
  py::object validation = ns.get("ValidationError");
  if (PyObject_IsInstance(exc.ptr(), validation.ptr()) == 1) return "PARSE_ERROR";
  if (PyErr_Occurred()) PyErr_Clear();
  std::string name = vx::type_name(exc);
  if (name == "ModelParseError") return "PARSE_ERROR";
  // Transient failures that outlived the retries: the provider could not answer now.
  if (name_in(name, {"RateLimitError", "APITimeoutError", "APIConnectionError", "InternalServerError"}))
    return "PROVIDER_UNAVAILABLE";
  if (server_error_status(exc)) return "PROVIDER_UNAVAILABLE";
  if (name_in(name, {"ProviderAuthError", "AuthenticationError", "PermissionDeniedError"}))
    return "AUTH_ERROR";
  if (name.find("Refusal") != std::string::npos || name.find("ContentFilter") != std::string::npos)
    return "REFUSED";
  return "ERROR";
}

// attr of o, or a null object when o has no such attribute (or it is None).
py::object maybe_attr(py::handle o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o.ptr(), name);
  if (v) {
    if (v != Py_None) return py::reinterpret_steal<py::object>(v);
    Py_DECREF(v);
    return py::object();
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::object();
}

}  // namespace

long long http_status(py::handle exc) {
  PyObject* code = PyObject_GetAttrString(exc.ptr(), "status_code");
  if (!code) {
    PyErr_Clear();
    return -1;
  }
  long long out = -1;
  if (PyLong_Check(code) && !PyBool_Check(code)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    else if (!overflow) out = n;
  }
  Py_DECREF(code);
  return out;
}

py::object call_cost(py::handle self, py::handle model, py::handle prompt, py::handle completion) {
  if (!py::getattr(self, "_base_url", py::none()).is_none() && !truthy(ns.call("price_known", model))) {
    return py::float_(0.0);
  }
  return ns.call("calculate_cost", model, prompt, completion);
}

// Structured parsing lives at beta.chat.completions.parse in openai 1.x (and on any
// client that still offers it); releases from 2.0 on keep only chat.completions.parse.
py::object structured_parse(py::handle client) {
  py::object o = maybe_attr(client, "beta");
  for (const char* name : {"chat", "completions", "parse"}) {
    if (!o) break;
    o = maybe_attr(o, name);
  }
  if (o) return o;
  return client.attr("chat").attr("completions").attr("parse");
}

namespace {

// One attempt: reads the provider, model and client when it runs, so a change of
// `model` applies to the next attempt. A structured question is asked in the reader's
// structured mode; in "auto" a refused response format is asked again at once in the
// next mode, inside this one attempt (a refusal is never retried as transient).
py::object attempt(py::handle self, py::handle messages, py::handle response_model, py::handle max_tokens) {
  std::string provider = vx::safe_str(self.attr("_provider"));
  ModelRequest request(self, messages, response_model, max_tokens);
  if (provider == "google") {
    py::object model = self.attr("_model");
    py::module_ google = vx::import("vorlex.providers.google");
    py::object client = self.attr("_google_client");
    py::dict limit;
    if (!request.max_tokens().is_none()) limit["max_tokens"] = request.max_tokens();
    if (request.structured()) {
      return google.attr("call_structured")(client, model, messages, response_model, **limit);
    }
    return google.attr("call_chat")(client, model, messages, **limit);
  }
  py::object client = self.attr("_openai_client");
  if (!request.structured()) return request.start(client, "");
  std::string mode = request.first_mode();
  for (;;) {
    try {
      py::object response = request.start(client, mode);
      request.remember(mode);
      return response;
    } catch (py::error_already_set& e) {
      py::object cut;
      std::string next = request.after_failure(mode, e.value(), cut);
      if (cut) return cut;
      if (next.empty()) throw;
      mode = next;
    }
  }
}

// The attempt as a plain function of its arguments: it captures nothing, so the
// decorated attempt can be kept on the reader without a reference cycle.
py::object attempt_function() {
  // Built once and kept for the life of the process (never released at exit, when
  // the interpreter may already be gone).
  static PyObject* fn = py::cpp_function(
                            [](py::object self, py::object messages, py::object response_model,
                               py::object max_tokens) {
                              return attempt(self, messages, response_model, max_tokens);
                            },
                            py::name("_call_llm_attempt"), py::arg("reader"), py::arg("messages"),
                            py::arg("response_model"), py::arg("max_tokens") = py::none())
                            .release()
                            .ptr();
  return py::reinterpret_borrow<py::object>(fn);
}

// Every call decorates the attempt with the reader's current `_retry`, as a Python
// implementation would: a policy with effects at decoration time, or one replaced
// between calls, behaves the same here.
py::object call_llm(py::object self, py::object messages, py::object response_model, py::object max_tokens) {
  py::object attempt = self.attr("_retry")(attempt_function());
  if (max_tokens.is_none()) return attempt(self, messages, response_model);
  return attempt(self, messages, response_model, max_tokens);
}

py::object counting_llm_caller(py::object self) {
  return py::cpp_function(
      [self](py::object messages, py::object response_model) {
        py::object raw = self.attr("_call_llm")(messages, response_model);
        self.attr("_record_side_usage")(raw);
        return raw;
      },
      py::name("counting_llm_caller"), py::arg("messages"), py::arg("response_model") = py::none());
}

}  // namespace

py::object call_kw(py::handle fn, std::initializer_list<Kw> kwargs) {
  py::dict kw;
  for (const Kw& k : kwargs) {
    if (PyDict_SetItemString(kw.ptr(), k.name, k.value.ptr()) < 0) throw py::error_already_set();
  }
  PyObject* r = PyObject_Call(fn.ptr(), py::tuple().ptr(), kw.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object round_to(py::handle value, int ndigits) {
  py::object nd = py::int_(ndigits);
  PyObject* r = PyObject_CallMethod(value.ptr(), "__round__", "O", nd.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void init_side_usage(py::handle self) {
  py::object var = ns.get("contextvars").attr("ContextVar")("vorlex_side_usage");
  self.attr("_side_usage_var") = var;
  self.attr("_side_usage_lock") = vx::import("threading").attr("RLock")();
}

void init_calls(vx::PyClass& cls) {
  py::cpp_function getter(&side_usage_get, py::name("_side_usage"));
  py::cpp_function setter(&side_usage_set, py::name("_side_usage"));
  py::cpp_function deleter(&side_usage_del, py::name("_side_usage"));
  cls.attr("_side_usage", py::module_::import("builtins")
                              .attr("property")(getter, setter, deleter,
                                                "Tokens and cost of this run's calls that have no question "
                                                "result of their own; per thread / asyncio task."));
  cls.def("_call_llm", &call_llm, py::arg("self"), py::arg("messages"),
          py::arg("response_model") = py::none(), py::arg("max_tokens") = py::none());
  cls.def_static("_classify_failure", &classify_failure, py::arg("exc"));
  cls.def("_reset_side_usage", &reset_side_usage, py::arg("self"));
  cls.def("_record_side_usage", &record_side_usage, py::arg("self"), py::arg("raw_result"));
  cls.def("_aggregate_metrics", &aggregate_metrics, py::arg("self"), py::arg("results"),
          py::arg("total_time"), py::arg("total_tokens"), py::arg("total_cost"));
  cls.def("_counting_llm_caller", &counting_llm_caller, py::arg("self"));
}

}  // namespace vx::reader
