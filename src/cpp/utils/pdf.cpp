// PDF work over PyMuPDF: loading pages as documents, the OCR test, metadata and the
// image-to-PDF conversion. `fitz` and `Document` are read from the module namespace at
// each call, so patching vorlex.utils.fitz (or .Document) takes effect.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/hashing.hpp"
#include "bridge/native.hpp"
#include "core/image_sniff.hpp"
#include "utils/utils.hpp"

namespace vx::utils {

namespace {

constexpr const char* kDefaultName = "document.pdf";

// The final component of a path given as str or os.PathLike.
std::string path_name(py::handle path) {
  py::object p = vx::late("os", "fspath")(path);
  if (!vx::is_str(p)) p = vx::late("os", "fsdecode")(p);
  py::object base = vx::late("os.path", "basename")(p);
  return vx::to_utf8(base);
}

// Opens `source` (already classified) with the current `fitz`.
py::object open_pdf(py::handle source, SourceKind kind) {
  py::object fitz = ns.get("fitz");
  switch (kind) {
    case SourceKind::Path: return fitz.attr("open")(vx::late("os", "fspath")(source));
    case SourceKind::Bytes:
      return fitz.attr("open")(py::arg("stream") = as_bytes(source), py::arg("filetype") = "pdf");
    case SourceKind::Stream:
      return fitz.attr("open")(py::arg("stream") = ns.call("_ensure_bytes", source),
                               py::arg("filetype") = "pdf");
  }
  return py::none();
}

std::string display_name(py::handle source, SourceKind kind, const std::optional<std::string>& filename) {
  if (filename && !filename->empty()) return *filename;
  if (kind == SourceKind::Path) return path_name(source);
  return kDefaultName;
}

// Page documents carry the same metadata keys as the OCR loader's pages: the 1-based
// "page" and the "source" of the text; "filename" names the document.
py::object page_document(py::handle document_cls, py::object text, long long page_no, const py::str& name) {
  py::dict meta;
  meta["page"] = py::int_(page_no);
  meta["source"] = py::str("text");
  meta["filename"] = name;
  return document_cls(py::arg("text") = std::move(text), py::arg("metadata") = std::move(meta));
}

// The page texts that needs_ocr read last on this thread, for the load_pdf that
// normally follows it on the same document (document metadata, then loading; or the
// OCR module's process_pdf_smart). Reading a page's text is most of the cost of both,
// so the second read is skipped when the key matches: the SHA-256 of the bytes, or the
// path with its size and modification time, plus the identity of the PDF library in
// use. Plain C++ strings, so nothing Python lives in thread-local storage; one entry per
// thread, taken (and dropped) by the first load_pdf that matches.
struct TextMemo {
  std::string key;
  std::vector<std::string> texts;
};
thread_local TextMemo text_memo;
constexpr Py_ssize_t kMemoBytesPerPage = 256 * 1024;

std::string memo_key(py::handle source, SourceKind kind) {
  std::string lib = std::to_string(reinterpret_cast<uintptr_t>(ns.get("fitz").ptr()));
  if (kind == SourceKind::Bytes) {
    // hashlib releases the GIL while it hashes the bytes.
    return lib + ":b:" + vx::sha256_hex(as_bytes(source));
  }
  if (kind == SourceKind::Path) {
    py::object path = vx::late("os", "fspath")(source);
    py::object st;
    try {
      st = vx::late("os", "stat")(path);
    } catch (py::error_already_set&) {
      return std::string();  // let fitz report the missing file
    }
    return lib + ":p:" + vx::safe_str(path) + ":" + vx::safe_str(st.attr("st_size")) + ":" +
           vx::safe_str(st.attr("st_mtime_ns"));
  }
  return std::string();  // streams are read once; not remembered
}

py::list load_pdf(py::object source, py::object filename) {
  SourceKind kind = source_kind(source, "source");
  std::optional<std::string> fname = vx::arg_opt_str(filename, "filename");
  py::str name = vx::from_utf8(display_name(source, kind, fname));

  py::object document_cls = ns.get("Document");
  if (!text_memo.key.empty()) {
    std::string key = memo_key(source, kind);
    if (key == text_memo.key) {
      std::vector<std::string> texts = std::move(text_memo.texts);
      text_memo = TextMemo{};
      py::list pages;
      long long no = 0;
      for (const std::string& t : texts) {
        pages.append(page_document(document_cls, vx::from_utf8(t), ++no, name));
      }
      return pages;
    }
  }

  py::object doc = open_pdf(source, kind);
  vx::ScopedClose closer(doc);
  long long count = py::cast<long long>(doc.attr("page_count"));
  py::object load_page = doc.attr("load_page");
  py::list pages;
  for (long long i = 0; i < count; ++i) {
    py::object page = load_page(i);
    pages.append(page_document(document_cls, page.attr("get_text")(), i + 1, name));
  }
  return pages;
}

// The lazy loader: a generator-like iterator that opens the PDF on the first next(),
// keeps it open while pages are produced, and closes it after the last one (or on
// close(), or on an error).
class PageIterator {
 public:
  PageIterator(py::object source, SourceKind kind, py::str name)
      : source_(std::move(source)), kind_(kind), name_(std::move(name)) {}

