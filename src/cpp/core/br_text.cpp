#include "core/br_text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/unicode.hpp"

namespace vx::br {

namespace {

using uni::tables::kPool;
using uni::tables::record;

// Decodes the code point at p[i] (i < n, p[i] >= 0x80) and advances i. The text
// comes from Python (UTF-8 with surrogatepass), so it is well formed; anything else
// is read as U+FFFD one byte at a time, never past the end.
char32_t next_cp(const unsigned char* p, size_t n, size_t& i) {
  unsigned char b = p[i];
  int len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  char32_t cp = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  if (len == 0 || i + len > n) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    if ((p[i + k] & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (p[i + k] & 0x3F);
  }
  i += len;
  return cp;
}

// The code point ending just before byte i (i > 0); moves i to its first byte.
char32_t prev_cp(const unsigned char* p, size_t& i) {
  size_t start = i - 1;
  while (start > 0 && (p[start] & 0xC0) == 0x80 && i - start < 4) --start;
  size_t j = start;
  char32_t cp = p[start] < 0x80 ? p[j++] : next_cp(p, i, j);
  if (j != i) {  // not one whole character: step back one byte only
    start = i - 1;
    cp = 0xFFFD;
  }
  i = start;
  return cp;
}

// Stage 1: NFD without Mn. ASCII is copied as is (ASCII characters are starters
// without decompositions, so canonical reordering never crosses them); each run of
// non-ASCII characters is decomposed, reordered and filtered on its own.
std::string strip_marks_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  std::string out;
  out.reserve(n);
  std::u32string buf;
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && p[j] < 0x80) ++j;
    out.append(text.data() + i, j - i);
    i = j;
    if (i >= n) break;
    buf.clear();
    while (i < n && p[i] >= 0x80) {
      char32_t c = next_cp(p, n, i);
      const auto& r = record(c);
      if (r.decomp_len == 0) buf.push_back(c);
      else buf.append(kPool + r.decomp_off, r.decomp_len);
    }
    // Canonical ordering of each run of non-starters (stable by combining class).
    for (size_t a = 0; a < buf.size();) {
      if (record(buf[a]).ccc == 0) {
        ++a;
        continue;
      }
      size_t b = a;
      while (b < buf.size() && record(buf[b]).ccc != 0) ++b;
      for (size_t x = a + 1; x < b; ++x) {  // insertion sort: runs are short
        char32_t v = buf[x];
        int cv = record(v).ccc;
        size_t y = x;
        while (y > a && record(buf[y - 1]).ccc > cv) {
          buf[y] = buf[y - 1];
          --y;
        }
        buf[y] = v;
      }
      a = b;
    }
    for (char32_t c : buf) {
      if (!uni::is_mn(c)) uni::append_utf8(out, c);
    }
  }
  return out;
}

bool cased(char32_t c) { return record(c).flags & uni::tables::kCased; }
bool ignorable(char32_t c) { return record(c).flags & uni::tables::kIgnorable; }

// CPython's final-sigma rule for the capital sigma spanning bytes [at, end).
bool final_sigma(const unsigned char* p, size_t n, size_t at, size_t end) {
  size_t i = at;
  bool cased_before = false;
  while (i > 0) {
    char32_t c = prev_cp(p, i);
    if (ignorable(c)) continue;
    cased_before = cased(c);
    break;
  }
  if (!cased_before) return false;
  size_t j = end;
  while (j < n) {
    char32_t c = p[j] < 0x80 ? p[j++] : next_cp(p, n, j);
    if (ignorable(c)) continue;
    return !cased(c);
  }
  return true;
}

constexpr std::array<unsigned char, 128> kAsciiLower = [] {
  std::array<unsigned char, 128> t{};
  for (int c = 0; c < 128; ++c) t[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return t;
}();

// Stage 2: str.lower() over UTF-8.
std::string lower_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  std::string out;
  out.reserve(n + n / 16);
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && p[j] < 0x80) ++j;
    size_t w = out.size();
    out.resize(w + (j - i));
    for (size_t k = i; k < j; ++k) out[w + (k - i)] = static_cast<char>(kAsciiLower[p[k]]);
    i = j;
    if (i >= n) break;
    size_t at = i;
    char32_t c = next_cp(p, n, i);
    if (c == 0x3A3) {
      uni::append_utf8(out, final_sigma(p, n, at, i) ? 0x3C2 : 0x3C3);
    } else {
      const auto& r = record(c);
      if (r.lower_len == 0) uni::append_utf8(out, c);
      else
        for (int k = 0; k < r.lower_len; ++k) uni::append_utf8(out, kPool[r.lower_off + k]);
    }
  }
  return out;
}

// Folded UTF-8 of each character below U+0250 (Latin-1 Supplement, Latin
// Extended-A and -B: the accented letters of Portuguese) whose fold does not depend
// on its neighbours: a starter whose decomposition adds only Mn marks, which are
// dropped whatever their order.
struct Fold {
  bool simple = false;
  uint8_t len = 0;
  char bytes[4] = {};  // up to 3 used; stored 4 at a time
};
constexpr char32_t kTableLimit = 0x250;

