// The keyword arguments of the OCR-aware loaders of vorlex.ocr (process_pdf_smart and
// load_pdf_with_ocr), built in one place for the two modules that call them.
//
// The reader passes its settings to process_pdf_smart, and process_pdf_smart passes the
// same settings on to load_pdf_with_ocr when a PDF needs OCR: one set of keywords, one
// builder. The functions called are late-bound names that users patch, so the keywords
// keep their order and their one rule (the cloud engine is never named; see below).
#pragma once

#include "bridge/bridge.hpp"

namespace vx {

// How the short pages of a PDF are read, as the loaders take it. Each field is the
// Python object given for the keyword of the same name.
struct OcrLoaderOptions {
  py::object filename;
  py::object ocr_fallback;
  py::object llm_caller;
  py::object provider;
  py::object google_client;
  py::object google_model;
  py::object ocr_engine;  // None or "azure" for the cloud engine
};

// filename, ocr_fallback, llm_caller, provider, google_client, google_model, in that
// order, then ocr_engine. The cloud engine ("azure", or None for the default) keeps
// the loaders' historical call, with no ocr_engine keyword; the local engine is named.
inline py::dict ocr_loader_kwargs(const OcrLoaderOptions& options) {
  py::dict kwargs;
  kwargs["filename"] = options.filename;
  kwargs["ocr_fallback"] = options.ocr_fallback;
  kwargs["llm_caller"] = options.llm_caller;
  kwargs["provider"] = options.provider;
  kwargs["google_client"] = options.google_client;
  kwargs["google_model"] = options.google_model;
  const py::object& engine = options.ocr_engine;
  const bool cloud = engine.is_none() || (is_str(engine) && to_utf8(engine) == "azure");
  if (!cloud) kwargs["ocr_engine"] = engine;
  return kwargs;
}

}  // namespace vx
