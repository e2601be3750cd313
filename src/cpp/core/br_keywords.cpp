#include "core/br_keywords.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "core/br_text.hpp"

namespace vx::br {

KeywordMatcher::KeywordMatcher(const std::vector<std::string>& patterns) : patterns_(patterns.size()) {
  // Bytes that occur in no pattern share class 0: the table stays a few kilobytes.
  for (const auto& pat : patterns) {
    for (unsigned char b : pat) {
      if (byte_class_[b] == 0) byte_class_[b] = static_cast<uint8_t>(classes_++);
    }
  }
  // classes_ can reach 256 only with every byte value in the patterns; uint8_t
  // then wraps class 256 to 0, so cap the alphabet first.
  if (classes_ > 255) {
    for (int b = 0; b < 256; ++b) byte_class_[b] = static_cast<uint8_t>(b);
    classes_ = 256;
  }
  const int k = classes_;
  std::vector<int32_t> go(k, -1);
  std::vector<std::vector<int32_t>> outs(1);
  for (size_t id = 0; id < patterns.size(); ++id) {
    const auto& pat = patterns[id];
    if (pat.empty()) {
      always_.push_back(static_cast<int>(id));
      continue;
    }
    max_len_ = std::max(max_len_, pat.size());
    int32_t s = 0;
    for (unsigned char b : pat) {
      int32_t& nxt = go[static_cast<size_t>(s) * k + byte_class_[b]];
      if (nxt < 0) {
        nxt = static_cast<int32_t>(outs.size());
        outs.emplace_back();
        go.resize(go.size() + k, -1);
      }
      s = go[static_cast<size_t>(s) * k + byte_class_[b]];
    }
    outs[s].push_back(static_cast<int32_t>(id));
  }
  // Breadth-first: failure links, the full transition function and merged outputs.
  const size_t states = outs.size();
  if (states * static_cast<size_t>(k) > static_cast<size_t>(INT32_MAX)) {
    throw std::length_error("keyword lists too large for the matcher");
  }
  std::vector<int32_t> fail(states, 0);
  delta_.assign(states * k, 0);
  std::deque<int32_t> queue;
  for (int c = 0; c < k; ++c) {
    int32_t t = go[c];
    if (t > 0) {
      delta_[c] = t;
      fail[t] = 0;
      queue.push_back(t);
    }
  }
  while (!queue.empty()) {
    int32_t s = queue.front();
    queue.pop_front();
    const auto& fo = outs[fail[s]];
    outs[s].insert(outs[s].end(), fo.begin(), fo.end());
    for (int c = 0; c < k; ++c) {
      int32_t t = go[static_cast<size_t>(s) * k + c];
      if (t > 0) {
        fail[t] = delta_[static_cast<size_t>(fail[s]) * k + c];
        delta_[static_cast<size_t>(s) * k + c] = t;
        queue.push_back(t);
      } else {
        delta_[static_cast<size_t>(s) * k + c] = delta_[static_cast<size_t>(fail[s]) * k + c];
      }
    }
  }
  out_begin_.assign(states + 1, 0);
  for (size_t s = 0; s < states; ++s) {
    out_begin_[s] = static_cast<int32_t>(out_ids_.size());
    out_ids_.insert(out_ids_.end(), outs[s].begin(), outs[s].end());
  }
  out_begin_[states] = static_cast<int32_t>(out_ids_.size());
  // The scan follows row offsets (state * classes) rather than state numbers, and a
  // negative entry marks a state with matches: one load per byte in the common case.
  for (auto& t : delta_) {
    int32_t off = t * k;
    t = outs[t].empty() ? off : -off;
  }
}

std::vector<bool> KeywordMatcher::find(std::string_view text) const {
  std::vector<char> found(patterns_, 0);
  for (int id : always_) found[id] = 1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const int32_t* delta = delta_.data();
  const int32_t k = classes_;
  auto mark_matches = [&](int32_t s) {
    const int32_t st = s / k;
    for (int32_t o = out_begin_[st], e = out_begin_[st + 1]; o < e; ++o) found[out_ids_[o]] = 1;
  };
  // The automaton's step is one dependent load per byte; four lanes over four
  // slices of the text run side by side to hide its latency. Each lane starts
  // `max_len_ - 1` bytes before its slice (from the root), so an occurrence that
  // ends in the slice is seen whole, wherever it starts.
  constexpr size_t kLanes = 4;
  const size_t slice = n / kLanes;
  if (slice < 4096 || max_len_ == 0) {
    int32_t s = 0;
    for (size_t i = 0; i < n; ++i) {
      s = delta[s + byte_class_[p[i]]];
      if (s < 0) {
        s = -s;
        mark_matches(s);
      }
    }
  } else {
    size_t pos[kLanes], lane_end[kLanes];
    int32_t st[kLanes] = {0, 0, 0, 0};
    for (size_t l = 0; l < kLanes; ++l) {
      size_t slice_start = l * slice;
      pos[l] = slice_start >= max_len_ - 1 ? slice_start - (max_len_ - 1) : 0;
      lane_end[l] = l + 1 == kLanes ? n : (l + 1) * slice;
    }
    // Lanes advance together while all have bytes; lane 3 may have a few more.
    size_t steps = lane_end[0] - pos[0];
    for (size_t l = 1; l < kLanes; ++l) steps = std::min(steps, lane_end[l] - pos[l]);
    for (size_t i = 0; i < steps; ++i) {
      for (size_t l = 0; l < kLanes; ++l) {
        int32_t s = delta[st[l] + byte_class_[p[pos[l] + i]]];
        if (s < 0) {
          s = -s;
          mark_matches(s);
        }
        st[l] = s;
      }
    }
    for (size_t l = 0; l < kLanes; ++l) {
      int32_t s = st[l];
      for (size_t i = pos[l] + steps; i < lane_end[l]; ++i) {
        s = delta[s + byte_class_[p[i]]];
        if (s < 0) {
          s = -s;
          mark_matches(s);
        }
      }
    }
  }
  return std::vector<bool>(found.begin(), found.end());
}

namespace {

// Folding buffers shared by all threads: screening many large documents (from a
// thread pool or from short-lived threads alike) reuses warm memory instead of
// mapping, faulting in and zeroing fresh pages on every call.
std::mutex pool_mutex;
std::vector<std::string> pool;
constexpr size_t kPoolBuffers = 8;
constexpr size_t kPoolMaxBytes = size_t{64} << 20;

std::string pool_take() {
  std::lock_guard<std::mutex> lock(pool_mutex);
  if (pool.empty()) return {};
  std::string s = std::move(pool.back());
  pool.pop_back();
  return s;
}

void pool_give(std::string s) {
  if (s.capacity() > kPoolMaxBytes) return;
  std::lock_guard<std::mutex> lock(pool_mutex);
  if (pool.size() < kPoolBuffers) pool.push_back(std::move(s));
}

}  // namespace

std::vector<bool> keywords_in_folded_text(std::string_view text, const std::vector<std::string>& keywords) {
  std::vector<std::string> folded;
  folded.reserve(keywords.size());
  for (const auto& kw : keywords) folded.push_back(fold_utf8(kw));
  KeywordMatcher matcher(folded);
  std::string buffer = pool_take();
  const size_t n = fold_utf8_into(text, buffer);
  std::vector<bool> found = matcher.find(std::string_view(buffer.data(), n));
  pool_give(std::move(buffer));
  return found;
}

}  // namespace vx::br
