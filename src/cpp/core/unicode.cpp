#include "core/unicode.hpp"

#include <algorithm>

namespace vx::uni {

using tables::kPool;
using tables::record;

std::u32string decode(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int len = 0;
    char32_t cp = 0;
    if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (!ok || cp > 0x10FFFF) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string encode(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

std::u32string nfd(std::u32string_view s) {
  std::u32string out;
  out.reserve(s.size() + s.size() / 4);
  for (char32_t c : s) {
    const auto& r = record(c);
    if (r.decomp_len == 0) out.push_back(c);
    else out.append(kPool + r.decomp_off, r.decomp_len);
  }
  // Canonical ordering: each run of non-starters is stably sorted by combining class.
  size_t i = 0;
  const size_t n = out.size();
  while (i < n) {
    if (record(out[i]).ccc == 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && record(out[j]).ccc != 0) ++j;
    if (j - i > 1) {
      std::stable_sort(out.begin() + i, out.begin() + j,
                       [](char32_t a, char32_t b) { return record(a).ccc < record(b).ccc; });
    }
    i = j;
  }
  return out;
}

namespace {

bool is_cased(char32_t c) { return record(c).flags & tables::kCased; }
bool is_ignorable(char32_t c) { return record(c).flags & tables::kIgnorable; }

// CPython's Final_Sigma test: \p{cased}\p{case-ignorable}* U+03A3 !(\p{case-ignorable}* \p{cased})
bool final_sigma(std::u32string_view s, size_t i) {
  size_t j = i;
  char32_t c = 0;
  bool found = false;
  while (j > 0) {
    --j;
    c = s[j];
    if (!is_ignorable(c)) {
      found = true;
      break;
    }
  }
  bool fin = found && is_cased(c);
  if (fin && i + 1 < s.size()) {
    size_t k = i + 1;
    for (; k < s.size(); ++k) {
      c = s[k];
      if (!is_ignorable(c)) break;
    }
    fin = k == s.size() || !is_cased(c);
  }
  return fin;
}

}  // namespace

std::u32string lower(std::u32string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c < 0x80) {
      out.push_back((c >= U'A' && c <= U'Z') ? c + 32 : c);
      continue;
    }
    if (c == 0x3A3) {
      out.push_back(final_sigma(s, i) ? 0x3C2 : 0x3C3);
      continue;
    }
    const auto& r = record(c);
    if (r.lower_len == 0) out.push_back(c);
    else out.append(kPool + r.lower_off, r.lower_len);
  }
  return out;
}

std::u32string upper(std::u32string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (char32_t c : s) {
    const auto& r = record(c);
    if (r.upper_len == 0) out.push_back(c);
    else out.append(kPool + r.upper_off, r.upper_len);
  }
  return out;
}

std::u32string_view lstrip(std::u32string_view s) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  return s.substr(i);
}

std::u32string_view rstrip(std::u32string_view s) {
  size_t n = s.size();
  while (n > 0 && is_space(s[n - 1])) --n;
  return s.substr(0, n);
}

std::u32string_view strip(std::u32string_view s) { return rstrip(lstrip(s)); }

std::u32string strip_marks(std::u32string_view s) {
  std::u32string d = nfd(s);
  std::u32string out;
  out.reserve(d.size());
  for (char32_t c : d) {
    if (!is_mn(c)) out.push_back(c);
  }
  return out;
}

std::u32string fold(std::u32string_view s) { return lower(strip_marks(s)); }

std::vector<std::u32string_view> split_ws(std::u32string_view s) {
  std::vector<std::u32string_view> words;
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    while (i < n && is_space(s[i])) ++i;
    size_t j = i;
    while (j < n && !is_space(s[j])) ++j;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

const char* unicode_version() { return tables::kUnicodeVersion; }

}  // namespace vx::uni
