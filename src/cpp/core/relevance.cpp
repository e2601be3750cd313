#include "core/relevance.hpp"

#include "core/unicode.hpp"

namespace vx::core {

namespace {

bool is_ascii(std::string_view s) {
  unsigned char acc = 0;
  for (char c : s) acc |= static_cast<unsigned char>(c);
  return acc < 0x80;
}

// One pass over the text for the common case, exact whenever it applies: every
// character that survives mark-dropping is a starter (so canonical reordering, which
// only permutes non-starters, cannot change the result) and there is no capital sigma
// (the one lower-case mapping that depends on context). Returns false to send the
// text to the general path.
bool fold_fast(const std::u32string& text, std::string& out) {
  namespace t = uni::tables;
  out.clear();
  out.reserve(text.size() + 8);
  auto emit_lower = [&](char32_t c) -> bool {
    if (c < 0x80) {
      out.push_back(static_cast<char>((c >= U'A' && c <= U'Z') ? c + 32 : c));
      return true;
    }
    if (c == 0x3A3) return false;
    const t::Record& r = t::record(c);
    if (r.ccc != 0) return false;  // a non-starter that is not Mn
    if (r.lower_len == 0) {
      uni::append_utf8(out, c);
    } else {
      for (uint8_t k = 0; k < r.lower_len; ++k) uni::append_utf8(out, t::kPool[r.lower_off + k]);
    }
    return true;
  };
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>((c >= U'A' && c <= U'Z') ? c + 32 : c));
      continue;
    }
    const t::Record& r = t::record(c);
    if (r.decomp_len == 0) {
      if (uni::is_mn(c)) continue;
      if (!emit_lower(c)) return false;
      continue;
    }
    for (uint8_t k = 0; k < r.decomp_len; ++k) {
      char32_t d = t::kPool[r.decomp_off + k];
      if (uni::is_mn(d)) continue;
      if (!emit_lower(d)) return false;
    }
  }
  return true;
}

}  // namespace

std::string fold_utf8(std::string_view text) {
  if (is_ascii(text)) {
    // ASCII has no decompositions and no marks; lower case is the only change.
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  std::u32string decoded = uni::decode(text);
  std::string out;
  if (fold_fast(decoded, out)) return out;
  return uni::encode(uni::fold(decoded));
}

Relevance select_relevant(const std::vector<std::string_view>& pages,
                          const std::vector<std::string_view>& keywords) {
  Relevance r;
  r.hits.assign(keywords.size(), 0);
  if (keywords.empty()) {
    r.selected.reserve(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) r.selected.push_back(i);
    return r;
  }
  std::vector<std::string> folded_keywords;
  folded_keywords.reserve(keywords.size());
  for (const auto& k : keywords) folded_keywords.push_back(fold_utf8(k));

  // Substring search on UTF-8 is substring search on code points: a valid UTF-8
  // sequence can only match at a character boundary of another valid sequence.
  for (size_t i = 0; i < pages.size(); ++i) {
    const std::string text = fold_utf8(pages[i]);
    bool relevant = false;
    for (size_t k = 0; k < folded_keywords.size(); ++k) {
      if (text.find(folded_keywords[k]) != std::string::npos) {
        ++r.hits[k];
        relevant = true;
      }
    }
    if (relevant) r.selected.push_back(i);
  }
  return r;
}

}  // namespace vx::core
