#include "core/page_range.hpp"

#include <algorithm>

namespace vx::core {

std::pair<std::vector<long long>, bool> page_indices(long long start, long long end, bool from_end,
                                                     long long total) {
  std::vector<long long> out;
  if (start > end) std::swap(start, end);
  start = std::max<long long>(start, 1);
  end = std::max<long long>(end, 1);
  const bool fits = total > 0 && end <= total;
  if (total <= 0) return {out, false};
  const long long last = std::min(end, total);
  if (start > last) return {out, false};
  out.reserve(static_cast<size_t>(last - start + 1));
  // Counted so that a last page of LLONG_MAX ends the loop instead of overflowing.
  if (!from_end) {
    for (long long p = start;; ++p) {
      out.push_back(p - 1);
      if (p == last) break;
    }
  } else {
    // Page k counted from the end is index total - k; reading order runs backwards in k.
    for (long long k = last;; --k) {
      out.push_back(total - k);
      if (k == start) break;
    }
  }
  return {out, fits};
}

}  // namespace vx::core
