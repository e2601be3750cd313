// What the three files of document resolution share.
//
//   url_guard.cpp   _is_safe_url, and admit_url: whether a URL may be downloaded, and
//                   the addresses its host may be reached at
//   download.cpp    download: the GET of an admitted URL, connected only to those
//                   addresses, redirects admitted one by one, under one deadline and
//                   the size limit; DOWNLOAD_TIMEOUT_SECONDS
//   documents.cpp   _resolve_document and _load_documents, and the document limits and
//                   errors that the download reports with too
//
// The guard returns the addresses it approved and the download takes them as an
// argument, so what was checked and what is connected to are visibly the same list.
#pragma once

#include <string>
#include <vector>

#include "reader/reader.hpp"

namespace vx::reader {

// ---- documents.cpp: limits and errors of a document

constexpr double kBytesPerMB = 1048576.0;

// Raises DocumentError(message).
[[noreturn]] void document_error(const std::string& message);
// The reader's _max_file_size_mb as a number.
double size_limit_mb(py::handle self);
// DocumentError "Documento excede o limite de <limit>MB (<size>MB)."
[[noreturn]] void size_error(py::handle self, double size_mb);
// "50" for 50 or 50.0, "0.5" for 0.5, "0.00001" for 1e-05: the number as people write
// it, never in exponent form.
std::string plain_number(py::handle value);
// An http:// or https:// address (any case, surrounding blanks allowed).
bool is_http_url(py::handle text);

// ---- url_guard.cpp

// Asks the guard in place (the module's _is_safe_url, which a caller may replace)
// about a URL the reader is about to download, and raises DocumentError when it says
// no. Returns the addresses the download may connect to: those the built-in check
// approved for this URL, in the resolver's order; empty when the guard approved the
// URL without that check, and the download then resolves the name once itself.
std::vector<std::string> admit_url(const py::object& url);
// Appends an address not already listed: the resolver answers each address once per
// socket type, and one address counts once.
void add_unique(std::vector<std::string>& addresses, std::string address);
void init_url_guard(py::module_ m);  // _is_safe_url

// ---- download.cpp

// The body of an admitted URL (see admit_url for `addresses`). Every failure is a
// DocumentError: the reader's own refusals with their message, anything else as
// "Falha ao obter documento da URL: ...".
py::bytes download(py::handle self, const py::object& url, std::vector<std::string> addresses);
void init_download(py::module_ m);  // DOWNLOAD_TIMEOUT_SECONDS

}  // namespace vx::reader
