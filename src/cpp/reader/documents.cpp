// Document resolution and loading.
//
//   _resolve_document   bytes / stream / URL / path -> (PDF bytes, metadata mapping,
//                       DocumentMetadata, display name), checked against the limits
//   _load_documents     PDF bytes -> page documents (full, lazy or OCR-aware)
//   init_documents      binds these, with the URL guard and the download setting
//
// A URL is admitted by the guard (url_guard.cpp) and fetched by the download
// (download.cpp) with the addresses the guard approved; both report through the
// document limits and errors defined here.
#include "reader/documents.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bridge/ocr_loader_kwargs.hpp"

namespace vx::reader {

using namespace pybind11::literals;

[[noreturn]] void document_error(const std::string& message) { vx::raise(ns.get("DocumentError"), message); }

std::string plain_number(py::handle value) {
  if (vx::is_int(value)) return vx::safe_str(value);
  double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e18) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(d));
    return buf;
  }
  std::string r = vx::safe_str(py::repr(py::float_(d)));  // shortest round-trip form
  auto e = r.find_first_of("eE");
  if (e == std::string::npos) return r;
  std::string mantissa = r.substr(0, e);
  int exponent = std::stoi(r.substr(e + 1));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  int point = static_cast<int>(mantissa.size());
  for (size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.') point = static_cast<int>(i);
    else digits += mantissa[i];
  }
  point += exponent;
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return sign + out;
}

