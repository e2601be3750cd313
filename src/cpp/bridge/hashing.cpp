#include "bridge/hashing.hpp"

#include "bridge/bridge.hpp"

namespace vx {

std::string sha256_hex(py::handle data) {
  // Looked up at each call: a test that patches hashlib.sha256 sees every digest.
  py::object digest = vx::late("hashlib", "sha256")(data).attr("hexdigest")();
  return py::cast<std::string>(digest);
}

std::string sha256_hex(std::string_view data) { return sha256_hex(py::bytes(data.data(), data.size())); }

}  // namespace vx
