// Text normalisation of the Brazilian modules. Python-independent.
//
//   fold_utf8            NFD, drop category Mn, then str.lower(): the keyword
//                        screen's normalizar_texto, on UTF-8 with an ASCII fast path
//   normalizar_endereco  the address normalisation (accents, case, punctuation,
//                        house-number mark, street-type words) with re's Unicode
//                        \s, \w and \b
#pragma once

#include <string>
#include <string_view>

namespace vx::br {

// unicodedata.normalize("NFD", s) without Mn characters, then .lower(); UTF-8 in and
// out (lone surrogates pass through as their 3-byte forms).
std::string fold_utf8(std::string_view text);
// The same into `out` (replacing its contents), reusing its capacity: callers that
// fold large texts repeatedly keep one buffer instead of mapping fresh pages.
void fold_utf8_into(std::string_view text, std::string& out);

std::u32string normalizar_endereco(std::u32string_view endereco);

}  // namespace vx::br
