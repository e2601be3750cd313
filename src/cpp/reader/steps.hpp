// The steps that the synchronous operations and their asynchronous twins share: each
// twin is the same sequence of these steps, with the model calls (and the steps that
// make them) awaited instead of called.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.hpp"

namespace vx::reader {

// time.time() of the module's time.
double now();

// Inside a catch handler: the exception being handled as a Python exception object,
// for a step whose failures become a result. Interruptions, exit requests and
// cancellation (BaseException that is not an Exception) are rethrown.
py::object error_in_flight();

// ---- question execution

// The "NO_DATA" result (after its warning) when `text` has nothing to read; a null
// object when it has.
py::object empty_text_result(py::object self, py::object text, py::object question);
// The system and user messages of a question over a text.
py::list question_messages(py::object question, py::object text);
class Conversation;
// The failure result (status from _classify_failure, logged with its traceback), whose
// answer is `answer` or "<class name>: <message>"; when the model had answered, its
// text, finish reason and every answer's usage.
py::object question_failure(py::object self, py::object question, py::object error, double start,
                            const Conversation* talk = nullptr,
                            const std::optional<std::string>& answer = std::nullopt);

// One question's exchange with the model. Each answer's usage is added up; a structured
// answer that does not validate (or does not parse) is asked again in the same
// conversation, with the answer and pydantic's errors, up to the reader's
// validation_retries times. The twins drive it the same way:
//
//   for (;;) {
//     response = talk.ask("_call_llm")                    (awaited by the async twin)
//       a validation failure raised by the call itself -> talk.take_error(error, start)
//     result = talk.take(response, start)
//     if (result) return result;                           (else ask again)
//   }
class Conversation {
 public:
  Conversation(py::object self, py::object question, py::object text);
  // self.<method>(messages, response_model[, max_tokens=the question's limit]).
  py::object ask(const char* method) const;
  // True for the failures of an answer that a new answer may mend (pydantic's
  // ValidationError and ModelParseError), and for an answer cut short by the token
  // limit that the client's parse refused (taken as it came, never asked again).
  bool mendable(py::handle error) const;
  // The result once the question is settled ("OK", or "PARSE_ERROR" after the last
  // attempt), else a null object: the conversation holds the next request.
  py::object take(py::object response, double start);
  // The same for a validation failure raised by the call itself (the client's own
  // parse), whose answer came back without its usage.
  py::object take_error(py::object error, double start);

  bool answered() const { return attempts_ > 0; }
  // The result's metrics with `elapsed` seconds (rounded when `round`).
  py::object metrics(double elapsed, bool round) const;
  py::object raw_text() const { return raw_text_; }
  py::object finish_reason() const { return finish_reason_; }

 private:
  py::object settled_failure(py::object error, double start);
  void add_usage(py::handle response);

  py::object self_, question_, response_model_, limit_;
  py::list messages_;
  bool structured_ = false;
  long long retries_ = 0;
  long long attempts_ = 0;
  bool counted_ = false;
  py::object prompt_ = py::int_(0), completion_ = py::int_(0), total_ = py::int_(0);
  py::object raw_text_ = py::none(), finish_reason_ = py::none();
};

// ---- question runs

// A document's pages as the question runs see them.
struct PageSet {
  py::list pages;
  Py_ssize_t count = 0;
  // Page numbers of the OCR loader's pages, when every page carries one.
  bool numbered = false;
  std::vector<long long> numbers;
  long long highest = 0;
};
PageSet page_set(py::object documents);

// The pages one question reads (page range, then keyword filter), or its "NO_DATA"
// result when none is left. `loud` writes the twin's log lines (the page range that
// does not fit; the range applied, in verbose mode).
struct Selection {
  py::object no_data;  // set when no page is left
  py::list pages;
};
Selection select_pages(py::object self, py::object question, const PageSet& doc, bool log);
// The pages' texts joined with the page separator.
py::object joined_text(const py::list& pages);

// How many questions of one document are asked at once (the reader's
// `_question_concurrency`, at least 1).
long long question_concurrency(py::handle self);

// The run totals: time, tokens and cost summed over the answered questions.
struct RunTotals {
  py::list results;
  py::object time = py::float_(0.0);
  py::object tokens = py::int_(0);
  py::object cost = py::float_(0.0);
  void add(py::object result, Py_ssize_t pages_used, Py_ssize_t pages_total);
  py::tuple as_tuple() const;
};

// ---- classification

// The classification configured on the reader, or None.
py::object classification_of(py::object self);
// The classification's messages: the answers, "_documento" and "_tipo" as its data.
py::list classification_messages(py::object classification, py::object results, py::object doc_info);
// The classification response as a mapping.
py::object classification_mapping(py::object response, py::object response_model);
// The failure mapping, after the error line "<prefix><error>".
py::dict classification_failure(const char* prefix, py::object error);

// ---- processing

// Everything `process` does before the question run, and what it needs after it.
struct ProcessStart {
  py::object hit;  // the cached result, when the cache had one
  py::object content, metadata, doc_meta, display;
  py::list to_run;
  py::object cache, key;
  py::object pages;
  bool classify = false;
};
ProcessStart begin_process(py::object self, py::object document, py::object questions, py::object classify,
                           py::object filename, bool log_cache_hit);
// The doc_info mapping of the classification step, or None when there is none to run.
py::object classification_request(py::object self, const ProcessStart& start, py::object results);
// Totals, the ProcessingResult and the cache store.
py::object finish_process(py::object self, const ProcessStart& start, py::tuple run,
                          py::object classification);
// The argument checks of process / process_async.
void check_process_args(py::handle questions, py::handle filename);

// ---- batches

py::object breaker_of(py::handle self);
bool admitted(py::handle breaker);
void report_outcome(py::handle breaker, py::handle result);
// The error result of a document that raised DocumentError or ProcessingError, after
// its log line "<prefix><text form>: <error>".
py::object document_error_result(py::handle doc, py::object error, const char* prefix);
bool is_document_failure(const py::error_already_set& e);
// The arguments every batch checks first: documents a list, questions a list or None.
void check_batch_args(py::handle documents, py::handle questions);
// An interrupted batch (Ctrl-C) hands what finished to its caller on the interruption,
// in input order, as `completed` (`out` holds None for the documents without a result).
void attach_completed(const py::error_already_set& interruption, const py::list& out);

// The progress bar of a batch run with show_progress: a tqdm bar on standard error
// with one step per finished document and the run's token and cost totals in its
// postfix. Closed when the last owner lets it go.
class Progress {
 public:
  explicit Progress(size_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void step(py::handle result);

 private:
  py::object bar_;
  long long tokens_ = 0;
  double cost_ = 0.0;
};
// The bar of the synchronous batch running on this thread, or null.
Progress* batch_progress();

// ---- model calls

// The structured-parsing method of an OpenAI-compatible client (beta.chat.completions
// .parse when offered, else chat.completions.parse).
py::object structured_parse(py::handle client);

}  // namespace vx::reader
