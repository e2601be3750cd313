// SHA-256 through the interpreter's hashlib.
//
// The digests of documents, questions and cache keys come from hashlib.sha256, so the
// extension modules carry no cryptographic library of their own (a wheel stays free of
// OpenSSL, whose version and soname differ between distributions) and hash exactly as
// the interpreter does. hashlib releases the GIL while it hashes a large buffer, so
// other threads run during the hash of a big document.
//
// Both functions expect the GIL to be held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace py = pybind11;

namespace vx {

// hashlib.sha256(data).hexdigest() of an object with the buffer protocol (bytes,
// bytearray, a contiguous memoryview), hashed in place.
std::string sha256_hex(py::handle data);
// The same over C++ bytes (copied into a bytes object first).
std::string sha256_hex(std::string_view data);

}  // namespace vx
