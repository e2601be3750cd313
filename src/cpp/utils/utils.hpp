// Internal interface between the files of the vorlex.utils extension module.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::utils {

// The module namespace: `fitz` (PyMuPDF) and `Document` (llama_index) are imported on
// first use and read from here at each call, like the sibling functions.
extern vx::Namespace ns;

// How a PDF source was given.
enum class SourceKind { Path, Bytes, Stream };
// Classifies `source` or raises TypeError naming `arg`: a str or os.PathLike is a
// path, bytes/bytearray/memoryview are the PDF itself, anything with read() a stream.
SourceKind source_kind(py::handle source, const char* arg);
// bytes of a bytes-like object (bytes are returned as they are).
py::bytes as_bytes(py::handle data);

// pdf.cpp: load_pdf, load_pdf_lazy, needs_ocr, get_document_metadata, ensure_pdf_bytes
void init_pdf(py::module_& m);
// pages.cpp: filter_relevant_pages
void init_pages(py::module_& m);

}  // namespace vx::utils
