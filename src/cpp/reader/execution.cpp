// Question execution: one question over one text, always answered with a Result.
//
// The prompt is the question's template filled with Python's str.format rules (only
// {texto} is supplied); the model is called through self._call_llm (retries there).
// From the template to the result everything runs under one guard, so a failure of
// the template, the provider or the response's shape becomes a Result with a failure
// status and never stops the document being read.
#include "reader/calls.hpp"
#include "reader/reader.hpp"
#include "reader/steps.hpp"
#include "reader/template.hpp"

#include "core/unicode.hpp"

namespace vx::reader {

namespace {

constexpr const char* kNoText = "Documento sem texto extraível";

// True when something other than '-' and white space is present: the text is not just
// page separators ("\n\n---\n\n") of blank pages.
bool has_extractable_text_impl(py::handle text) {
  PyObject* s = text.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  for (Py_ssize_t i = 0; i < n; ++i) {
    char32_t c = PyUnicode_READ(kind, data, i);
    if (c != U'-' && !vx::uni::is_space(c)) return true;
  }
  return false;
}

bool has_extractable_text(py::object text) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  return has_extractable_text_impl(text);
}

py::object empty_document_result(py::object self, py::object question) {
  py::object config = question.attr("config");
  return call_kw(ns.get("Result"), {{"question_id", config.attr("id")},
                                    {"question_name", config.attr("name")},
                                    {"answer", py::str(kNoText)},
                                    {"status", py::str("NO_DATA")}});
}

}  // namespace

double now() { return py::cast<double>(ns.get("time").attr("time")()); }

py::object error_in_flight() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    // Interruptions, exit requests and cancellation are not failures of a step.
    if (!e.matches(PyExc_Exception)) throw;
    return e.value();
  } catch (py::builtin_exception& e) {
    // pybind11's own error types stand for a Python error (TypeError, ValueError, ...).
    e.set_error();
    return vx::fetch_error();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return vx::fetch_error();
  }
}

// The failure Result: the status from _classify_failure, the error logged with its
// traceback, "<class name>: <message>" as the answer and only the elapsed time.
py::object question_failure(py::object self, py::object question, py::object error,
                            double start) {
  py::object config = question.attr("config");
  py::object qid = config.attr("id");
  py::object qname = config.attr("name");
  const double elapsed = now() - start;
  py::object status = self.attr("_classify_failure")(error);
  std::string cls = vx::type_name(error);
  logger.error_exc(error, "Pergunta %s falhou (%s): %s", qid, status, py::str(cls));
  std::string answer = cls + ": " + vx::safe_str(error);
  py::object metrics = call_kw(ns.get("ProcessingMetrics"), {{"time_seconds", py::float_(elapsed)}});
  return call_kw(ns.get("Result"), {{"question_id", qid},
                                    {"question_name", qname},
                                    {"answer", vx::from_utf8(answer)},
                                    {"status", status},
                                    {"metrics", metrics}});
}

// message.parsed of a structured answer; a refusal or a missing structure raises the
// error that names it, so the question ends "REFUSED" (with the model's own words) or
// "PARSE_ERROR" instead of failing on the missing value.
py::object structured_answer(py::handle message) {
  py::object parsed = message.attr("parsed");
  if (!parsed.is_none()) return parsed;
  py::object refusal = py::getattr(message, "refusal", py::none());
  if (!refusal.is_none() && PyObject_IsTrue(refusal.ptr()) == 1) {
    vx::raise(vx::error_class("ModelRefusalError"), vx::safe_str(refusal));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  vx::raise(vx::error_class("ModelParseError"),
            "Resposta estruturada vazia: o modelo não devolveu um valor no formato pedido.");
}

namespace {

py::object answer_of(py::object question, py::object response) {
  py::object message = response.attr("choices")[py::int_(0)].attr("message");
  py::object response_model = question.attr("response_model");
  bool structured = PyObject_IsTrue(response_model.ptr()) == 1;
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object answer, raw;
  if (structured) {
    py::object parsed = structured_answer(message);
    answer = ns.call("extract_main_response", parsed);
    if (py::hasattr(parsed, "model_dump")) {
      raw = parsed.attr("model_dump")();
    } else {
      raw = py::module_::import("builtins").attr("dict")(parsed);
    }
  } else {
    answer = message.attr("content");
    py::dict d;
    d["response"] = answer;
    raw = d;
  }
  return py::make_tuple(answer, raw);
}

}  // namespace

py::object empty_text_result(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  py::object has_text = self.attr("_has_extractable_text")(text);
  int truth = PyObject_IsTrue(has_text.ptr());
  if (truth < 0) throw py::error_already_set();
  if (truth) return py::object();
  logger.warning("Pergunta '%s': texto vazio apos filtragem; LLM nao sera chamado.",
                 question.attr("config").attr("id"));
  return self.attr("_empty_document_result")(question);
}

py::list question_messages(py::object question, py::object text) {
  py::str prompt = format_template(question.attr("user_prompt"), "texto", text);
  return chat_messages(question.attr("system_prompt"), prompt);
}

py::object question_result(py::object self, py::object question, py::object response,
                           double start) {
  py::tuple got = answer_of(question, response);
  const double elapsed = now() - start;
  py::object usage = response.attr("usage");
  py::object prompt_tokens = usage.attr("prompt_tokens");
  py::object completion_tokens = usage.attr("completion_tokens");
  py::object total_tokens = usage.attr("total_tokens");
  py::object model = self.attr("_model");
  py::object cost = call_cost(self, model, prompt_tokens, completion_tokens);
  py::object metrics = call_kw(ns.get("ProcessingMetrics"),
                               {{"time_seconds", round_to(py::float_(elapsed), 2)},
                                {"tokens", total_tokens},
                                {"prompt_tokens", prompt_tokens},
                                {"completion_tokens", completion_tokens},
                                {"cost_usd", round_to(cost, 6)},
                                {"model", model}});
  py::object config = question.attr("config");
  return call_kw(ns.get("Result"), {{"question_id", config.attr("id")},
                                    {"question_name", config.attr("name")},
                                    {"answer", got[0]},
                                    {"raw_result", got[1]},
                                    {"status", py::str("OK")},
                                    {"metrics", metrics}});
}

namespace {

py::object execute_question(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  const double start = now();
  if (py::object early = empty_text_result(self, text, question)) return early;
  py::object error;
  try {
    py::list messages = question_messages(question, text);
    py::object response = self.attr("_call_llm")(messages, question.attr("response_model"));
    return question_result(self, question, response, start);
  } catch (...) {
    error = error_in_flight();
  }
  return question_failure(self, question, error, start);
}

py::object extract_from_text(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  return self.attr("_execute_question")(text, question);
}

}  // namespace

void init_execution(vx::PyClass& cls) {
  cls.def("extract_from_text", &extract_from_text, py::arg("self"), py::arg("text"),
          py::arg("question"),
          "Answers one question (registered or not) over a text; never raises for a "
          "model or template failure: the Result carries the failure status.");
  cls.def("_execute_question", &execute_question, py::arg("self"), py::arg("text"),
          py::arg("question"));
  cls.def_static("_has_extractable_text", &has_extractable_text, py::arg("text"));
  cls.def("_empty_document_result", &empty_document_result, py::arg("self"),
          py::arg("question"));
}

}  // namespace vx::reader
