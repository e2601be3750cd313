// Text normalisation of the Brazilian modules. Python-independent.
//
//   fold_utf8            NFD, drop category Mn, then str.lower(): the keyword
//                        screen's normalizar_texto, on UTF-8 with an ASCII fast path
#pragma once

#include <string>
#include <string_view>

namespace vx::br {

// unicodedata.normalize("NFD", s) without Mn characters, then .lower(); UTF-8 in and
// out (lone surrogates pass through as their 3-byte forms).
std::string fold_utf8(std::string_view text);
// The same written at the start of `buf`, which is grown when needed but never
// shrunk (callers that fold large texts repeatedly keep one buffer instead of mapping
// and zeroing fresh pages); returns the length of the folded text.
size_t fold_utf8_into(std::string_view text, std::string& buf);

}  // namespace vx::br
