// vorlex.utils: document utilities shared by the reader and the OCR loader.
//
//   load_pdf(source, filename=None)          page documents of a PDF     (pdf.cpp)
//   load_pdf_lazy(source, filename=None)     the same, one page at a time (pdf.cpp)
//   needs_ocr(source, min_chars=100)         does some page need OCR?     (pdf.cpp)
//   get_document_metadata(data, filename=)   pages, type and size         (pdf.cpp)
//   ensure_pdf_bytes(data)                   images become one-page PDFs  (pdf.cpp)
//   filter_relevant_pages(pages, keywords)   pages that mention keywords  (pages.cpp)
//   is_image_bytes(data)                     PNG, JPEG, TIFF, BMP or GIF
//   extract_main_response(parsed)            the value a structured answer reports
//   _ensure_bytes(source)                    bytes or a readable stream -> bytes
#include "utils/utils.hpp"

#include "bridge/signatures.hpp"
#include "core/image_sniff.hpp"

namespace vx::utils {

vx::Namespace ns;

SourceKind source_kind(py::handle source, const char* arg) {
  if (vx::is_str(source)) return SourceKind::Path;
  if (vx::is_bytes_like(source)) return SourceKind::Bytes;
  if (py::hasattr(py::type::handle_of(source), "__fspath__")) return SourceKind::Path;
  if (py::hasattr(source, "read")) return SourceKind::Stream;
  vx::raise_type_error(arg, "bytes, a readable stream or a path", source);
}

py::bytes as_bytes(py::handle data) {
  if (PyBytes_Check(data.ptr())) return py::reinterpret_borrow<py::bytes>(data);
  PyObject* b = PyBytes_FromObject(data.ptr());
  if (!b) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(b);
}

namespace {

// The leading bytes of a bytes-like object, without copying the whole buffer.
std::string_view head_of(py::handle data, Py_buffer& view) {
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
  size_t n = static_cast<size_t>(view.len);
  return std::string_view(static_cast<const char*>(view.buf), n < 64 ? n : 64);
}

bool is_image_bytes(py::object data) {
  if (!vx::is_bytes_like(data)) vx::raise_type_error("data", "bytes", data);
  Py_buffer view;
  std::string_view head = head_of(data, view);
  bool image = vx::core::sniff_image(head) != vx::core::ImageKind::None;
  PyBuffer_Release(&view);
  return image;
}

// A single-field structured answer reports that field's value; any other answer is
// reported whole, as a mapping when it can be turned into one.
py::object extract_main_response(py::object parsed) {
  if (parsed.is_none()) return parsed;
  py::object data;
  if (py::hasattr(parsed, "model_dump")) {
    data = parsed.attr("model_dump")();
  } else if (PyDict_Check(parsed.ptr())) {
    data = parsed;
  } else {
    py::object abc_mapping = vx::late("collections.abc", "Mapping");
    if (!py::isinstance(parsed, abc_mapping)) return parsed;
    data = py::dict(parsed);
  }
  if (PyDict_Check(data.ptr()) && PyDict_Size(data.ptr()) == 1) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    PyDict_Next(data.ptr(), &pos, &key, &value);
    return py::reinterpret_borrow<py::object>(value);
  }
  return data;
}

// Bytes of a PDF given as bytes or as a readable stream. A seekable stream is put back
// where it was, so that a second reader of the same stream (needs_ocr, then the OCR
// loader) sees the same bytes.
py::bytes ensure_bytes(py::object source) {
  if (vx::is_bytes_like(source)) return as_bytes(source);
  if (vx::is_str(source) || !py::hasattr(source, "read")) {
    vx::raise_type_error("source", "bytes or a readable stream", source);
  }
  py::object position = py::none();
  if (py::hasattr(source, "seekable") && py::hasattr(source, "tell") && py::hasattr(source, "seek")) {
    try {
      if (py::bool_(source.attr("seekable")())) position = source.attr("tell")();
    } catch (py::error_already_set&) {
      position = py::none();  // a stream that cannot tell is read once, as it is
    }
  }
  py::object data = source.attr("read")();
  if (!position.is_none()) source.attr("seek")(position);
  if (!vx::is_bytes_like(data)) {
    throw py::type_error("source.read() must return bytes, not " + vx::type_name(data));
  }
  return as_bytes(data);
}

}  // namespace

}  // namespace vx::utils

PYBIND11_MODULE(utils, m) {
  using namespace vx::utils;
  m.doc() = "Document utilities: PDF loading, page filtering, format checks.";
  ns.bind(m);
  // PyMuPDF under its historical name; the pymupdf spelling avoids the deprecation
  // warning that `import fitz` prints on recent releases.
  ns.lazy("fitz", "pymupdf");
  ns.lazy("Document", "llama_index.core.schema", "Document");

  // Pillow's default limit on decoded image size, for the conversion of images to PDF.
  m.attr("MAX_IMAGE_PIXELS") = py::int_(1024LL * 1024 * 1024 / 4 / 3);
  init_pdf(m);
  init_pages(m);
  m.def("is_image_bytes", &is_image_bytes, py::arg("data"), "True for PNG, JPEG, TIFF, BMP or GIF data.");
  m.def("extract_main_response", &extract_main_response, py::arg("parsed"),
        "The value to report for a structured answer: its only field's value, or the "
        "whole mapping.");
  m.def("_ensure_bytes", &ensure_bytes, py::arg("source"),
        "Bytes of a PDF given as bytes or a readable stream.");
  vx::python_signatures(m);
}
