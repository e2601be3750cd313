// The asynchronous pipeline: coroutine twins of the model call, question execution,
// classification, question run, processing and batches.
//
//   extract_from_text_async    _execute_question_async
//   process_async              _run_questions_async, _classify_results_async
//   process_batch_async        one `_limited` coroutine per document under a semaphore
//   _call_llm_async            one attempt with the asynchronous client
//
// Each twin is its synchronous twin's sequence of steps (steps.hpp) with the model
// calls, and the steps that make them, awaited. Only model calls suspend: resolution,
// downloads, loading with OCR, the cache and the totals run without yielding. The
// steps are reached through attribute lookup on the reader, and each awaits what that
// lookup returns, so a step replaced by an `async def` on an instance or a subclass is
// awaited like the reader's own.
//
// Arguments are checked when the coroutine is created, before anything runs; a
// coroutine that is never awaited frees its frame without running any of it.
#include <optional>

#include "bridge/coro.hpp"
#include "reader/calls.hpp"
#include "reader/reader.hpp"
#include "reader/steps.hpp"
#include "reader/structured.hpp"

namespace vx::reader {
namespace {

using vx::aio::Task;
using vx::aio::wait;

// ---------------------------------------------------------------------------------
// _call_llm_async: one attempt, no retry policy.

Task call_llm_async(py::object self, py::object messages, py::object response_model, py::object max_tokens) {
  std::string provider = vx::safe_str(self.attr("_provider"));
  ModelRequest request(self, messages, response_model, max_tokens);
  if (provider == "google") {
    py::object model = self.attr("_model");
    py::module_ google = vx::import("vorlex.providers.google");
    py::object client = self.attr("_async_google_client");
    py::dict limit;
    if (!request.max_tokens().is_none()) limit["max_tokens"] = request.max_tokens();
    py::object call = request.structured()
                          ? google.attr("acall_structured")(client, model, messages, response_model, **limit)
                          : google.attr("acall_chat")(client, model, messages, **limit);
    py::object response = co_await wait(std::move(call));
    co_return response;
  }
  py::object client = self.attr("_get_async_client")();
  if (!request.structured()) {
    py::object response = co_await wait(request.start(client, ""));
    co_return response;
  }
  // The structured modes as in the synchronous attempt: a refused response format is
  // asked again at once in the next mode ("auto"), or ends the call.
  std::string mode = request.first_mode();
  for (;;) {
    std::optional<py::error_already_set> failed;
    try {
      py::object response = co_await wait(request.start(client, mode));
      request.remember(mode);
      co_return response;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      failed = e;
    }
    py::object cut;
    std::string next = request.after_failure(mode, failed->value(), cut);
    if (cut) co_return cut;
    if (next.empty()) throw *failed;
    mode = next;
  }
}

// ---------------------------------------------------------------------------------
// Question execution

Task execute_question_async(py::object self, py::object text, py::object question) {
  const double start = now();
  py::object early = empty_text_result(self, text, question);
  if (early) co_return early;
  py::object error;
  std::optional<Conversation> talk;
  try {
    talk.emplace(self, question, text);
    for (;;) {
      py::object response, failed;
      try {
        response = co_await wait(talk->ask("_call_llm_async"));
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception) || !talk->mendable(e.value())) throw;
        failed = e.value();
      }
      py::object result = failed ? talk->take_error(failed, start) : talk->take(response, start);
      if (result) co_return result;
    }
  } catch (...) {
    error = error_in_flight();
  }
  co_return question_failure(self, question, error, start, talk ? &*talk : nullptr);
}

Task extract_from_text_async(py::object self, py::object text, py::object question) {
  py::object call = self.attr("_execute_question_async")(text, question);
  py::object result = co_await wait(std::move(call));
  co_return result;
}

// ---------------------------------------------------------------------------------
// Classification and the question run

Task classify_results_async(py::object self, py::object results, py::object doc_info) {
  py::object classification = classification_of(self);
  if (classification.is_none()) co_return py::none();
  py::object error;
  try {
    py::list messages = classification_messages(classification, results, doc_info);
    py::object call = self.attr("_call_llm_async")(messages, classification.attr("response_model"));
    py::object response = co_await wait(std::move(call));
    self.attr("_record_side_usage")(response);
    co_return classification_mapping(response, classification.attr("response_model"));
  } catch (...) {
    error = error_in_flight();
  }
  co_return classification_failure("Erro na classificação async: ", error);
}

// Gives a semaphore permit back when the scope ends, however it ends. It borrows the
// semaphore from the coroutine's argument, which outlives it and which the garbage
// collector sees (coro.hpp).
class Permit {
 public:
  explicit Permit(py::handle semaphore) : semaphore_(semaphore) {}
  ~Permit() { vx::call_quietly(semaphore_, "release"); }
  Permit(const Permit&) = delete;
  Permit& operator=(const Permit&) = delete;

 private:
  py::handle semaphore_;
};

