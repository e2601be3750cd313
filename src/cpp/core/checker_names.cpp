#include "core/checker_names.hpp"

#include <algorithm>
#include <vector>

#include "core/unicode.hpp"

namespace vx::checker {

namespace {

bool ascii(std::u32string_view s) {
  for (char32_t c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Legal-form words, each also with a trailing dot. Two-letter forms never reach the
// word sets (too short), but "me." and "sa." do.
bool is_legal_form(std::u32string_view w) {
  if (!w.empty() && w.back() == U'.') w.remove_suffix(1);
  static constexpr std::u32string_view kLegalForms[] = {U"ltda", U"eireli", U"epp", U"me", U"mei",
                                                        U"sa",   U"s/a",    U"s.a", U"cia"};
  for (auto f : kLegalForms) {
    if (w == f) return true;
  }
  return false;
}

std::vector<std::u32string_view> counting_words(std::u32string_view s) {
  std::vector<std::u32string_view> out;
  for (auto w : uni::split_ws(s)) {
    if (w.size() >= 3 && !is_legal_form(w)) out.push_back(w);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// `shorter` occurs in `longer` with white space or the text's ends on both sides.
bool contained_as_words(std::u32string_view shorter, std::u32string_view longer) {
  for (size_t pos = longer.find(shorter); pos != std::u32string_view::npos;
       pos = longer.find(shorter, pos + 1)) {
    size_t end = pos + shorter.size();
    bool before = pos == 0 || uni::is_space(longer[pos - 1]);
    bool after = end == longer.size() || uni::is_space(longer[end]);
    if (before && after) return true;
  }
  return false;
}

}  // namespace

std::u32string normalize_name(std::u32string_view text) {
  if (text.empty()) return {};
  if (ascii(text)) {
    std::u32string out(uni::strip(text));
    for (char32_t& c : out) {
      if (c >= U'A' && c <= U'Z') c += 32;
    }
    return out;
  }
  return std::u32string(uni::strip(uni::fold(text)));
}

namespace {

bool one_contains_other(std::u32string_view n1, std::u32string_view n2) {
  return n1.size() <= n2.size() ? contained_as_words(n1, n2) : contained_as_words(n2, n1);
}

template <class Words>
bool two_in_common(const Words& w1, const Words& w2) {
  size_t common = 0;
  for (size_t i = 0, j = 0; i < w1.size() && j < w2.size();) {
    if (w1[i] < w2[j]) ++i;
    else if (w2[j] < w1[i]) ++j;
    else {
      if (++common >= 2) return true;
      ++i;
      ++j;
    }
  }
  return false;
}

}  // namespace

bool names_match(std::u32string_view n1, std::u32string_view n2) {
  if (n1.empty() || n2.empty()) return false;
  if (one_contains_other(n1, n2)) return true;
  return two_in_common(counting_words(n1), counting_words(n2));
}

ComparableName prepare_name(std::u32string normalized) {
  ComparableName out;
  for (auto w : counting_words(normalized)) out.words.emplace_back(w);
  out.text = std::move(normalized);
  return out;
}

bool names_match(const ComparableName& a, const ComparableName& b) {
  if (a.text.empty() || b.text.empty()) return false;
  if (one_contains_other(a.text, b.text)) return true;
  return two_in_common(a.words, b.words);
}

bool is_witness(std::u32string_view text) { return text.find(U"testemunha") != std::u32string_view::npos; }

bool qualification_administers(std::u32string_view qualification) {
  // "49-Sócio-Administrador", "Sócio Gerente", "DIRETOR": folded, without the code
  // prefix, hyphens and underscores read as blanks, blanks collapsed.
  std::u32string f = uni::fold(qualification);
  std::u32string_view t = uni::strip(f);
  size_t i = 0;
  while (i < t.size() && uni::is_decimal(t[i])) ++i;
  if (i > 0) {
    size_t j = i;
    while (j < t.size() && uni::is_space(t[j])) ++j;
    if (j < t.size() && t[j] == U'-') t.remove_prefix(j + 1);
  }
  std::u32string q;
  for (char32_t c : t) {
    if (c == U'-' || c == U'_' || uni::is_space(c)) {
      if (!q.empty() && q.back() != U' ') q.push_back(U' ');
    } else {
      q.push_back(c);
    }
  }
  // Comanditado (the partner with unlimited liability, who manages) but not
  // comanditário; "conselheiro de administracao" does not contain "administrador".
  static constexpr std::u32string_view kSigningRoles[] = {U"administrador", U"diretor", U"presidente",
                                                          U"socio gerente", U"titular", U"socio comanditado"};
  for (auto p : kSigningRoles) {
    if (q.find(p) != std::u32string::npos) return true;
  }
  return false;
}

}  // namespace vx::checker