double size_limit_mb(py::handle self) {
  py::object limit = self.attr("_max_file_size_mb");
  double d = PyFloat_AsDouble(limit.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

namespace {

std::string one_decimal(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

}  // namespace

[[noreturn]] void size_error(py::handle self, double size_mb) {
  document_error("Documento excede o limite de " + plain_number(self.attr("_max_file_size_mb")) + "MB (" +
                 one_decimal(size_mb) + "MB).");
}

bool is_http_url(py::handle text) {
  py::object lowered = text.attr("strip")().attr("lower")();
  return truthy(lowered.attr("startswith")(py::make_tuple("http://", "https://")));
}

namespace {

const char* const kEmptyContent = "Conteúdo do documento vazio ou inválido.";
const char* const kDefaultName = "document.pdf";

// A name the module may shadow (as a Python module global would shadow a builtin).
py::object module_or_builtin(const char* name) {
  PyObject* dict = PyModule_GetDict(ns.module().ptr());
  if (PyObject* v = PyDict_GetItemString(dict, name)) return py::reinterpret_borrow<py::object>(v);
  return py::module_::import("builtins").attr(name);
}

std::string url_display_name(py::object url) {
  std::string path;
  try {
    path = vx::to_utf8(ns.get("urlsplit")(url).attr("path"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  return last;
}

py::bytes as_bytes(py::handle data) {
  if (PyBytes_CheckExact(data.ptr())) return py::reinterpret_borrow<py::bytes>(data);
  PyObject* b = PyBytes_FromObject(data.ptr());
  if (!b) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(b);
}

// ---------------------------------------------------------------------------------
// _resolve_document

// fn() with any error of the PDF or image library (a corrupt, truncated or
// unreadable document) raised as DocumentError "PDF inválido ou corrompido: ...", the
// library's error attached as the cause: a bad document, not an error of the reader.
template <class F>
py::object as_document_error(F&& fn) {
  try {
    return fn();
  } catch (py::error_already_set& e) {
    if (e.matches(ns.get("DocumentError").ptr()) || !e.matches(PyExc_Exception)) throw;
    py::object err = e.value();
    vx::raise_from(ns.get("DocumentError"), "PDF inválido ou corrompido: " + vx::safe_str(err), err);
  }
}

// ensure_pdf_bytes: an image becomes a one-page PDF.
py::bytes to_pdf(py::object raw) {
  return as_bytes(as_document_error([&] { return ns.get("ensure_pdf_bytes")(raw); }));
}

// The bytes of the regular file at `path`, read up to one byte past the size limit.
// The size on disk says nothing for what is not a regular file (0 for /dev/zero and a
// FIFO, whose reads never end or never start), so anything else is refused before it
// is opened; and the read itself stops past the limit, so that a file that grows, or
// is swapped, after its size was taken is not read without bound either.
py::object read_regular_file(py::handle self, py::handle path) {
  py::object os = ns.get("os");
  py::object info = os.attr("stat")(path);
  if (!truthy(vx::late("stat", "S_ISREG")(info.attr("st_mode")))) {
    // The cause is the error reading it would have met (or meant): a folder's
    // IsADirectoryError, an OSError for a device or a FIFO.
    const bool folder = truthy(vx::late("stat", "S_ISDIR")(info.attr("st_mode")));
    py::object errno_mod = vx::import("errno");
    py::object code = errno_mod.attr(folder ? "EISDIR" : "EINVAL");
    py::object cause = vx::late("builtins", folder ? "IsADirectoryError" : "OSError")(
        code, ns.get("os").attr("strerror")(code), path);
    vx::raise_from(ns.get("DocumentError"),
                   "Erro ao ler documento: não é um arquivo regular: " + vx::safe_str(path), cause);
  }
  const double limit_mb = size_limit_mb(self);
  double size_mb = py::cast<double>(info.attr("st_size")) / kBytesPerMB;
  if (size_mb > limit_mb) size_error(self, size_mb);
  py::object f = module_or_builtin("open")(path, "rb");
  vx::ScopedClose closer(f);
  // Bytes beyond floor(limit) make the size exceed the limit; one more than that is
  // enough to tell.
  const double limit_bytes = std::floor(limit_mb * kBytesPerMB);
  py::object raw = limit_bytes < 9.0e15 ? f.attr("read")(py::int_(static_cast<long long>(limit_bytes) + 1))
                                        : f.attr("read")();
  if (vx::is_bytes_like(raw)) {
    size_mb = static_cast<double>(py::len(raw)) / kBytesPerMB;
    if (size_mb > limit_mb) size_error(self, size_mb);
  }
  return raw;
}

py::tuple resolve_document(py::object self, py::object document, py::object filename) {
  std::optional<std::string> given = vx::arg_opt_str(filename, "filename");
  const bool has_name = given && !given->empty();

  py::bytes content;
  std::string display;
  bool from_path = false;

  if (vx::is_bytes_like(document)) {
    content = as_bytes(document);
    display = has_name ? *given : kDefaultName;
  } else if (!vx::is_str(document) && py::hasattr(document, "read")) {
    py::object data;
    try {
      data = document.attr("read")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      py::object err = e.value();
      vx::raise_from(ns.get("DocumentError"), "Erro ao ler documento: " + vx::safe_str(err), err);
    }
    if (!vx::is_bytes_like(data)) {
      document_error("Erro ao ler documento: read() returned " + vx::type_name(data) + ", expected bytes");
    }
    content = as_bytes(data);
    display = has_name ? *given : kDefaultName;
  } else if (vx::is_str(document) && is_http_url(document)) {
    py::object url = document.attr("strip")();
    std::vector<std::string> addresses = admit_url(url);
    content = download(self, url, std::move(addresses));
    if (has_name) {
      display = *given;
    } else {
      display = url_display_name(url);
      if (display.empty()) display = kDefaultName;
    }
  } else if (vx::is_str(document) || PyObject_HasAttrString(document.ptr(), "__fspath__")) {
    from_path = true;
    py::object os = ns.get("os");
    if (!truthy(os.attr("path").attr("exists")(document))) {
      document_error("Documento não encontrado: " + vx::safe_str(document));
    }
    py::object raw;
    try {
      raw = read_regular_file(self, document);
    } catch (py::error_already_set& e) {
      // A directory, a file that vanished, no permission: a problem of this document,
      // reported as such so that a batch records it and goes on.
      if (!e.matches(PyExc_OSError)) throw;
      py::object err = e.value();
      vx::raise_from(ns.get("DocumentError"), "Erro ao ler documento: " + vx::safe_str(err), err);
    }
    if (truthy(ns.get("is_image_bytes")(raw))) {
      content = to_pdf(raw);
    } else {
      content = as_bytes(raw);
    }
    std::string path = vx::to_utf8(os.attr("fsdecode")(os.attr("fspath")(document)));
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    display = slash == std::string::npos ? path : path.substr(slash + 1);
  } else {
    vx::raise_type_error("document", "bytes, a readable stream, a URL or a path", document);
  }

  if (!from_path) {
    Py_ssize_t n = PyBytes_GET_SIZE(content.ptr());
    if (n == 0) document_error(kEmptyContent);
    double size_mb = static_cast<double>(n) / kBytesPerMB;
    if (size_mb > size_limit_mb(self)) size_error(self, size_mb);
    content = to_pdf(content);
  }

  const std::string meta_name = display.empty() ? std::string(kDefaultName) : display;
  py::str meta_name_py = vx::from_utf8(meta_name);
  py::object metadata = as_document_error(
      [&] { return ns.get("get_document_metadata")(content, "filename"_a = meta_name_py); });

  py::object pages = metadata[py::str("num_pages")];
  py::object max_pages = self.attr("_max_pages");
  int over = PyObject_RichCompareBool(pages.ptr(), max_pages.ptr(), Py_GT);
  if (over < 0) throw py::error_already_set();
  if (over) {
    document_error("Documento excede o limite de " + vx::safe_str(max_pages) + " paginas (" +
                   vx::safe_str(pages) + " paginas).");
  }

  py::object doc_meta = ns.get("DocumentMetadata")(
      "filename"_a = meta_name_py, "doc_type"_a = metadata[py::str("doc_type")], "num_pages"_a = pages,
      "size_kb"_a = metadata[py::str("size_kb")]);
  // Bytes, streams and URLs never carry an empty name; a path keeps its final component.
  py::str display_py = vx::from_utf8(from_path ? display : meta_name);
  return py::make_tuple(content, metadata, doc_meta, display_py);
}

// ---------------------------------------------------------------------------------
// _load_documents

py::object load_documents(py::object self, py::object source, py::object metadata, py::object display_name) {
  const bool loud = verbose(self);
  if (loud) logger.info((std::string("Processando: ") + vx::safe_str(display_name)).c_str());

  py::object doc_type = metadata[py::str("doc_type")];
  if (vx::is_str(doc_type) && vx::to_utf8(doc_type) == "image") {
    if (loud) logger.info("Aplicando OCR...");
    py::object mode = self.attr("_ocr_fallback");
    bool fallback = !(vx::is_str(mode) && vx::to_utf8(mode) == "off");
    py::object caller = fallback ? py::object(self.attr("_counting_llm_caller")()) : py::none();
    py::object provider = self.attr("_provider");
    bool google = vx::is_str(provider) && vx::to_utf8(provider) == "google";
    py::dict kwargs = vx::ocr_loader_kwargs(
        {.filename = display_name,
         .ocr_fallback = mode,
         .llm_caller = caller,
         .provider = provider,
         .google_client = py::getattr(self, "_google_client", py::none()),
         .google_model = google ? py::object(self.attr("_model")) : py::none(),
         .ocr_engine = py::getattr(self, "_ocr_engine", py::none())});
    py::object pages = ns.get("process_pdf_smart")(source, **kwargs);
    return py::list(pages);
  }
  if (truthy(self.attr("_streaming"))) {
    return py::list(ns.get("load_pdf_lazy")(source));
  }
  return ns.get("load_pdf")(source);
}

}  // namespace

void init_documents(vx::PyClass& cls) {
  init_download(ns.module());
  init_url_guard(ns.module());
  cls.def("_resolve_document", &resolve_document, py::arg("self"), py::arg("document"),
          py::arg("filename") = py::none(),
          "Resolves bytes, a stream, a URL or a path into (PDF bytes, metadata mapping, "
          "DocumentMetadata, display name).");
  cls.def("_load_documents", &load_documents, py::arg("self"), py::arg("source"), py::arg("metadata"),
          py::arg("display_name"), "Loads the page documents of resolved PDF bytes.");
}

}  // namespace vx::reader
