// vorlex.ocr: reading PDF pages that have no usable text layer.
//
// Contents, in the order they are bound:
//   render_page_as_image      one page to PNG bytes (render.cpp)
//   _is_transient_azure_error whether another OCR attempt may help (cloud_ocr.cpp)
//   perform_azure_ocr         Azure AI Vision Read with its own retry policy
//   perform_vision_fallback   a vision-capable model reads the page (vision.cpp)
//   load_pdf_with_ocr         page by page: own text, cloud OCR, vision (loader.cpp)
//   process_pdf_smart         the reader's entry point
//
// Nothing heavy is imported when the module loads: PyMuPDF, Pillow, tenacity and
// llama_index are imported on first use and kept in the namespace under their usual
// names; the Azure client library, the document utilities and the Google provider
// are imported anew inside each call, so a missing library is a failed call, not a
// failed import of this module.
#include "bridge/signatures.hpp"
#include "core/ocr_rules.hpp"
#include "core/unicode.hpp"
#include "ocr/ocr.hpp"
#include "ocr/tesseract.hpp"

namespace vx::ocr {

Namespace ns;
const Logger log("vorlex.ocr");

void log_text(const char* level, const std::string& text) { log.logger().attr(level)(from_utf8(text)); }

bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::string failure_text_or_rethrow() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return safe_str(e.value());
  } catch (const py::builtin_exception& e) {
    return e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
}

py::str py_strip(py::handle text) {
  std::u32string t = uni::decode(to_utf8(text));
  return from_utf8(uni::encode(uni::strip(t)));
}

std::size_t stripped(py::handle text, py::str* out) {
  std::u32string t = uni::decode(to_utf8(text));
  std::u32string_view s = uni::strip(t);
  if (out) {
    // Most page texts need no stripping at all: keep the str the page gave.
    *out = s.size() == t.size() ? py::reinterpret_borrow<py::str>(text) : from_utf8(uni::encode(s));
  }
  return s.size();
}

}  // namespace vx::ocr

PYBIND11_MODULE(ocr, m) {
  using namespace vx::ocr;
  namespace rules = vx::core::ocr;
  m.doc() = "Page rendering, cloud OCR, the vision-model fallback and OCR-aware PDF loading.";
  ns.bind(m);

  // Imported on first use and kept (patchable as vorlex.ocr.<name>).
  ns.lazy("fitz", "pymupdf");
  ns.lazy("io", "io");
  ns.lazy("Image", "PIL.Image");
  ns.lazy("Document", "llama_index.core.schema", "Document");
  ns.lazy("retry", "tenacity", "retry");
  ns.lazy("stop_after_attempt", "tenacity", "stop_after_attempt");
  ns.lazy("wait_random_exponential", "tenacity", "wait_random_exponential");
  ns.lazy("retry_if_exception", "tenacity", "retry_if_exception");
  // Imported at every use: a patch in the source module counts as much as one here.
  ns.lazy("get_azure_config", "vorlex.config", "get_azure_config", false);
  ns.lazy("VISION_FALLBACK_PROMPT", "vorlex.config", "VISION_FALLBACK_PROMPT", false);
  ns.lazy("ImageAnalysisClient", "azure.ai.vision.imageanalysis", "ImageAnalysisClient", false);
  ns.lazy("VisualFeatures", "azure.ai.vision.imageanalysis.models", "VisualFeatures", false);
  ns.lazy("AzureKeyCredential", "azure.core.credentials", "AzureKeyCredential", false);
  ns.lazy("needs_ocr", "vorlex.utils", "needs_ocr", false);
  ns.lazy("load_pdf", "vorlex.utils", "load_pdf", false);
  ns.lazy("_ensure_bytes", "vorlex.utils", "_ensure_bytes", false);
  ns.lazy("call_vision", "vorlex.providers.google", "call_vision", false);

  m.attr("AZURE_OCR_TIMEOUT_SECONDS") = rules::kTimeoutSeconds;
  m.attr("MIN_DIM") = rules::kMinDim;
  m.attr("MAX_DIM") = rules::kMaxDim;
  // Options for every Azure client this module builds. The client library has a
  // retry policy of its own (three more requests per call, with back-off, on the
  // same transient failures); this module's policy is the only one, so that an image
  // costs at most three requests.
  py::dict client_options;
  client_options["retry_total"] = 0;
  m.attr("AZURE_CLIENT_OPTIONS") = client_options;

  // The Azure SDK logs every request and response at INFO; keep only its warnings.
  py::module_ logging = py::module_::import("logging");
  logging.attr("getLogger")("azure.core.pipeline.policies.http_logging_policy")
      .attr("setLevel")(logging.attr("WARNING"));
  logging.attr("getLogger")("vorlex.ocr");

  init_render(m);
  init_cloud_ocr(m);
  init_vision(m);
  init_loader(m);
  init_tesseract(m);
  vx::python_signatures(m);
}
