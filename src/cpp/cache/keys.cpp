// The cache's keys: DocumentCache.hash_document and DocumentCache.build_key.
//
// A key is the SHA-256 of the document's bytes combined with everything else that
// shapes its result (question fingerprints, model, classify flag, endpoint). Stored
// entries are found by these keys across versions and machines, so their material
// never changes for the same inputs.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/hashing.hpp"
#include "cache/cache.hpp"

namespace vx::cache {
namespace {

// SHA-256 of the bytes, hashed in place by hashlib, which releases the GIL while it
// hashes a large buffer (and keeps a bytearray from being resized meanwhile).
std::string hash_document(py::object data) {
  if (!vx::is_bytes_like(data)) vx::raise_type_error("data", "bytes", data);
  return vx::sha256_hex(data);
}

void put_field(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

// The key is a SHA-256 over the length-prefixed fields, so no choice of texts can
// make two different settings collide by concatenation.
std::string build_key(py::object document_hash, py::object fingerprints, py::object model,
                      py::object classify, py::object endpoint) {
  std::string hash = vx::arg_str(document_hash, "document_hash");
  std::vector<std::string> fps = vx::arg_str_list(fingerprints, "fingerprints");
  std::optional<std::string> m = vx::arg_opt_str(model, "model");
  bool cls = vx::arg_bool(classify, "classify");
  std::optional<std::string> where = vx::arg_opt_str(endpoint, "endpoint");
  // Without an endpoint the key is the one of earlier versions, so stored entries
  // stay readable by callers that build keys themselves.
  std::string material = where ? "vorlex-cache/2|" : "vorlex-cache/1|";
  if (where) put_field(material, *where);
  put_field(material, hash);
  put_field(material, m ? "s" + *m : std::string("n"));
  put_field(material, cls ? "1" : "0");
  material += std::to_string(fps.size());
  material += '|';
  for (const auto& fp : fps) put_field(material, fp);
  return vx::sha256_hex(material);
}

}  // namespace

void init_keys(vx::PyClass& cls) {
  cls.def_static("hash_document", &hash_document, py::arg("data"),
                 "SHA-256 hex digest of the document bytes.")
      .def_static("build_key", &build_key, py::arg("document_hash"), py::arg("fingerprints"),
                  py::arg("model"), py::arg("classify"), py::kw_only(), py::arg("endpoint") = py::none(),
                  "Cache key over the document hash, question fingerprints, model, classify flag "
                  "and where the model is asked (endpoint: provider, base URL, deployment).");
}

}  // namespace vx::cache
