// Layout of the generated Unicode tables (tools/gen_unicode.py).
#pragma once
#include <cstdint>

namespace vx::uni::tables {

enum Flag : uint8_t {
  kSpace = 1 << 0,      // str.isspace, re \s
  kDecimal = 1 << 1,    // str.isdecimal, re \d (category Nd)
  kAlnum = 1 << 2,      // str.isalnum; re \w is alnum or '_'
  kMn = 1 << 3,         // general category Mn
  kCased = 1 << 4,      // Cased (for the final sigma of str.lower)
  kIgnorable = 1 << 5,  // Case_Ignorable
  kAlpha = 1 << 6,      // str.isalpha
  kDigit = 1 << 7,      // str.isdigit
};

struct Record {
  uint8_t flags;
  uint8_t ccc;     // canonical combining class
  int8_t decimal;  // unicodedata.decimal, -1 when none
  uint32_t decomp_off;
  uint8_t decomp_len;  // full canonical decomposition (0: the character itself)
  uint32_t lower_off;
  uint8_t lower_len;  // full lower-case mapping (0: unchanged)
  uint32_t upper_off;
  uint8_t upper_len;  // full upper-case mapping (0: unchanged)
};

extern const char* const kUnicodeVersion;
extern const Record kRecords[];
extern const uint16_t kStage1[];
extern const uint16_t kStage2[];
extern const char32_t kPool[];

inline const Record& record(char32_t cp) {
  if (cp >= 0x110000) cp = 0x10FFFF;  // not reachable from Python text
  return kRecords[kStage2[(static_cast<uint32_t>(kStage1[cp >> 8]) << 8) | (cp & 0xFF)]];
}

}  // namespace vx::uni::tables
