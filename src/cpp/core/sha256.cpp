#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace vx::core {

std::string sha256_hex(const void* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data, size, digest, &len, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static const char* hex = "0123456789abcdef";
  std::string out(static_cast<size_t>(len) * 2, '0');
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = hex[digest[i] >> 4];
    out[2 * i + 1] = hex[digest[i] & 0x0F];
  }
  return out;
}

std::string sha256_hex(std::string_view data) { return sha256_hex(data.data(), data.size()); }

}  // namespace vx::core
