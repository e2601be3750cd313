// Question execution: one question over one text, always answered with a Result.
//
// The prompt is the question's template filled with Python's str.format rules (only
// {texto} is supplied); the model is called through self._call_llm (retries there).
// From the template to the result everything runs under one guard, so a failure of
// the template, the provider or the response's shape becomes a Result with a failure
// status and never stops the document being read.
#include <optional>
#include <utility>

#include "core/unicode.hpp"
#include "reader/calls.hpp"
#include "reader/reader.hpp"
#include "reader/steps.hpp"
#include "reader/structured.hpp"
#include "reader/template.hpp"

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
// traceback, `answer` (by default "<class name>: <message>") and only the elapsed time;
// when the model had answered, also its text, its finish reason and the usage of every
// answer.
py::object question_failure(py::object self, py::object question, py::object error, double start,
                            const Conversation* talk, const std::optional<std::string>& given_answer) {
  py::object config = question.attr("config");
  py::object qid = config.attr("id");
  py::object qname = config.attr("name");
  const double elapsed = now() - start;
  py::object status = self.attr("_classify_failure")(error);
  std::string cls = vx::type_name(error);
  logger.error_exc(error, "Pergunta %s falhou (%s): %s", qid, status, py::str(cls));
  const std::string answer = given_answer ? *given_answer : cls + ": " + vx::safe_str(error);
  if (talk && talk->answered()) {
    return call_kw(ns.get("Result"), {{"question_id", qid},
                                      {"question_name", qname},
                                      {"answer", vx::from_utf8(answer)},
                                      {"status", status},
                                      {"metrics", talk->metrics(elapsed, false)},
                                      {"raw_text", talk->raw_text()},
                                      {"finish_reason", talk->finish_reason()}});
  }
  py::object metrics = call_kw(ns.get("ProcessingMetrics"), {{"time_seconds", py::float_(elapsed)}});
  return call_kw(ns.get("Result"), {{"question_id", qid},
                                    {"question_name", qname},
                                    {"answer", vx::from_utf8(answer)},
                                    {"status", status},
                                    {"metrics", metrics}});
}