  py::object next() {
    if (done_) throw py::stop_iteration();
    try {
      if (!doc_) {
        doc_ = open_pdf(source_, kind_);
        count_ = py::cast<long long>(doc_.attr("page_count"));
      }
      if (index_ >= count_) {
        close();
        throw py::stop_iteration();
      }
      py::object page = doc_.attr("load_page")(index_);
      py::object text = page.attr("get_text")();
      ++index_;
      return page_document(ns.get("Document"), std::move(text), index_, name_);
    } catch (py::stop_iteration&) {
      throw;
    } catch (...) {
      // A generator that raised is finished.
      close();
      throw;
    }
  }

  void close() {
    done_ = true;
    source_ = py::none();
    if (doc_) {
      vx::ScopedClose closer(doc_);
      doc_ = py::object();
    }
  }

 private:
  py::object source_;
  SourceKind kind_;
  py::str name_;
  py::object doc_;
  long long count_ = 0;
  long long index_ = 0;
  bool done_ = false;
};

PageIterator load_pdf_lazy(py::object source, py::object filename) {
  SourceKind kind = source_kind(source, "source");
  std::optional<std::string> fname = vx::arg_opt_str(filename, "filename");
  return PageIterator(source, kind, vx::from_utf8(display_name(source, kind, fname)));
}

// True when some page has at most `min_chars` characters of its own text (white space
// at both ends not counted) and shows an image: a scanned page. One such page is
// enough, so a mostly digital PDF with one scanned page is read page by page.
bool needs_ocr(py::object source, py::object min_chars_obj) {
  SourceKind kind = source_kind(source, "source");
  long long min_chars = vx::arg_int(min_chars_obj, "min_chars");
  py::object doc = open_pdf(source, kind);
  vx::ScopedClose closer(doc);
  long long count = py::cast<long long>(doc.attr("page_count"));
  py::object load_page = doc.attr("load_page");
  std::vector<std::string> texts;
  bool remember = kind != SourceKind::Stream;
  if (remember) texts.reserve(static_cast<size_t>(count));
  for (long long i = 0; i < count; ++i) {
    py::object page = load_page(i);
    py::object text = page.attr("get_text")();
    Py_ssize_t own = 0;
    if (vx::is_str(text)) {
      py::object stripped = text.attr("strip")();
      own = PyUnicode_GetLength(stripped.ptr());
      if (remember) texts.push_back(vx::to_utf8(text));
    } else {
      remember = false;
    }
    if (own > min_chars) continue;
    // get_image_info lists the images the page actually draws (inline ones included),
    // not merely those its resources name.
    py::object images = page.attr("get_image_info")();
    if (py::len(images) > 0) return true;
  }
  // Hashing bytes costs far less than reading a page's text, but not nothing: a large
  // PDF of few pages (scans, photos) is not worth remembering.
  if (remember && kind == SourceKind::Bytes) {
    Py_ssize_t size = PyObject_Length(source.ptr());
    if (size < 0) PyErr_Clear();
    remember = size >= 0 && size <= count * kMemoBytesPerPage;
  }
  if (remember) {
    std::string key = memo_key(source, kind);
    if (!key.empty()) text_memo = TextMemo{std::move(key), std::move(texts)};
  }
  return false;
}

py::dict get_document_metadata(py::object data, py::object filename) {
  if (!vx::is_bytes_like(data)) vx::raise_type_error("data", "bytes", data);
  std::optional<std::string> fname = vx::arg_opt_str(filename, "filename");
  py::bytes content = as_bytes(data);
  long long pages = 0;
  {
    py::object doc = open_pdf(content, SourceKind::Bytes);
    vx::ScopedClose closer(doc);
    pages = py::cast<long long>(doc.attr("page_count"));
  }
  bool image = py::bool_(ns.call("needs_ocr", content, 100));
  // round(bytes / 1024, 2) as Python rounds: halves to even, on the float's exact value.
  py::object size_kb_obj =
      py::float_(static_cast<double>(PyBytes_GET_SIZE(content.ptr())) / 1024.0).attr("__round__")(2);
  double size_kb = py::cast<double>(size_kb_obj);
  py::dict meta;
  meta["filename"] = vx::from_utf8(fname && !fname->empty() ? *fname : std::string(kDefaultName));
  meta["num_pages"] = py::int_(pages);
  meta["doc_type"] = py::str(image ? "image" : "pdf");
  meta["size_kb"] = py::float_(size_kb);
  return meta;
}

// A few bytes can declare an image of billions of pixels (a GIF's logical screen or one
// of its frames, a PNG header), which the conversion would decode in full. PyMuPDF
// reads the declared size of the page's image without decoding it, and a GIF's frames
// are read from its blocks; beyond the module's MAX_IMAGE_PIXELS (read at each call;
// None lifts the limit) the image is refused before it is decoded.
void refuse_pixels(const py::object& width, const py::object& height, const py::object& limit) {
  // As Python ints: the product may pass 64 bits and the limit may be any integer.
  py::object pixels = width * height;
  if (pixels > limit) {
    throw py::value_error("Imagem grande demais para converter: " + vx::safe_str(width) + " x " +
                          vx::safe_str(height) + " pixels (limite: " + vx::safe_str(limit) + ")");
  }
}

void check_image_pixels(const py::object& img, const py::bytes& content, vx::core::ImageKind kind) {
  py::object limit = ns.get("MAX_IMAGE_PIXELS");
  if (limit.is_none()) return;
  if (kind == vx::core::ImageKind::Gif) {
    std::string_view data(PyBytes_AS_STRING(content.ptr()),
                          static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())));
    std::optional<vx::core::FrameSize> frame;
    {
      // The bytes object is immutable and held: its buffer stays put without the GIL.
      std::optional<py::gil_scoped_release> nogil;
      if (data.size() > (1u << 20)) nogil.emplace();
      frame = vx::core::gif_largest_frame(data);
    }
    if (frame) refuse_pixels(py::int_(frame->width), py::int_(frame->height), limit);
  }
  if (py::cast<long long>(img.attr("page_count")) < 1) return;  // nothing to convert
  py::object infos = img.attr("load_page")(0).attr("get_image_info")();
  for (py::handle info : vx::list_copy(infos)) {
    refuse_pixels(info["width"], info["height"], limit);
  }
}

