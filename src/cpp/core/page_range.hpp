// Page-range arithmetic of PageRange.get_page_indices.
#pragma once
#include <string_view>
#include <utility>
#include <vector>

namespace vx::core {

// 1-based range [start, end] counted from the first page ("start") or from the last
// ("end": 1 is the last page). Returns the 0-based indices in reading order that exist
// in a document of `total` pages, and whether the whole range fits in it.
std::pair<std::vector<long long>, bool> page_indices(long long start, long long end, bool from_end,
                                                     long long total);

}  // namespace vx::core
