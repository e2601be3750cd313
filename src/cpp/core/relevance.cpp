#include "core/relevance.hpp"

#include "core/unicode.hpp"

namespace vx::core {

namespace {

bool is_ascii(std::string_view s) {
  unsigned char acc = 0;
  for (char c : s) acc |= static_cast<unsigned char>(c);
  return acc < 0x80;
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
  return uni::encode(uni::fold(uni::decode(text)));
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