// One question among those of a document asked side by side: it waits for a permit,
// asks, and gives the permit back however it ends.
Task bounded_question(py::object self, py::object semaphore, py::object text, py::object question) {
  py::object acquire = semaphore.attr("acquire")();
  co_await wait(std::move(acquire));
  Permit permit(semaphore);
  py::object call = self.attr("_execute_question_async")(text, question);
  py::object result = co_await wait(std::move(call));
  co_return result;
}

// The questions of one document: one after another, or with a question concurrency
// above 1 gathered under that many permits, the results taken in selection order. No log
// line is written.
Task run_questions_async(py::object self, py::object questions_to_run, py::object documents) {
  const PageSet doc = page_set(documents);
  RunTotals run;
  const long long width = question_concurrency(self);
  if (width > 1) {
    // One snapshot of the questions, walked throughout; their pages chosen up front.
    py::list all = vx::list_copy(questions_to_run);
    std::vector<Selection> chosen;
    for (py::handle q : all)
      chosen.push_back(select_pages(self, py::reinterpret_borrow<py::object>(q), doc, false));
    std::vector<py::object> answers(all.size());
    // The first question that must learn the server's structured mode is asked alone,
    // before the others are gathered (structured.hpp).
    for (size_t i = 0; i < all.size(); ++i) {
      py::object question = all[i];
      if (chosen[i].no_data || !learns_structured_mode(self, question)) continue;
      py::object call = self.attr("_execute_question_async")(joined_text(chosen[i].pages), question);
      answers[i] = co_await wait(std::move(call));
      break;
    }
    std::vector<size_t> gathered;
    py::object gather;
    {
      // Only the gathering is held while it runs (coro.hpp).
      py::object semaphore = ns.get("asyncio").attr("Semaphore")(width);
      py::list coroutines;
      for (size_t i = 0; i < all.size(); ++i) {
        if (chosen[i].no_data || answers[i]) continue;
        gathered.push_back(i);
        coroutines.append(
            vx::aio::coroutine(bounded_question(self, semaphore, joined_text(chosen[i].pages), all[i]),
                               "Vorlex._run_questions_async.<locals>._bounded"));
      }
      gather = ns.get("asyncio").attr("gather")(*coroutines);
    }
    py::list got = vx::list_copy(co_await wait(std::move(gather)));
    for (size_t k = 0; k < gathered.size(); ++k) answers[gathered[k]] = got[k];
    for (size_t i = 0; i < all.size(); ++i) {
      if (chosen[i].no_data) {
        run.results.append(chosen[i].no_data);
        continue;
      }
      run.add(answers[i], static_cast<Py_ssize_t>(chosen[i].pages.size()), doc.count);
    }
    co_return run.as_tuple();
  }
  py::iterator questions = py::iter(questions_to_run);
  for (; questions != py::iterator::sentinel(); ++questions) {
    py::object question = py::reinterpret_borrow<py::object>(*questions);
    Selection sel = select_pages(self, question, doc, false);
    if (sel.no_data) {
      run.results.append(sel.no_data);
      continue;
    }
    py::object call = self.attr("_execute_question_async")(joined_text(sel.pages), question);
    py::object result = co_await wait(std::move(call));
    run.add(result, static_cast<Py_ssize_t>(sel.pages.size()), doc.count);
  }
  co_return run.as_tuple();
}

// ---------------------------------------------------------------------------------
// process_async

Task process_async(py::object self, py::object document, py::object questions, py::object classify,
                   py::object filename) {
  ProcessStart st = begin_process(self, document, questions, classify, filename, false);
  if (st.hit) co_return st.hit;
  py::object run_call = self.attr("_run_questions_async")(st.to_run, st.pages);
  py::object run = co_await wait(std::move(run_call));
  py::tuple totals(run);
  py::object classification = py::none();
  py::object info = classification_request(self, st, totals[0]);
  if (!info.is_none()) {
    py::object call = self.attr("_classify_results_async")(totals[0], info);
    classification = co_await wait(std::move(call));
  }
  co_return finish_process(self, st, totals, classification);
}

// ---------------------------------------------------------------------------------
// process_batch_async

// One document of a batch: the breaker is asked before waiting for a permit; the
// document is processed holding one; its outcome is reported.
Task limited(py::object self, py::object semaphore, py::object doc, py::object questions, py::object classify,
             std::shared_ptr<Progress> bar) {
  py::object breaker = breaker_of(self);
  if (!admitted(breaker)) {
    py::object open = self.attr("_make_circuit_open_result")(doc);
    if (bar) bar->step(open);
    co_return open;
  }
  py::object acquire = semaphore.attr("acquire")();
  co_await wait(std::move(acquire));
  Permit permit(semaphore);
  py::object result;
  py::object failure;
  try {
    py::object call = self.attr("process_async")(doc, questions, classify);
    result = co_await wait(std::move(call));
  } catch (py::error_already_set& e) {
    if (!is_document_failure(e)) throw;
    failure = e.value();
  }
  if (failure) result = document_error_result(doc, failure, "Erro ao processar async ");
  report_outcome(breaker, result);
  if (bar) bar->step(result);
  co_return result;
}

