// OCR-aware PDF loading: each page keeps its own text when it has enough of it, and
// is otherwise rendered and read by the cloud OCR, the vision model, or both.
#include <map>
#include <vector>

#include "bridge/ocr_loader_kwargs.hpp"
#include "core/ocr_rules.hpp"
#include "ocr/ocr.hpp"
#include "ocr/tesseract.hpp"

namespace vx::ocr {

bool is_path(py::handle source) {
  return is_str(source) ||
         PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source.ptr())), "__fspath__");
}

namespace {

namespace rules = core::ocr;

constexpr const char* kDefaultName = "document.pdf";

// The file name shown in log lines: the last path component for a path, else the
// caller's filename or "document.pdf".
std::string display_name(py::handle source, const std::optional<std::string>& filename) {
  if (is_path(source)) {
    py::object text = late("os", "fsdecode")(source);
    return rules::path_leaf(to_utf8(text));
  }
  return filename && !filename->empty() ? *filename : std::string(kDefaultName);
}

py::object make_page(py::handle text, long long page, const char* source, std::optional<bool> ocr_failed,
                     const char* engine = nullptr) {
  py::dict metadata;
  metadata["page"] = page;
  metadata["source"] = source;
  if (ocr_failed) metadata["ocr_failed"] = py::bool_(*ocr_failed);
  if (engine) metadata["ocr_engine"] = engine;
  return ns.call("Document", py::arg("text") = text, py::arg("metadata") = metadata);
}

py::list load_pdf_with_ocr(py::object source, py::object use_azure_obj, py::object filename_obj,
                           py::object ocr_fallback_obj, py::object llm_caller, py::object provider,
                           py::object google_client, py::object google_model, py::object ocr_engine) {
  std::optional<std::string> filename = arg_opt_str(filename_obj, "filename");
  std::string fallback = arg_str(ocr_fallback_obj, "ocr_fallback");
  const bool tesseract = ocr_engine_of(ocr_engine, "ocr_engine") == "tesseract";
  arg_str(provider, "provider");
  arg_opt_str(google_model, "google_model");
  bool use_azure = arg_bool(use_azure_obj, "use_azure");
  bool caller_given = truthy(llm_caller);
  bool caller_not_none = !llm_caller.is_none();
  rules::Fallback mode = rules::fallback_mode(fallback);

  py::object fitz = ns.get("fitz");
  py::object doc;
  py::object pdf = source;  // what the Tesseract workers open: the path or the bytes
  std::string name;
  if (is_path(source)) {
    doc = fitz.attr("open")(source);
    name = display_name(source, std::nullopt);
  } else {
    py::object data = ns.call("_ensure_bytes", source);
    pdf = data;
    doc = fitz.attr("open")(py::arg("stream") = data, py::arg("filetype") = "pdf");
    name = display_name(source, filename);
  }
  long long page_count = doc.attr("page_count").cast<long long>();
  log_text("info", "Processando PDF com OCR: " + name + " (" + std::to_string(page_count) + " páginas)");

  auto read_with_vision = [&](const py::object& img) {
    return ns.call("perform_vision_fallback", img, py::arg("llm_caller") = llm_caller,
                   py::arg("image_format") = "png", py::arg("provider") = provider,
                   py::arg("google_client") = google_client, py::arg("google_model") = google_model);
  };

  // Each page's own text first; with Tesseract, the pages that need reading are read
  // together (in parallel) before the pages are put together in order.
  std::vector<py::str> own_texts;
  std::vector<std::size_t> own_lengths;
  std::vector<long long> to_read;
  for (long long page_num = 0; page_num < page_count; ++page_num) {
    py::object raw = doc.attr("load_page")(page_num).attr("get_text")();
    if (!is_str(raw)) throw py::type_error("page text must be str, not " + type_name(raw));
    py::str text;
    own_lengths.push_back(stripped(raw, &text));
    own_texts.push_back(text);
    if (rules::page_needs_rendering(own_lengths.back())) to_read.push_back(page_num);
  }
  std::map<long long, py::object> local;
  const bool read_locally = tesseract && use_azure && !(mode == rules::Fallback::Force && caller_given);
  if (read_locally) local = read_with_tesseract(pdf, to_read);

  py::list pages;
  for (long long page_num = 0; page_num < page_count; ++page_num) {
    const long long number = page_num + 1;
    const std::string n = std::to_string(number);
    py::str text = own_texts[static_cast<size_t>(page_num)];
    std::size_t own_chars = own_lengths[static_cast<size_t>(page_num)];

    if (!rules::page_needs_rendering(own_chars)) {
      pages.append(make_page(text, number, "text", std::nullopt));
      continue;
    }

    log_text("info", "Renderizando página " + n + " para OCR...");
    // Tesseract renders the page itself: the image is made only for the other readers.
    py::object img;
    auto image = [&]() -> py::object {
      if (!img) img = ns.call("render_page_as_image", doc, page_num);
      return img;
    };
    if (!read_locally) image();
    py::object extracted = py::none();
    const char* read_by = "ocr";
    if (mode == rules::Fallback::Force && caller_given) {
      log_text("info", "Página " + n + ": usando Vision LLM (force)...");
      extracted = read_with_vision(image());
      read_by = "vision_fallback";
    } else {
      if (read_locally) {
        auto found = local.find(page_num);
        if (found != local.end()) extracted = found->second;
      } else if (use_azure) {
        extracted = ns.call("perform_azure_ocr", image(), "png");
      }
      if (!truthy(extracted) && mode == rules::Fallback::Auto && caller_given) {
        log_text("info", "Página " + n + ": OCR falhou, tentando Vision LLM...");
        extracted = read_with_vision(image());
        read_by = "vision_fallback";
      }
    }

    bool got_text = truthy(extracted);
    py::object final_text = text;
    if (got_text) {
      if (!is_str(extracted)) {
        throw py::type_error("page reading must return str, not " + type_name(extracted));
      }
      // The page's own short text stays in front of what was read from its image.
      final_text = py_strip(text + py::str("\n\n") + extracted);
    }
    rules::PageLabel label = rules::label_page(use_azure, mode, caller_not_none, read_by, extracted.is_none(),
                                               got_text);
    if (label.ocr_failed) {
      log.warning("Página %d: OCR não retornou texto; seguindo com %d chars de resíduo.", number, own_chars);
    }
    Py_ssize_t final_chars = PyUnicode_GET_LENGTH(final_text.ptr());
    if (final_chars > 0) {
      const bool by_tesseract = read_locally && got_text && std::string(read_by) == "ocr";
      pages.append(make_page(final_text, number, label.source, label.ocr_failed,
                             by_tesseract ? "tesseract" : nullptr));
      log_text("info", "Página " + n + ": " + std::to_string(final_chars) + " chars via " + label.source);
    }
  }
  doc.attr("close")();
  return pages;
}

py::object process_pdf_smart(py::object source, py::object min_chars, py::object filename_obj,
                             py::object ocr_fallback, py::object llm_caller, py::object provider,
                             py::object google_client, py::object google_model, py::object ocr_engine) {
  const std::string engine = ocr_engine_of(ocr_engine, "ocr_engine");
  arg_int(min_chars, "min_chars");
  std::optional<std::string> filename = arg_opt_str(filename_obj, "filename");
  arg_str(ocr_fallback, "ocr_fallback");
  arg_str(provider, "provider");
  arg_opt_str(google_model, "google_model");

  py::object needs_ocr = ns.get("needs_ocr");
  py::object load_pdf = ns.get("load_pdf");
  std::string name = display_name(source, filename);

  // The utilities take a path or the PDF's bytes; a stream is read once here, so
  // that the OCR check does not leave nothing for the loading that follows.
  if (!is_path(source) && !PyBytes_Check(source.ptr())) {
    source = ns.call("_ensure_bytes", source);
  }
  if (truthy(needs_ocr(source, min_chars))) {
    log_text("info", "PDF " + name + " precisa de OCR");
    py::dict kwargs = ocr_loader_kwargs({.filename = filename_obj,
                                         .ocr_fallback = ocr_fallback,
                                         .llm_caller = llm_caller,
                                         .provider = provider,
                                         .google_client = google_client,
                                         .google_model = google_model,
                                         .ocr_engine = py::str(engine)});
    return ns.get("load_pdf_with_ocr")(source, **kwargs);
  }
  py::object shown = filename && !filename->empty() ? filename_obj : py::str(kDefaultName);
  return load_pdf(source, py::arg("filename") = shown);
}

}  // namespace

void init_loader(py::module_& m) {
  m.def("load_pdf_with_ocr", &load_pdf_with_ocr, py::arg("source"), py::arg("use_azure") = true,
        py::arg("filename") = py::none(), py::arg("ocr_fallback") = "off", py::arg("llm_caller") = py::none(),
        py::arg("provider") = "openai", py::arg("google_client") = py::none(),
        py::arg("google_model") = py::none(), py::kw_only(), py::arg("ocr_engine") = py::none(),
        "Page documents of a PDF (path or bytes), reading short pages from their image. "
        "Errors of the PDF library reach the caller.");
  m.def("process_pdf_smart", &process_pdf_smart, py::arg("source"), py::arg("min_chars") = 100,
        py::arg("filename") = py::none(), py::arg("ocr_fallback") = "off", py::arg("llm_caller") = py::none(),
        py::arg("provider") = "openai", py::arg("google_client") = py::none(),
        py::arg("google_model") = py::none(), py::kw_only(), py::arg("ocr_engine") = py::none(),
        "Page documents of a PDF: the plain loader when its text layer suffices, the "
        "OCR-aware loader otherwise.");
}

}  // namespace vx::ocr