namespace {

py::object text_or_none(py::object value) { return vx::is_str(value) ? value : py::object(py::none()); }

// The answer and raw_result of a response.
std::pair<py::object, py::object> answer_of(py::handle message, py::handle response_model, bool structured) {
  py::object answer, raw;
  if (structured) {
    py::object parsed = structured_value(message, response_model);
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
  return {answer, raw};
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

Conversation::Conversation(py::object self, py::object question, py::object text)
    : self_(self), question_(question), messages_(question_messages(question, text)) {
  response_model_ = question.attr("response_model");
  structured_ = truthy(response_model_);
  limit_ = py::getattr(question.attr("config"), "max_tokens", py::none());
  if (structured_) {
    py::object retries = py::getattr(self, "_validation_retries", py::int_(0));
    retries_ = std::max(0LL, vx::arg_int(retries, "_validation_retries"));
  }
}

py::object Conversation::ask(const char* method) const {
  py::object call = self_.attr(method);
  if (limit_.is_none()) return call(messages_, response_model_);
  return call(messages_, response_model_, py::arg("max_tokens") = limit_);
}

bool Conversation::mendable(py::handle error) const {
  // An answer cut short by the token limit is taken as it came (take_error), whatever
  // raised it: it ends "PARSE_ERROR" with its usage counted, and is not asked again.
  if (cut_short_completion(error)) return true;
  if (!structured_) return false;
  if (PyObject_IsInstance(error.ptr(), ns.get("ValidationError").ptr()) == 1) return true;
  if (PyErr_Occurred()) PyErr_Clear();
  return vx::type_name(error) == "ModelParseError";
}

// The first answer's figures are kept as they came; later answers are added to them.
void Conversation::add_usage(py::handle response) {
  py::object usage = response.attr("usage");
  py::object prompt = usage.attr("prompt_tokens");
  py::object completion = usage.attr("completion_tokens");
  py::object total = usage.attr("total_tokens");
  if (!counted_) {
    prompt_ = prompt;
    completion_ = completion;
    total_ = total;
    counted_ = true;
  } else {
    prompt_ = prompt_ + prompt;
    completion_ = completion_ + completion;
    total_ = total_ + total;
  }
}

py::object Conversation::metrics(double elapsed, bool round) const {
  py::object model = self_.attr("_model");
  py::object cost = call_cost(self_, model, prompt_, completion_);
  return call_kw(ns.get("ProcessingMetrics"), {{"time_seconds", round ? round_to(py::float_(elapsed), 2)
                                                                      : py::object(py::float_(elapsed))},
                                               {"tokens", total_},
                                               {"prompt_tokens", prompt_},
                                               {"completion_tokens", completion_},
                                               {"cost_usd", round_to(cost, 6)},
                                               {"model", model}});
}

py::object Conversation::take(py::object response, double start) {
  py::object choice = response.attr("choices")[py::int_(0)];
  py::object message = choice.attr("message");
  ++attempts_;
  // Text only: a response of another shape (a stand-in client, a provider's own
  // objects) leaves them None rather than failing the record.
  raw_text_ = text_or_none(py::getattr(message, "content", py::none()));
  finish_reason_ = text_or_none(py::getattr(choice, "finish_reason", py::none()));
  // Usage first, so that the answers of a failed question still count.
  add_usage(response);
  if (py::str("length").equal(finish_reason_)) {
    logger.warning("Resposta truncada (limite de tokens): %s", question_.attr("config").attr("id"));
  }
  std::pair<py::object, py::object> got;
  py::object failure;
  try {
    got = answer_of(message, response_model_, structured_);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception) || !mendable(e.value())) throw;
    failure = e.value();
  }
  if (failure) return settled_failure(failure, start);
  const double elapsed = now() - start;
  py::object config = question_.attr("config");
  return call_kw(ns.get("Result"), {{"question_id", config.attr("id")},
                                    {"question_name", config.attr("name")},
                                    {"answer", got.first},
                                    {"raw_result", got.second},
                                    {"status", py::str("OK")},
                                    {"metrics", metrics(elapsed, true)},
                                    {"raw_text", raw_text_},
                                    {"finish_reason", finish_reason_}});
}

py::object Conversation::take_error(py::object error, double start) {
  if (py::object cut = cut_short_completion(error)) return take(cut, start);
  ++attempts_;
  raw_text_ = text_of_validation_error(error);
  finish_reason_ = py::none();
  return settled_failure(error, start);
}

// A structured answer that did not validate: asked again while attempts are left (not
// when it was cut short: the same limit would cut the next one), else "PARSE_ERROR".
py::object Conversation::settled_failure(py::object error, double start) {
  const bool cut_short = py::str("length").equal(finish_reason_);
  if (attempts_ <= retries_ && !cut_short) {
    py::list next = vx::list_copy(messages_);
    py::dict said, correction;
    said["role"] = "assistant";
    said["content"] = raw_text_.is_none() ? py::object(py::str("")) : raw_text_;
    correction["role"] = "user";
    correction["content"] =
        vx::from_utf8("A resposta anterior não passou na validação do esquema. Erros: ") +
        compact_errors_json(error) +
        vx::from_utf8("\nResponda novamente somente com o objeto JSON corrigido, sem texto fora dele.");
    next.append(said);
    next.append(correction);
    messages_ = next;
    return py::object();
  }
  std::string answer = vx::type_name(error) + ": ";
  if (cut_short) answer += "resposta truncada (limite de tokens) antes de completar o JSON; ";
  answer += readable_errors(error);
  return question_failure(self_, question_, error, start, this, answer);
}

namespace {

py::object execute_question(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  const double start = now();
  if (py::object early = empty_text_result(self, text, question)) return early;
  py::object error;
  std::optional<Conversation> talk;
  try {
    talk.emplace(self, question, text);
    for (;;) {
      py::object response, failed;
      try {
        response = talk->ask("_call_llm");
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception) || !talk->mendable(e.value())) throw;
        failed = e.value();
      }
      py::object result = failed ? talk->take_error(failed, start) : talk->take(response, start);
      if (result) return result;
    }
  } catch (...) {
    error = error_in_flight();
  }
  return question_failure(self, question, error, start, talk ? &*talk : nullptr);
}

py::object extract_from_text(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  return self.attr("_execute_question")(text, question);
}

}  // namespace

void init_execution(vx::PyClass& cls) {
  cls.def("extract_from_text", &extract_from_text, py::arg("self"), py::arg("text"), py::arg("question"),
          "Answers one question (registered or not) over a text; never raises for a "
          "model or template failure: the Result carries the failure status.");
  cls.def("_execute_question", &execute_question, py::arg("self"), py::arg("text"), py::arg("question"));
  cls.def_static("_has_extractable_text", &has_extractable_text, py::arg("text"));
  cls.def("_empty_document_result", &empty_document_result, py::arg("self"), py::arg("question"));
}

}  // namespace vx::reader