// An image becomes a one-page PDF (its first frame, for TIFF and GIF); everything else,
// PDF or not, is returned as it is and left to the PDF reader to accept or refuse.
py::object ensure_pdf_bytes(py::object data) {
  if (!vx::is_bytes_like(data)) vx::raise_type_error("data", "bytes", data);
  if (!py::bool_(ns.call("is_image_bytes", data))) return data;
  py::bytes content = as_bytes(data);
  std::string_view head(PyBytes_AS_STRING(content.ptr()),
                        std::min<size_t>(64, static_cast<size_t>(PyBytes_GET_SIZE(content.ptr()))));
  vx::core::ImageKind kind = vx::core::sniff_image(head);
  std::string filetype = kind == vx::core::ImageKind::None
                             ? std::string("png")
                             : std::string(vx::core::image_mime(kind)).substr(6);  // "image/"
  py::object img = ns.get("fitz").attr("open")(py::arg("stream") = content, py::arg("filetype") = filetype);
  vx::ScopedClose closer(img);
  check_image_pixels(img, content, kind);
  py::object pdf = img.attr("convert_to_pdf")(py::arg("from_page") = 0, py::arg("to_page") = 0);
  return as_bytes(pdf);
}

}  // namespace

void init_pdf(py::module_& m) {
  vx::native_class<PageIterator>(m, "PageIterator", "Page documents of one PDF, produced one at a time.")
      .def("__iter__", vx::returns_self<PageIterator>("__iter__"))
      .def("__next__", vx::method("__next__", &PageIterator::next))
      .def("close", vx::method("close", &PageIterator::close), "Stops the iteration and closes the PDF.");
  vx::native_detail::guard_keywords(m.attr("PageIterator"));

  m.def("load_pdf", &load_pdf, py::arg("source"), py::arg("filename") = py::none(),
        "Page documents of a PDF given as bytes, a readable stream or a path.");
  m.def("load_pdf_lazy", &load_pdf_lazy, py::arg("source"), py::arg("filename") = py::none(),
        "Like load_pdf, producing one page document at a time.");
  m.def("needs_ocr", &needs_ocr, py::arg("source"), py::arg("min_chars") = 100,
        "True when some page has at most min_chars characters of text and shows an image.");
  m.def("get_document_metadata", &get_document_metadata, py::arg("data"),
        py::arg("filename") = py::str(kDefaultName),
        "Mapping with filename, num_pages, doc_type ('image' when OCR is needed) and size_kb.");
  m.def("ensure_pdf_bytes", &ensure_pdf_bytes, py::arg("data"),
        "PDF bytes: an image becomes a one-page PDF, anything else is returned unchanged.");
}

}  // namespace vx::utils
