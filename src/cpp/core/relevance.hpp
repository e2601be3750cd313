// Page relevance: which pages of a document mention a question's keywords.
//
// Text and keywords are compared after the keyword screen's normalisation (canonical
// decomposition, non-spacing marks dropped, lower case), as plain substrings: "clausula"
// finds "CLÁUSULA", and "valor" finds "valores".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vx::core {

// The normalisation above, UTF-8 in and out (uni::fold, with an ASCII fast path).
std::string fold_utf8(std::string_view text);

struct Relevance {
  std::vector<size_t> selected;  // indices of the relevant pages, ascending
  std::vector<size_t> hits;      // per keyword, the number of pages that contain it
};

// A page is relevant when its text contains at least one keyword; with no keywords
// every page is. Pure C++: callers may run it without the GIL.
Relevance select_relevant(const std::vector<std::string_view>& pages,
                          const std::vector<std::string_view>& keywords);

}  // namespace vx::core
