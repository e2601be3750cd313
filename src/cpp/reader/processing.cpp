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
#include <string>

#include <algorithm>
#include <vector>

#include "reader/reader.hpp"
#include "reader/template.hpp"

namespace vx::reader {
namespace {

using namespace pybind11::literals;

const char* const kPageSeparator = "\n\n---\n\n";

bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool str_equals(py::handle h, const char* text) {
  return vx::is_str(h) && vx::to_utf8(h) == text;
}

// ---------------------------------------------------------------------------------
// process

py::object process(py::object self, py::object document, py::object questions,
                   py::object classify, py::object filename) {
  if (!questions.is_none() && !PyList_Check(questions.ptr())) {
    vx::raise_type_error("questions", "list or None", questions);
  }
  vx::arg_opt_str(filename, "filename");
  const bool do_classify = truthy(classify);
  const bool loud = verbose(self);

  py::tuple resolved = self.attr("_resolve_document")(document, filename);
  if (py::len(resolved) != 4) {
    throw py::value_error("_resolve_document must return (content, metadata, document, name)");
  }
  py::object content = resolved[0];
  py::object metadata = resolved[1];
  py::object doc_meta = resolved[2];
  py::object display = resolved[3];

  self.attr("_reset_side_usage")();
  py::list to_run = self.attr("_select_questions")(questions);

  py::object cache = py::getattr(self, "_cache", py::none());
  py::object key = py::none();
  if (!cache.is_none()) {
    py::object cache_cls = ns.get("DocumentCache");
    py::object digest = cache_cls.attr("hash_document")(content);
    py::list fingerprints;
    for (py::handle q : py::iter(to_run)) fingerprints.append(q.attr("cache_fingerprint")());
    key = cache_cls.attr("build_key")(digest, fingerprints, self.attr("_model"),
                                      py::bool_(do_classify));
    py::object hit = cache.attr("get")(key);
    if (!hit.is_none()) {
      if (loud) logger.info(("Cache hit para " + vx::safe_str(display)).c_str());
      return hit;
    }
  }

  py::object pages = self.attr("_load_documents")(content, metadata, display);

  // How the page texts were obtained decides the document's OCR method; the vision
  // fallback wins over OCR when both occur.
  bool vision = false, ocr = false;
  for (py::handle page : pages) {
    py::object md = py::getattr(page, "metadata", py::none());
    if (md.is_none() || !truthy(md)) continue;
    py::object source = md.attr("get")("source", "text");
    if (str_equals(source, "vision_fallback")) vision = true;
    else if (str_equals(source, "ocr")) ocr = true;
  }
  if (vision) doc_meta.attr("ocr_method") = "vision_fallback";
  else if (ocr) doc_meta.attr("ocr_method") = "ocr";

  py::tuple run = self.attr("_run_questions")(to_run, pages);
  py::object results = run[0];

  py::object classification = py::none();
  if (do_classify && !py::getattr(self, "_classification", py::none()).is_none()) {
    py::dict info;
    info["filename"] = display;
    info["doc_type"] = metadata[py::str("doc_type")];
    classification = self.attr("_classify_results")(results, info);
  }

  py::object totals = self.attr("_aggregate_metrics")(results, run[1], run[2], run[3]);
  py::object result = ns.get("ProcessingResult")(
      "document"_a = doc_meta, "results"_a = results, "classification"_a = classification,
      "total_metrics"_a = totals);
  if (!cache.is_none() && !key.is_none()) cache.attr("put")(key, result);
  return result;
}

// ---------------------------------------------------------------------------------
// _run_questions

py::tuple run_questions(py::object self, py::object questions_to_run, py::object documents) {
  py::list pages = py::list(documents);
  const Py_ssize_t n = static_cast<Py_ssize_t>(pages.size());
  const bool loud = verbose(self);
  py::object filter = ns.get("filter_relevant_pages");
  py::object result_cls = ns.get("Result");
  py::str separator = vx::from_utf8(kPageSeparator);

  // Pages of the OCR loader carry their real page number; a blank scanned page is
  // left out, so a page range is applied to those numbers, not to positions.
  std::vector<long long> numbers;
  long long highest = 0;
  bool numbered = n > 0;
  for (Py_ssize_t i = 0; numbered && i < n; ++i) {
    py::object meta = py::getattr(pages[static_cast<size_t>(i)], "metadata", py::none());
    py::object number = vx::is_mapping(meta) ? vx::mapping_get(meta, "page", py::none()) : py::object(py::none());
    if (!vx::is_int(number)) {
      numbered = false;
      break;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow || v < 1) {
      numbered = false;
      break;
    }
    numbers.push_back(v);
    highest = std::max(highest, v);
  }

  py::list results;
  py::object total_time = py::float_(0.0);
  py::object total_tokens = py::int_(0);
  py::object total_cost = py::float_(0.0);

  for (py::handle question : questions_to_run) {
    py::object qid = question.attr("config").attr("id");
    py::list candidates = pages;

    py::object page_range = py::getattr(question, "page_range", py::none());
    if (!page_range.is_none()) {
      const Py_ssize_t total = numbered ? static_cast<Py_ssize_t>(highest) : n;
      py::tuple picked = page_range.attr("get_page_indices")(total);
      py::list indices = py::list(picked[0]);
      if (!truthy(picked[1])) {
        logger.warning("%s: page range ignorado, documento tem %d paginas; a pergunta vai ler "
                       "o documento inteiro.",
                       qid, total);
      } else {
        py::list chosen;
        for (py::handle idx : indices) {
          Py_ssize_t i = py::cast<Py_ssize_t>(idx);
          if (!numbered) {
            if (i >= 0 && i < n) chosen.append(pages[static_cast<size_t>(i)]);
            continue;
          }
          for (Py_ssize_t k = 0; k < n; ++k) {
            if (numbers[static_cast<size_t>(k)] - 1 == i) chosen.append(pages[static_cast<size_t>(k)]);
          }
        }
        candidates = chosen;
        if (loud && indices.size() > 0) {
          long long first = py::cast<long long>(indices[0]) + 1;
          long long last = py::cast<long long>(indices[indices.size() - 1]) + 1;
          logger.info(("  " + vx::safe_str(qid) + ": Page range aplicado - páginas " +
                       std::to_string(first) + " a " + std::to_string(last))
                          .c_str());
        }
      }
    }

    py::tuple filtered = filter(candidates, question.attr("keywords"));
    py::list selected = py::list(filtered[0]);
    if (selected.size() == 0) {
      results.append(result_cls("question_id"_a = qid,
                                "question_name"_a = question.attr("config").attr("name"),
                                "answer"_a = "Sem páginas relevantes", "status"_a = "NO_DATA",
                                "pages_used"_a = 0, "pages_total"_a = n));
      continue;
    }

    py::list texts;
    for (py::handle page : py::iter(selected)) texts.append(page.attr("text"));
    py::object joined = separator.attr("join")(texts);

    py::object result = self.attr("_execute_question")(joined, question);
    result.attr("pages_used") = py::int_(selected.size());
    result.attr("pages_total") = py::int_(n);
    results.append(result);

    py::object metrics = result.attr("metrics");
    total_time = total_time + metrics.attr("time_seconds");
    total_tokens = total_tokens + metrics.attr("tokens");
    total_cost = total_cost + metrics.attr("cost_usd");

    if (loud) {
      py::object answer = py::str(result.attr("answer"));
      py::object head = answer[py::slice(0, 50, 1)];
      logger.info(("  " + vx::safe_str(qid) + ": " + vx::safe_str(head) + "...").c_str());
    }
  }
  return py::make_tuple(results, total_time, total_tokens, total_cost);
}

// ---------------------------------------------------------------------------------
// _classify_results

py::dict classification_failure(py::object err) {
  logger.error(("Erro na classificação: " + vx::safe_str(err)).c_str());
  py::dict failure;
  failure["error"] = "Erro na classificacao";
  failure["error_type"] = vx::type_name(err);
  return failure;
}

py::object classify_results(py::object self, py::object results, py::object doc_info) {
  py::object classification = py::getattr(self, "_classification", py::none());
  if (classification.is_none()) return py::none();
  try {
    py::dict data;
    for (py::handle r : results) data[r.attr("question_id")] = r.attr("answer");
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
    py::str prompt =
        format_template(classification.attr("user_prompt"), "dados", vx::from_utf8(lines));

    py::list messages = chat_messages(classification.attr("system_prompt"), prompt);

    py::object response =
        self.attr("_call_llm")(messages, classification.attr("response_model"));
    self.attr("_record_side_usage")(response);

    py::object parsed = structured_answer(response.attr("choices")[py::int_(0)].attr("message"));
    if (py::hasattr(parsed, "model_dump")) return parsed.attr("model_dump")();
    return py::dict(parsed);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return classification_failure(e.value());
  } catch (py::builtin_exception& e) {
    // A conversion error raised in C++ (a field of the wrong type) fails the same way.
    e.set_error();
    py::error_already_set converted;
    return classification_failure(converted.value());
  }
}

}  // namespace

void init_processing(vx::PyClass& cls) {
  cls.def("process", &process, py::arg("self"), py::arg("document"),
          py::arg("questions") = py::none(), py::arg("classify") = false,
          py::arg("filename") = py::none(),
          "Answers the selected questions about one document (path, URL, bytes or stream) "
          "and returns a ProcessingResult.");
  cls.def("_run_questions", &run_questions, py::arg("self"), py::arg("questions_to_run"),
          py::arg("documents"));
  cls.def("_classify_results", &classify_results, py::arg("self"), py::arg("results"),
          py::arg("doc_info"));
}

}  // namespace vx::reader
