// SHA-256 over OpenSSL's libcrypto (the same code hashlib uses, with the CPU's SHA
// instructions where it has them).
#pragma once
#include <string>
#include <string_view>

namespace vx::core {

// Lower-case hexadecimal digest, as hashlib.sha256(data).hexdigest().
std::string sha256_hex(std::string_view data);
std::string sha256_hex(const void* data, size_t size);

}  // namespace vx::core
