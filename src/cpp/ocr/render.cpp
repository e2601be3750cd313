// render_page_as_image: one PDF page as PNG bytes.
#include "core/ocr_rules.hpp"
#include "ocr/ocr.hpp"

namespace vx::ocr {
namespace {

// A page number outside 0 .. page_count - 1 is refused before the PDF library sees it
// (PyMuPDF counts a negative number from the end, and on an empty document never
// returns); other errors of the library (a closed document) reach the caller unchanged.
py::object render_page_as_image(py::object doc, py::object page_num, py::object dpi) {
  long long n = arg_int(page_num, "page_num");
  double d = arg_float(dpi, "dpi");
  long long count = arg_int(doc.attr("page_count"), "page_count");
  if (n < 0 || n >= count) {
    throw py::value_error("page_num " + std::to_string(n) + " is out of range: the document has " +
                          std::to_string(count) + " pages");
  }
  py::object page = doc.attr("load_page")(page_num);
  double zoom = d / core::ocr::kPointsPerInch;
  py::object matrix = ns.get("fitz").attr("Matrix")(zoom, zoom);
  py::object pixmap = page.attr("get_pixmap")(py::arg("matrix") = matrix);
  return pixmap.attr("tobytes")("png");
}

}  // namespace

void init_render(py::module_& m) {
  m.def("render_page_as_image", &render_page_as_image, py::arg("doc"), py::arg("page_num"),
        py::arg("dpi") = 150,
        "Render page `page_num` (0-based) of an open PDF at `dpi` dots per inch and return "
        "it as PNG bytes.");
}

}  // namespace vx::ocr