Task process_batch_async(py::object self, py::object documents, py::object questions, py::object classify,
                         long long max_concurrency, bool show_progress) {
  py::object breaker = breaker_of(self);
  if (!breaker.is_none()) breaker.attr("reset")();
  if (max_concurrency == 0) {
    // No permit at all would leave every document waiting for ever.
    vx::raise_value_error("max_concurrency must be at least 1, got 0");
  }
  py::object gather;
  {
    // Only the gathering is held while it runs: the documents' coroutines and their
    // semaphore are reached through it, where the garbage collector sees them.
    py::object asyncio = ns.get("asyncio");
    // A negative count is refused by the semaphore itself (ValueError).
    py::object semaphore = asyncio.attr("Semaphore")(max_concurrency);
    py::list docs = vx::list_copy(documents);  // the documents as they are when the batch starts
    std::shared_ptr<Progress> bar;
    if (show_progress) bar = std::make_shared<Progress>(docs.size());
    py::list coroutines;
    for (py::handle doc : docs) {
      coroutines.append(vx::aio::coroutine(
          limited(self, semaphore, py::reinterpret_borrow<py::object>(doc), questions, classify, bar),
          "Vorlex.process_batch_async.<locals>._limited"));
    }
    gather = asyncio.attr("gather")(*coroutines);
  }
  py::object results = co_await wait(std::move(gather));
  co_return py::list(results);
}

// ---------------------------------------------------------------------------------
// The Python-facing functions: arguments checked, the coroutine object returned.

py::object py_call_llm_async(py::object self, py::object messages, py::object response_model,
                             py::object max_tokens) {
  return vx::aio::coroutine(call_llm_async(self, messages, response_model, max_tokens),
                            "Vorlex._call_llm_async");
}

py::object py_execute_question_async(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  return vx::aio::coroutine(execute_question_async(self, text, question), "Vorlex._execute_question_async");
}

py::object py_extract_from_text_async(py::object self, py::object text, py::object question) {
  if (!vx::is_str(text)) vx::raise_type_error("text", "str", text);
  return vx::aio::coroutine(extract_from_text_async(self, text, question), "Vorlex.extract_from_text_async");
}

py::object py_classify_results_async(py::object self, py::object results, py::object doc_info) {
  return vx::aio::coroutine(classify_results_async(self, results, doc_info),
                            "Vorlex._classify_results_async");
}

py::object py_run_questions_async(py::object self, py::object questions_to_run, py::object documents) {
  return vx::aio::coroutine(run_questions_async(self, questions_to_run, documents),
                            "Vorlex._run_questions_async");
}

py::object py_process_async(py::object self, py::object document, py::object questions, py::object classify,
                            py::object filename) {
  check_process_args(questions, filename);
  return vx::aio::coroutine(process_async(self, document, questions, classify, filename),
                            "Vorlex.process_async");
}

py::object py_process_batch_async(py::object self, py::object documents, py::object questions,
                                  py::object classify, py::object max_concurrency, py::object show_progress) {
  check_batch_args(documents, questions);
  long long permits = PyBool_Check(max_concurrency.ptr())
                          ? (max_concurrency.ptr() == Py_True ? 1 : 0)
                          : vx::arg_int_trunc(max_concurrency, "max_concurrency");
  py::bool_ flag(truthy(classify));
  return vx::aio::coroutine(
      process_batch_async(self, documents, questions, flag, permits, truthy(show_progress)),
      "Vorlex.process_batch_async");
}

}  // namespace

void init_async(vx::PyClass& cls) {
  cls.def("extract_from_text_async", &py_extract_from_text_async, py::arg("self"), py::arg("text"),
          py::arg("question"), "Coroutine: answers one question over a text with one model attempt.");
  cls.def("process_async", &py_process_async, py::arg("self"), py::arg("document"),
          py::arg("questions") = py::none(), py::arg("classify") = false, py::arg("filename") = py::none(),
          "Coroutine: process() with the model calls awaited.");
  cls.def("process_batch_async", &py_process_batch_async, py::arg("self"), py::arg("documents"),
          py::arg("questions") = py::none(), py::arg("classify") = false, py::arg("max_concurrency") = 5,
          py::kw_only(), py::arg("show_progress") = false,
          "Coroutine: processes the documents side by side, at most max_concurrency at a "
          "time, under the circuit breaker; results in input order.");
  cls.def("_call_llm_async", &py_call_llm_async, py::arg("self"), py::arg("messages"),
          py::arg("response_model") = py::none(), py::arg("max_tokens") = py::none());
  cls.def("_execute_question_async", &py_execute_question_async, py::arg("self"), py::arg("text"),
          py::arg("question"));
  cls.def("_classify_results_async", &py_classify_results_async, py::arg("self"), py::arg("results"),
          py::arg("doc_info"));
  cls.def("_run_questions_async", &py_run_questions_async, py::arg("self"), py::arg("questions_to_run"),
          py::arg("documents"));
}

}  // namespace vx::reader
