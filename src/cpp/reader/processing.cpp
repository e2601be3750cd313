// Processing one document from end to end.
//
//   process             resolve, select, cache lookup, load, run the questions,
//                       classify, total, cache store
//   _run_questions      per question: page range, keyword filter, joined page text,
//                       _execute_question; the run totals
//   _classify_results   the optional classification of the document from the answers
//
// Every step is a method reached through attribute lookup on the reader, so a caller
// (or a test) that replaces one of them on an instance or a subclass is heard.
#include <algorithm>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "reader/steps.hpp"
#include "reader/structured.hpp"
#include "reader/template.hpp"

namespace vx::reader {

using namespace pybind11::literals;

namespace {

const char* const kPageSeparator = "\n\n---\n\n";

bool str_equals(py::handle h, const char* text) { return vx::is_str(h) && vx::to_utf8(h) == text; }

}  // namespace

// ---------------------------------------------------------------------------------
// process

void check_process_args(py::handle questions, py::handle filename) {
  if (!questions.is_none() && !PyList_Check(questions.ptr())) {
    vx::raise_type_error("questions", "list or None", questions);
  }
  vx::arg_opt_str(filename, "filename");
}

// Where and how the questions are asked, for the cache key: two readers that differ only
// in their server (provider, base URL, Azure endpoint and deployment) or in their token
// limit (which a question without its own takes, and which may cut answers short) must
// not answer each other's questions. Keys of readers without a limit stay as they were;
// API keys are never part of it.
static py::str endpoint_of(py::handle self) {
  std::string out = vx::safe_str(py::getattr(self, "_provider", py::none()));
  for (const char* campo : {"_base_url", "_grok_base_url", "_azure_endpoint", "_azure_deployment"}) {
    py::object v = py::getattr(self, campo, py::none());
    out += "|";
    if (!v.is_none()) out += vx::safe_str(v);
  }
  py::object limit = py::getattr(self, "_max_tokens", py::none());
  if (!limit.is_none()) out += "|max_tokens=" + vx::safe_str(limit);
  return py::str(out);
}

ProcessStart begin_process(py::object self, py::object document, py::object questions, py::object classify,
                           py::object filename, bool log_cache_hit) {
  check_process_args(questions, filename);
  ProcessStart st;
  st.classify = truthy(classify);

  py::tuple resolved = self.attr("_resolve_document")(document, filename);
  if (py::len(resolved) != 4) {
    throw py::value_error("_resolve_document must return (content, metadata, document, name)");
  }
  st.content = resolved[0];
  st.metadata = resolved[1];
  st.doc_meta = resolved[2];
  st.display = resolved[3];

  self.attr("_reset_side_usage")();
  st.to_run = self.attr("_select_questions")(questions);

  st.cache = py::getattr(self, "_cache", py::none());
  st.key = py::none();
  if (!st.cache.is_none()) {
    py::object cache_cls = ns.get("DocumentCache");
    py::object digest = cache_cls.attr("hash_document")(st.content);
    py::list fingerprints;
    for (py::handle q : py::iter(st.to_run)) fingerprints.append(q.attr("cache_fingerprint")());
    st.key = cache_cls.attr("build_key")(digest, fingerprints, self.attr("_model"), py::bool_(st.classify),
                                         py::arg("endpoint") = endpoint_of(self));
    py::object hit = st.cache.attr("get")(st.key);
    if (!hit.is_none()) {
      if (log_cache_hit && verbose(self)) {
        logger.info(("Cache hit para " + vx::safe_str(st.display)).c_str());
      }
      // The entry is keyed by content: the document it describes is this call's (its
      // name above all), with how its pages were read, which only loading could tell.
      py::object cached = py::getattr(hit, "document", py::none());
      if (!cached.is_none()) {
        st.doc_meta.attr("ocr_method") = py::getattr(cached, "ocr_method", py::none());
      }
      hit.attr("document") = st.doc_meta;
      // Served, not spent: the totals a caller adds up as spending skip it.
      if (PyObject_SetAttrString(hit.ptr(), "from_cache", Py_True) < 0) PyErr_Clear();
      st.hit = hit;
      return st;
    }
  }

  st.pages = self.attr("_load_documents")(st.content, st.metadata, st.display);

  // How the page texts were obtained decides the document's OCR method; the vision
  // fallback wins over OCR when both occur.
  bool vision = false, ocr = false;
  for (py::handle page : py::iter(st.pages)) {
    py::object md = py::getattr(page, "metadata", py::none());
    if (md.is_none() || !truthy(md)) continue;
    py::object source = md.attr("get")("source", "text");
    if (str_equals(source, "vision_fallback")) vision = true;
    else if (str_equals(source, "ocr")) ocr = true;
  }
  if (vision) st.doc_meta.attr("ocr_method") = "vision_fallback";
  else if (ocr) st.doc_meta.attr("ocr_method") = "ocr";
  return st;
}

// Only a settled result is kept: every question answered ("OK") or found nothing to
// read ("NO_DATA"), and the classification, when asked for, did not fail. A rate
// limit or an outage served from the cache would outlive the outage.
bool cacheable(py::handle results, py::handle classification) {
  for (py::handle r : py::iter(results)) {
    py::object status = r.attr("status");
    if (!str_equals(status, "OK") && !str_equals(status, "NO_DATA")) return false;
  }
  if (PyDict_Check(classification.ptr())) {
    py::object error = vx::mapping_get(classification, "error", py::none());
    if (str_equals(error, "Erro na classificacao") &&
        PyDict_Contains(classification.ptr(), py::str("error_type").ptr()) == 1) {
      return false;
    }
  }
  return true;
}

py::object classification_of(py::object self) { return py::getattr(self, "_classification", py::none()); }

py::object classification_request(py::object self, const ProcessStart& st, py::object results) {
  if (!st.classify || classification_of(self).is_none()) return py::none();
  py::dict info;
  info["filename"] = st.display;
  info["doc_type"] = st.metadata[py::str("doc_type")];
  return info;
}

py::object finish_process(py::object self, const ProcessStart& st, py::tuple run, py::object classification) {
  py::object results = run[0];
  py::object totals = self.attr("_aggregate_metrics")(results, run[1], run[2], run[3]);
  py::object result = ns.get("ProcessingResult")("document"_a = st.doc_meta, "results"_a = results,
                                                 "classification"_a = classification,
                                                 "total_metrics"_a = totals);
  if (!st.cache.is_none() && !st.key.is_none() && cacheable(results, classification)) {
    st.cache.attr("put")(st.key, result);
  }
  return result;
}

namespace {

py::object process(py::object self, py::object document, py::object questions, py::object classify,
                   py::object filename) {
  ProcessStart st = begin_process(self, document, questions, classify, filename, true);
  if (st.hit) return st.hit;
  py::tuple run = self.attr("_run_questions")(st.to_run, st.pages);
  py::object classification = py::none();
  py::object info = classification_request(self, st, run[0]);
  if (!info.is_none()) classification = self.attr("_classify_results")(run[0], info);
  return finish_process(self, st, run, classification);
}

}  // namespace

// ---------------------------------------------------------------------------------
// _run_questions

PageSet page_set(py::object documents) {
  PageSet doc;
  doc.pages = vx::list_copy(documents);
  doc.count = static_cast<Py_ssize_t>(doc.pages.size());
  // Pages of the OCR loader carry their real page number; a blank scanned page is
  // left out, so a page range is applied to those numbers, not to positions.
  doc.numbered = doc.count > 0;
  for (Py_ssize_t i = 0; doc.numbered && i < doc.count; ++i) {
    py::object meta = py::getattr(doc.pages[static_cast<size_t>(i)], "metadata", py::none());
    py::object number = vx::is_mapping(meta) ? vx::mapping_get(meta, "page", py::none())
                                             : py::object(py::none());
    if (!vx::is_int(number)) {
      doc.numbered = false;
      break;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow || v < 1) {
      doc.numbered = false;
      break;
    }
    doc.numbers.push_back(v);
    doc.highest = std::max(doc.highest, v);
  }
  if (!doc.numbered) doc.numbers.clear();
  return doc;
}

Selection select_pages(py::object self, py::object question, const PageSet& doc, bool log) {
  const Py_ssize_t n = doc.count;
  py::object qid = question.attr("config").attr("id");
  py::list candidates = doc.pages;

  py::object page_range = py::getattr(question, "page_range", py::none());
  if (!page_range.is_none()) {
    const Py_ssize_t total = doc.numbered ? static_cast<Py_ssize_t>(doc.highest) : n;
    py::tuple picked = page_range.attr("get_page_indices")(total);
    py::list indices = vx::list_copy(picked[0]);
    if (!truthy(picked[1])) {
      if (log) {
        logger.warning(
            "%s: page range ignorado, documento tem %d paginas; a pergunta vai ler "
            "o documento inteiro.",
            qid, total);
      }
    } else {
      py::list chosen;
      for (py::handle idx : indices) {
        Py_ssize_t i = py::cast<Py_ssize_t>(idx);
        if (!doc.numbered) {
          if (i >= 0 && i < n) chosen.append(doc.pages[static_cast<size_t>(i)]);
          continue;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
          if (doc.numbers[static_cast<size_t>(k)] - 1 == i) {
            chosen.append(doc.pages[static_cast<size_t>(k)]);
          }
        }
      }
      candidates = chosen;
      if (log && verbose(self) && indices.size() > 0) {
        long long first = py::cast<long long>(indices[0]) + 1;
        long long last = py::cast<long long>(indices[indices.size() - 1]) + 1;
        logger.info(("  " + vx::safe_str(qid) + ": Page range aplicado - páginas " + std::to_string(first) +
                     " a " + std::to_string(last))
                        .c_str());
      }
    }
  }

  Selection out;
  py::tuple filtered = ns.get("filter_relevant_pages")(candidates, question.attr("keywords"));
  out.pages = vx::list_copy(filtered[0]);
  if (out.pages.size() == 0) {
    out.no_data = ns.get("Result")("question_id"_a = qid,
                                   "question_name"_a = question.attr("config").attr("name"),
                                   "answer"_a = "Sem páginas relevantes", "status"_a = "NO_DATA",
                                   "pages_used"_a = 0, "pages_total"_a = n);
  }
  return out;
}

py::object joined_text(const py::list& pages) {
  py::list texts;
  for (py::handle page : py::iter(pages)) texts.append(page.attr("text"));
  return vx::from_utf8(kPageSeparator).attr("join")(texts);
}

void RunTotals::add(py::object result, Py_ssize_t pages_used, Py_ssize_t pages_total) {
  result.attr("pages_used") = py::int_(pages_used);
  result.attr("pages_total") = py::int_(pages_total);
  results.append(result);
  py::object metrics = result.attr("metrics");
  time = time + metrics.attr("time_seconds");
  tokens = tokens + metrics.attr("tokens");
  cost = cost + metrics.attr("cost_usd");
}

py::tuple RunTotals::as_tuple() const { return py::make_tuple(results, time, tokens, cost); }

long long question_concurrency(py::handle self) {
  py::object v = py::getattr(self, "_question_concurrency", py::int_(1));
  return std::max(1LL, vx::arg_int(v, "_question_concurrency"));
}

namespace {

void log_answer(py::handle question, py::handle result) {
  py::object answer = py::str(result.attr("answer"));
  py::object head = answer[py::slice(0, 50, 1)];
  logger.info(
      ("  " + vx::safe_str(question.attr("config").attr("id")) + ": " + vx::safe_str(head) + "...").c_str());
}

// One question after another: each question's lines (its page range, its answer) in
// turn.
py::tuple run_one_at_a_time(py::object self, py::object questions_to_run, const PageSet& doc) {
  const bool loud = verbose(self);
  RunTotals run;
  for (py::handle q : py::iter(questions_to_run)) {
    py::object question = py::reinterpret_borrow<py::object>(q);
    Selection sel = select_pages(self, question, doc, true);
    if (sel.no_data) {
      run.results.append(sel.no_data);
      continue;
    }
    py::object result = self.attr("_execute_question")(joined_text(sel.pages), question);
    run.add(result, static_cast<Py_ssize_t>(sel.pages.size()), doc.count);
    if (loud) log_answer(question, result);
  }
  return run.as_tuple();
}

// Up to `width` questions at once on a thread pool. Pages are chosen first, in
// selection order, on this thread (their log lines come first); the answers are then
// taken, totalled and logged in selection order, so the results, the totals and the
// answer lines are those of one question at a time. Every line of a question carries its
// id. Each question runs in a copy of this thread's context: the run's side usage is the
// one accumulator. A question that raised (only a replaced step can) raises here, the
// first in selection order, once every question has ended.
py::tuple run_side_by_side(py::object self, py::object questions_to_run, const PageSet& doc,
                           long long width) {
  const bool loud = verbose(self);
  struct Asked {
    py::object question;
    Selection sel;
    py::object future;
    py::object answered;  // asked before the others
  };
  std::vector<Asked> asked;
  for (py::handle q : vx::list_copy(questions_to_run)) {
    py::object question = py::reinterpret_borrow<py::object>(q);
    asked.push_back({question, select_pages(self, question, doc, true), py::none(), py::object()});
  }
  // The first question that must learn the server's structured mode is asked alone,
  // before the others (structured.hpp).
  for (Asked& a : asked) {
    if (a.sel.no_data || !learns_structured_mode(self, a.question)) continue;
    a.answered = self.attr("_execute_question")(joined_text(a.sel.pages), a.question);
    break;
  }
  py::list calls;
  std::vector<Asked*> on_threads;
  for (Asked& a : asked) {
    if (a.sel.no_data || a.answered) continue;
    py::object context = ns.get("contextvars").attr("copy_context")();
    calls.append(py::make_tuple(context.attr("run"), self.attr("_execute_question"), joined_text(a.sel.pages),
                                a.question));
    on_threads.push_back(&a);
  }
  if (!on_threads.empty()) {
    py::list done = vx::run_on_threads(ns.get("concurrent"), calls, width, "vorlex-question");
    for (size_t i = 0; i < on_threads.size(); ++i) on_threads[i]->future = done[i];
  }
  RunTotals run;
  for (Asked& a : asked) {
    if (a.sel.no_data) {
      run.results.append(a.sel.no_data);
      continue;
    }
    py::object result = a.answered ? a.answered : py::object(a.future.attr("result")());
    run.add(result, static_cast<Py_ssize_t>(a.sel.pages.size()), doc.count);
    if (loud) log_answer(a.question, result);
  }
  return run.as_tuple();
}

py::tuple run_questions(py::object self, py::object questions_to_run, py::object documents) {
  const PageSet doc = page_set(documents);
  const long long width = question_concurrency(self);
  if (width <= 1) return run_one_at_a_time(self, questions_to_run, doc);
  return run_side_by_side(self, questions_to_run, doc, width);
}

}  // namespace

// ---------------------------------------------------------------------------------
// _classify_results

py::dict classification_failure(const char* prefix, py::object err) {
  logger.error((prefix + vx::safe_str(err)).c_str());
  py::dict failure;
  failure["error"] = "Erro na classificacao";
  failure["error_type"] = vx::type_name(err);
  return failure;
}

py::list classification_messages(py::object classification, py::object results, py::object doc_info) {
  py::dict data;
  for (py::handle r : py::iter(results)) data[r.attr("question_id")] = r.attr("answer");
  data["_documento"] = doc_info.attr("get")("filename", "");
  data["_tipo"] = doc_info.attr("get")("doc_type", "");

  std::string lines;
  bool first = true;
  for (auto item : data) {
    if (!first) lines += "\n";
    first = false;
    lines += "- " + vx::safe_str(item.first) + ": " + vx::safe_str(item.second);
  }
  // The same template rules as the questions' prompts: str.format with one field.
  py::str prompt = format_template(classification.attr("user_prompt"), "dados", vx::from_utf8(lines));
  return chat_messages(classification.attr("system_prompt"), prompt);
}

py::object classification_mapping(py::object response, py::object response_model) {
  py::object message = response.attr("choices")[py::int_(0)].attr("message");
  py::object parsed = truthy(response_model) ? structured_value(message, response_model)
                                             : py::object(message.attr("parsed"));
  if (py::hasattr(parsed, "model_dump")) return parsed.attr("model_dump")();
  return py::dict(parsed);
}

namespace {

py::object classify_results(py::object self, py::object results, py::object doc_info) {
  py::object classification = classification_of(self);
  if (classification.is_none()) return py::none();
  py::object error;
  try {
    py::list messages = classification_messages(classification, results, doc_info);
    py::object response = self.attr("_call_llm")(messages, classification.attr("response_model"));
    self.attr("_record_side_usage")(response);
    return classification_mapping(response, classification.attr("response_model"));
  } catch (...) {
    error = error_in_flight();
  }
  return classification_failure("Erro na classificação: ", error);
}

}  // namespace

void init_processing(vx::PyClass& cls) {
  cls.def("process", &process, py::arg("self"), py::arg("document"), py::arg("questions") = py::none(),
          py::arg("classify") = false, py::arg("filename") = py::none(),
          "Answers the selected questions about one document (path, URL, bytes or stream) "
          "and returns a ProcessingResult.");
  cls.def("_run_questions", &run_questions, py::arg("self"), py::arg("questions_to_run"),
          py::arg("documents"));
  cls.def("_classify_results", &classify_results, py::arg("self"), py::arg("results"), py::arg("doc_info"));
}

}  // namespace vx::reader
