// Batches: many documents through `process`, in input order.
//
//   process_batch                 argument checks, breaker reset, runner choice
//   _process_batch_sequential     one document after another on the caller's thread
//   _process_batch_parallel       a thread pool; the breaker is asked and told only
//                                 on the caller's thread
//   _process_single_safe          `process`, with document and selection errors turned
//                                 into an error result
//   _make_circuit_open_result     the result of a document the breaker refused
//
// Each worker thread runs the whole `process` of its document, so the per-run usage
// accumulator, which lives in the running thread's context, belongs to that document
// alone.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "reader/reader.hpp"
#include "reader/steps.hpp"

namespace vx::reader {

using namespace pybind11::literals;

namespace {

constexpr Py_ssize_t kShortTextForm = 200;
const char* const kCircuitOpenAnswer = "Processamento interrompido: muitas falhas consecutivas";

// The first `limit` characters of repr(data) for a bytes value, without building the
// whole representation (a 50 MB value has a representation of up to 200 MB). The
// quote is chosen from the whole value, as bytes.__repr__ does; bytearray.__repr__
// escapes the single quote whichever quote it chose.
char repr_quote(const char* data, size_t n) {
  const bool has_single = std::char_traits<char>::find(data, n, '\'') != nullptr;
  const bool has_double = has_single && std::char_traits<char>::find(data, n, '"') != nullptr;
  return (has_single && !has_double) ? '"' : '\'';
}

std::string bytes_repr_prefix(const char* data, size_t n, size_t limit, bool bytearray) {
  char quote;
  if (!bytearray && n > (size_t{1} << 20)) {
    // A bytes value is immutable and referenced by the caller: its buffer can be
    // scanned without the interpreter lock. (A bytearray could be resized meanwhile.)
    py::gil_scoped_release nogil;
    quote = repr_quote(data, n);
  } else {
    quote = repr_quote(data, n);
  }
  static const char* hex = "0123456789abcdef";
  std::string out = "b";
  out += quote;
  for (size_t i = 0; i < n && out.size() < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == static_cast<unsigned char>(quote) || c == '\\' || (bytearray && c == '\'')) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < ' ' || c >= 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
  if (out.size() > limit) out.resize(limit);
  return out;
}

// The text form of a document entry, cut to `limit` characters when limit >= 0.
py::str text_form(py::handle doc, Py_ssize_t limit) {
  if (limit >= 0 && (PyBytes_CheckExact(doc.ptr()) || PyByteArray_CheckExact(doc.ptr()))) {
    const bool is_array = PyByteArray_CheckExact(doc.ptr());
    const char* data = is_array ? PyByteArray_AS_STRING(doc.ptr()) : PyBytes_AS_STRING(doc.ptr());
    size_t n = static_cast<size_t>(is_array ? PyByteArray_GET_SIZE(doc.ptr()) : PyBytes_GET_SIZE(doc.ptr()));
    std::string head = is_array ? "bytearray(" : "";
    std::string text = head + bytes_repr_prefix(data, n, static_cast<size_t>(limit), is_array) +
                       (is_array ? ")" : "");
    if (text.size() > static_cast<size_t>(limit)) text.resize(static_cast<size_t>(limit));
    return vx::from_utf8(text);
  }
  PyObject* s = PyObject_Str(doc.ptr());
  if (!s) throw py::error_already_set();
  py::str text = py::reinterpret_steal<py::str>(s);
  if (limit >= 0 && PyUnicode_GET_LENGTH(text.ptr()) > limit) {
    PyObject* cut = PyUnicode_Substring(text.ptr(), 0, limit);
    if (!cut) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(cut);
  }
  return text;
}

// Paths and URLs are shown whole; anything else (bytes, streams) by its first 200
// characters.
bool is_text_document(py::handle doc) {
  return vx::is_str(doc) || PyObject_HasAttrString(doc.ptr(), "__fspath__");
}

py::object error_result(py::handle doc, py::str filename, py::object error) {
  py::object result = ns.get("Result")("question_id"_a = "error", "answer"_a = py::str(error),
                                       "status"_a = "ERROR");
  py::list results;
  results.append(result);
  return ns.get("ProcessingResult")("document"_a = ns.get("DocumentMetadata")("filename"_a = filename),
                                    "results"_a = results);
}

}  // namespace

// A processed document counts as a failure when one of its results has status "ERROR".
bool failed(py::handle result) {
  py::object results = py::getattr(result, "results", py::none());
  if (results.is_none()) return false;
  py::str error("ERROR");
  for (py::handle r : results) {
    py::object status = py::getattr(r, "status", py::none());
    int eq = PyObject_RichCompareBool(status.ptr(), error.ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq) return true;
  }
  return false;
}

void report_outcome(py::handle breaker, py::handle result) {
  if (breaker.is_none()) return;
  if (failed(result)) breaker.attr("record_failure")();
  else breaker.attr("record_success")();
}

bool admitted(py::handle breaker) { return breaker.is_none() || truthy(breaker.attr("can_execute")()); }

py::object breaker_of(py::handle self) { return py::getattr(self, "_circuit_breaker", py::none()); }

bool is_document_failure(const py::error_already_set& e) {
  return e.matches(ns.get("DocumentError").ptr()) || e.matches(ns.get("ProcessingError").ptr());
}

void check_batch_args(py::handle documents, py::handle questions) {
  if (!PyList_Check(documents.ptr())) vx::raise_type_error("documents", "list", documents);
  if (!questions.is_none() && !PyList_Check(questions.ptr())) {
    vx::raise_type_error("questions", "list or None", questions);
  }
}

void attach_completed(const py::error_already_set& interruption, const py::list& out) {
  py::list completed;
  for (py::handle result : out) {
    if (!result.is_none()) completed.append(result);
  }
  try {
    py::setattr(interruption.value(), "completed", completed);
  } catch (py::error_already_set&) {
    // an interruption that takes no attribute still reaches the caller
  }
}

py::object document_error_result(py::handle doc, py::object error, const char* prefix) {
  py::str name = text_form(doc, is_text_document(doc) ? -1 : kShortTextForm);
  logger.error((prefix + vx::to_utf8(name) + ": " + vx::safe_str(error)).c_str());
  return error_result(doc, name, error);
}

Progress::Progress(size_t total) {
  bar_ = ns.get("tqdm")("total"_a = total, "file"_a = vx::late("sys", "stderr"), "unit"_a = "doc",
                        "desc"_a = "Documentos", "dynamic_ncols"_a = true);
}

Progress::~Progress() {
  if (bar_) vx::call_quietly(bar_, "close");
}

void Progress::step(py::handle result) {
  try {
    // What was spent now: a result served from the cache cost nothing this time.
    if (!truthy(py::getattr(result, "from_cache", py::bool_(false)))) {
      py::object metrics = result.attr("total_metrics");
      tokens_ += py::cast<long long>(metrics.attr("tokens"));
      cost_ += py::cast<double>(metrics.attr("cost_usd"));
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // a record without totals adds nothing
  } catch (py::cast_error&) {
  }
  py::dict postfix;
  postfix["tokens"] = py::int_(tokens_);
  char cost[48];
  std::snprintf(cost, sizeof cost, "$%.4f", cost_);
  postfix["custo"] = py::str(cost);
  bar_.attr("set_postfix")(postfix, "refresh"_a = false);
  bar_.attr("update")(1);
}

namespace {
thread_local Progress* t_progress = nullptr;
}  // namespace

Progress* batch_progress() { return t_progress; }

namespace {

// ---------------------------------------------------------------------------------

py::object make_circuit_open_result(py::object self, py::object doc) {
  py::object result = ns.get("Result")("question_id"_a = "circuit_breaker", "answer"_a = kCircuitOpenAnswer,
                                       "status"_a = "CIRCUIT_OPEN");
  py::list results;
  results.append(result);
  return ns.get("ProcessingResult")(
      "document"_a = ns.get("DocumentMetadata")("filename"_a = text_form(doc, kShortTextForm)),
      "results"_a = results);
}

py::object process_single_safe(py::object self, py::object doc, py::object questions, py::object classify) {
  try {
    return self.attr("process")(doc, questions, classify);
  } catch (py::error_already_set& e) {
    if (!is_document_failure(e)) throw;
    return document_error_result(doc, e.value(), "Erro ao processar ");
  }
}

py::list process_batch_sequential(py::object self, py::list documents, py::object questions,
                                  py::object classify) {
  py::object breaker = breaker_of(self);
  py::list out;
  // The list iterator re-checks the length at each step: the documents run Python
  // code (streams, overridden methods) that could change the list meanwhile.
  for (py::handle doc : py::iter(documents)) {
    if (!admitted(breaker)) {
      out.append(self.attr("_make_circuit_open_result")(doc));
      if (Progress* bar = batch_progress()) bar->step(out[out.size() - 1]);
      continue;
    }
    py::object result = self.attr("_process_single_safe")(doc, questions, classify);
    out.append(result);
    report_outcome(breaker, result);
    if (Progress* bar = batch_progress()) bar->step(result);
  }
  return out;
}

py::list process_batch_parallel(py::object self, py::list given, py::object questions, py::object classify,
                                py::object max_workers) {
  // Every document is submitted up front, from the list as it is now.
  py::list documents = vx::list_copy(given);
  py::object breaker = breaker_of(self);
  const size_t n = documents.size();
  py::list out(n);
  for (size_t i = 0; i < n; ++i) out[i] = py::none();

  py::object futures = ns.get("concurrent");
  if (!py::hasattr(futures, "ThreadPoolExecutor")) futures = futures.attr("futures");
  py::object pool = futures.attr("ThreadPoolExecutor")("max_workers"_a = max_workers);
  pool.attr("__enter__")();
  try {
    py::dict future_to_idx;
    for (size_t i = 0; i < n; ++i) {
      py::object doc = documents[i];
      if (!admitted(breaker)) {
        out[i] = self.attr("_make_circuit_open_result")(doc);
        if (Progress* bar = batch_progress()) bar->step(out[i]);
        continue;
      }
      py::object future = pool.attr("submit")(self.attr("_process_single_safe"), doc, questions, classify);
      future_to_idx[future] = py::int_(i);
    }
    for (py::handle future : futures.attr("as_completed")(future_to_idx)) {
      size_t idx = py::cast<size_t>(future_to_idx[future]);
      py::object result = future.attr("result")();
      out[idx] = result;
      report_outcome(breaker, result);
      if (Progress* bar = batch_progress()) bar->step(result);
    }
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) {
      // Leaving the pool waits for every submitted document, as a with-block would.
      vx::call_quietly(pool, "shutdown", py::bool_(true));
      throw;
    }
    // Interrupted (Ctrl-C): the documents not started are cancelled and those in flight
    // are left to end on their own threads, so the interrupt reaches the caller now;
    // what finished travels with it, in input order, as `completed`.
    try {
      pool.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
    } catch (py::error_already_set&) {
    }
    attach_completed(e, out);
    throw;
  } catch (...) {
    vx::call_quietly(pool, "shutdown", py::bool_(true));
    throw;
  }
  pool.attr("__exit__")(py::none(), py::none(), py::none());
  return out;
}

py::object process_batch(py::object self, py::object documents, py::object questions, py::object classify,
                         py::object max_workers, py::object show_progress) {
  check_batch_args(documents, questions);
  long long workers = 0;
  if (!max_workers.is_none()) {
    workers = PyBool_Check(max_workers.ptr()) ? (max_workers.ptr() == Py_True ? 1 : 0)
                                              : vx::arg_int_trunc(max_workers, "max_workers");
  }
  py::bool_ flag(truthy(classify));
  py::list docs = py::reinterpret_borrow<py::list>(documents);

  py::object breaker = breaker_of(self);
  if (!breaker.is_none()) breaker.attr("reset")();

  std::unique_ptr<Progress> bar;
  if (truthy(show_progress)) bar = std::make_unique<Progress>(docs.size());
  struct Scope {
    Progress* previous;
    explicit Scope(Progress* p) : previous(std::exchange(t_progress, p)) {}
    ~Scope() { t_progress = previous; }
  } scope(bar.get());

  if (workers < 2) return self.attr("_process_batch_sequential")(docs, questions, flag);
  return self.attr("_process_batch_parallel")(docs, questions, flag, py::int_(workers));
}

}  // namespace

void init_batch(vx::PyClass& cls) {
  cls.def("process_batch", &process_batch, py::arg("self"), py::arg("documents"),
          py::arg("questions") = py::none(), py::arg("classify") = false, py::arg("max_workers") = py::none(),
          py::kw_only(), py::arg("show_progress") = false,
          "Processes a list of documents, sequentially or on max_workers threads, and "
          "returns one ProcessingResult per document in input order.");
  cls.def("_process_batch_sequential", &process_batch_sequential, py::arg("self"), py::arg("documents"),
          py::arg("questions"), py::arg("classify"));
  cls.def("_process_batch_parallel", &process_batch_parallel, py::arg("self"), py::arg("documents"),
          py::arg("questions"), py::arg("classify"), py::arg("max_workers"));
  cls.def("_process_single_safe", &process_single_safe, py::arg("self"), py::arg("doc"), py::arg("questions"),
          py::arg("classify"));
  cls.def("_make_circuit_open_result", &make_circuit_open_result, py::arg("self"), py::arg("doc"));
}

}  // namespace vx::reader
