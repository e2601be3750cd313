// Unicode text kernels with CPython's semantics (str methods, unicodedata, re).
// Python-independent: text is UTF-8 (lone surrogates allowed, as written by
// surrogatepass) or UTF-32.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/unicode_tables.hpp"

namespace vx::uni {

// UTF-8 <-> UTF-32. Decoding never fails: bytes that are not UTF-8 become U+FFFD
// (text coming from Python is always valid, surrogates included).
std::u32string decode(std::string_view utf8);
std::string encode(std::u32string_view text);
void append_utf8(std::string& out, char32_t cp);

inline bool is_space(char32_t c) { return tables::record(c).flags & tables::kSpace; }
inline bool is_decimal(char32_t c) { return tables::record(c).flags & tables::kDecimal; }
inline bool is_alnum(char32_t c) { return tables::record(c).flags & tables::kAlnum; }
inline bool is_alpha(char32_t c) { return tables::record(c).flags & tables::kAlpha; }
inline bool is_digit(char32_t c) { return tables::record(c).flags & tables::kDigit; }
inline bool is_word(char32_t c) { return c == U'_' || is_alnum(c); }  // re \w
inline bool is_mn(char32_t c) { return tables::record(c).flags & tables::kMn; }
inline int combining_class(char32_t c) { return tables::record(c).ccc; }
inline int decimal_value(char32_t c) { return tables::record(c).decimal; }  // -1: none

// unicodedata.normalize("NFD", s)
std::u32string nfd(std::u32string_view s);
// str.lower() (full mappings, final sigma) and str.upper()
std::u32string lower(std::u32string_view s);
std::u32string upper(std::u32string_view s);
// str.strip() / lstrip() / rstrip() with no argument
std::u32string_view strip(std::u32string_view s);
std::u32string_view lstrip(std::u32string_view s);
std::u32string_view rstrip(std::u32string_view s);
// NFD, then drop every Mn character: accents removed, base letters kept.
std::u32string strip_marks(std::u32string_view s);
// strip_marks(s) then lower(): the keyword-screen normalisation.
std::u32string fold(std::u32string_view s);
// str.split() with no argument: runs of \s separate, no empty words.
std::vector<std::u32string_view> split_ws(std::u32string_view s);

const char* unicode_version();

}  // namespace vx::uni