const std::array<Fold, kTableLimit>& fold_table() {
  static const std::array<Fold, kTableLimit> t = [] {
    std::array<Fold, kTableLimit> out{};
    for (char32_t cp = 0x80; cp < kTableLimit; ++cp) {
      const auto& r = record(cp);
      std::u32string d = r.decomp_len ? std::u32string(kPool + r.decomp_off, r.decomp_len)
                                      : std::u32string(1, cp);
      bool simple = record(d[0]).ccc == 0 && !uni::is_mn(d[0]) && d[0] != 0x3A3;
      for (size_t k = 1; simple && k < d.size(); ++k) simple = uni::is_mn(d[k]);
      if (!simple) continue;
      std::string enc;
      const auto& rl = record(d[0]);
      if (rl.lower_len == 0) uni::append_utf8(enc, d[0]);
      else
        for (int k = 0; k < rl.lower_len; ++k) uni::append_utf8(enc, kPool[rl.lower_off + k]);
      // fold_utf8 sizes its buffer for at most 1.5 output bytes per input byte.
      std::string orig;
      uni::append_utf8(orig, cp);
      if (enc.size() * 2 > orig.size() * 3 || enc.size() > 3) continue;
      out[cp].simple = true;
      out[cp].len = static_cast<uint8_t>(enc.size());
      for (size_t k = 0; k < enc.size(); ++k) out[cp].bytes[k] = enc[k];
    }
    return out;
  }();
  return t;
}

// One run of non-ASCII characters: decomposition, canonical reordering, marks
// dropped, then the lower-case mapping of each character (no capital sigma here).
void fold_run(const unsigned char* p, size_t a, size_t b, std::u32string& buf, std::string& out) {
  buf.clear();
  for (size_t i = a; i < b;) {
    char32_t c = next_cp(p, b, i);
    const auto& r = record(c);
    if (r.decomp_len == 0) buf.push_back(c);
    else buf.append(kPool + r.decomp_off, r.decomp_len);
  }
  for (size_t x = 0; x < buf.size();) {
    if (record(buf[x]).ccc == 0) {
      ++x;
      continue;
    }
    size_t y = x;
    while (y < buf.size() && record(buf[y]).ccc != 0) ++y;
    std::stable_sort(buf.begin() + x, buf.begin() + y,
                     [](char32_t l, char32_t r) { return record(l).ccc < record(r).ccc; });
    x = y;
  }
  for (char32_t c : buf) {
    if (uni::is_mn(c)) continue;
    const auto& r = record(c);
    if (r.lower_len == 0) uni::append_utf8(out, c);
    else
      for (int k = 0; k < r.lower_len; ++k) uni::append_utf8(out, kPool[r.lower_off + k]);
  }
}

// Lower-cases eight ASCII bytes at once (SWAR): 0x20 is added to the bytes in 'A'..'Z'.
inline uint64_t lower8(uint64_t x) {
  constexpr uint64_t uns = 0x0101010101010101ULL;
  uint64_t ge_a = x + (0x80 - 'A') * uns;      // high bit: byte >= 'A'
  uint64_t gt_z = x + (0x80 - 'Z' - 1) * uns;  // high bit: byte > 'Z'
  uint64_t upper = (ge_a ^ gt_z) & (0x80 * uns);
  return x | (upper >> 2);
}

}  // namespace

std::string fold_utf8(std::string_view text) {
  std::string out;
  out.resize(fold_utf8_into(text, out));
  return out;
}

size_t fold_utf8_into(std::string_view text, std::string& out) {
  if (text.empty()) return 0;
  // A capital sigma's lower case depends on the letters around it after the marks
  // are gone: such texts take the two-pass path that sees the whole stripped text.
  // (No other character decomposes to a capital sigma.)
  if (text.find("\xCE\xA3") != std::string_view::npos) {
    std::string folded = lower_utf8(strip_marks_utf8(text));
    if (out.size() < folded.size()) out.resize(folded.size());
    std::memcpy(out.data(), folded.data(), folded.size());
    return folded.size();
  }

  const auto& table = fold_table();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // ASCII folds to one byte and a tabled character to at most 1.5 times its bytes,
  // so 2n (plus slack for the 4-byte stores) is enough except for the general path,
  // which grows the buffer itself.
  if (out.size() < 2 * n + 16) out.resize(2 * n + 16);
  char* o = out.data();
  size_t w = 0;
  std::string general;
  std::u32string buf;
  // Start of the current run of non-ASCII characters, in the input and the output:
  // a character outside the table sends the whole run to the general path
  // (reordering of marks never crosses an ASCII character, which is a starter).
  size_t run_in = 0, run_out = 0;
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      while (i + 8 <= n) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        if (x & 0x8080808080808080ULL) break;
        x = lower8(x);
        std::memcpy(o + w, &x, 8);
        i += 8;
        w += 8;
      }
      while (i < n && p[i] < 0x80) o[w++] = static_cast<char>(kAsciiLower[p[i++]]);
      run_in = i;
      run_out = w;
      continue;
    }
    if (b >= 0xC2 && b < 0xC0 + (kTableLimit >> 6) && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      const Fold& d = table[((b & 0x1F) << 6) | (p[i + 1] & 0x3F)];
      if (d.simple) {
        std::memcpy(o + w, d.bytes, 4);
        w += d.len;
        i += 2;
        continue;
      }
    }
    size_t run_end = i;
    while (run_end < n && p[run_end] >= 0x80) ++run_end;
    general.clear();
    fold_run(p, run_in, run_end, buf, general);
    w = run_out;
    const size_t room = 2 * (n - run_end) + 16;
    if (w + general.size() + room > out.size()) {
      out.resize(w + general.size() + room);
      o = out.data();
    }
    std::memcpy(o + w, general.data(), general.size());
    w += general.size();
    i = run_end;
  }
  return w;
}

}  // namespace vx::br
