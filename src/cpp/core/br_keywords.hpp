// The contract keyword screen's matcher: which of a list of keywords occur in a
// text, as plain substrings, in one pass (Aho-Corasick over UTF-8 bytes).
// Python-independent.
//
// Substrings of UTF-8 are substrings of the code-point text: UTF-8 (with
// surrogatepass) is self-synchronising, so a pattern that starts with a lead byte
// can only match at a character boundary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx::br {

class KeywordMatcher {
 public:
  explicit KeywordMatcher(const std::vector<std::string>& patterns);
  // found[k] == (patterns[k] occurs in text); an empty pattern occurs everywhere.
  std::vector<bool> find(std::string_view text) const;

 private:
  int classes_ = 1;
  uint8_t byte_class_[256] = {};
  std::vector<int32_t> delta_;      // state * classes_ + class -> state
  std::vector<int32_t> out_begin_;  // per state: range in out_ids_ (state + 1 ends it)
  std::vector<int32_t> out_ids_;
  std::vector<int> always_;  // empty patterns
  size_t patterns_ = 0;
  size_t max_len_ = 0;
};

// fold_utf8 of the text and of each keyword, then the matcher: the screen's test.
std::vector<bool> keywords_in_folded_text(std::string_view text, const std::vector<std::string>& keywords);

}  // namespace vx::br
