// Shared by the files of the vorlex.ocr extension module.
//
//   render.cpp     render_page_as_image
//   cloud_ocr.cpp  _is_transient_azure_error, perform_azure_ocr (tenacity policy)
//   vision.cpp     perform_vision_fallback
//   loader.cpp     load_pdf_with_ocr, process_pdf_smart
//   module.cpp     the module block: namespace, constants, then each init_* in turn
#pragma once

#include <optional>
#include <string>

#include "bridge/bridge.hpp"

namespace vx::ocr {

// The module's namespace: every collaborator (fitz, Pillow, the Azure client, the
// utilities, the sibling functions) is read from it at the moment of each call.
extern Namespace ns;
extern const Logger log;

void init_render(py::module_& m);
void init_cloud_ocr(py::module_& m);
void init_vision(py::module_& m);
void init_loader(py::module_& m);

// A log line whose text is already built (UTF-8, lone surrogates allowed): logged
// as the message itself, with no %-arguments.
void log_text(const char* level, const std::string& text);

// A path as text or a path object (anything whose type has __fspath__), as opposed to
// a PDF's bytes or a stream (loader.cpp).
bool is_path(py::handle source);

// Python truth value of an object (errors of __bool__ propagate).
bool truthy(py::handle h);

// The message of a caught failure, as str(exc) gives it. Errors that are not
// Exception subclasses (KeyboardInterrupt, SystemExit) are never swallowed: for
// those this rethrows.
std::string failure_text_or_rethrow();

// str.strip() of a Python str, as a new str.
py::str py_strip(py::handle text);
// Length of str.strip() in code points, with the stripped text.
std::size_t stripped(py::handle text, py::str* out);

}  // namespace vx::ocr
