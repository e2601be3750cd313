#include "core/br_cnpj.hpp"

#include <algorithm>
#include <charconv>

#include "core/unicode.hpp"

namespace vx::br {

std::u32string clean_cnpj(std::u32string_view text) {
  std::u32string out;
  out.reserve(14);
  for (char32_t c : text) {
    if (uni::is_decimal(c)) out.push_back(U'0' + uni::decimal_value(c));
  }
  return out;
}

std::optional<char> check_digit(std::u32string_view base, const std::vector<int>& weights_mod11,
                                size_t* bad_index) {
  const size_t n = std::min(base.size(), weights_mod11.size());
  int sum = 0;  // kept modulo 11: weights of any size cannot overflow
  for (size_t i = 0; i < n; ++i) {
    int v = uni::decimal_value(base[i]);
    if (v < 0 || !uni::is_decimal(base[i])) {
      if (bad_index) *bad_index = i;
      return std::nullopt;
    }
    sum = (sum + v * weights_mod11[i]) % 11;
  }
  return sum < 2 ? '0' : static_cast<char>('0' + (11 - sum));
}

namespace {

bool is_alphanumeric_char(char32_t c) { return (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z'); }

char alphanumeric_check_digit(std::u32string_view clean, const int* weights, size_t n) {
  int sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (static_cast<int>(clean[i]) - 48) * weights[i];
  int remainder = sum % 11;
  return remainder < 2 ? '0' : static_cast<char>('0' + (11 - remainder));
}

}  // namespace

std::u32string clean_alphanumeric_cnpj(std::u32string_view text) {
  std::u32string upper_text = uni::upper(text);
  std::u32string out;
  out.reserve(14);
  for (char32_t c : upper_text) {
    if (uni::is_decimal(c)) out.push_back(U'0' + uni::decimal_value(c));
    else if (is_alphanumeric_char(c)) out.push_back(c);
  }
  return out;
}

bool is_valid_clean_alphanumeric_cnpj(std::u32string_view clean) {
  if (clean.size() != 14) return false;
  for (size_t i = 0; i < 14; ++i) {
    if (!is_alphanumeric_char(clean[i])) return false;
  }
  if (clean[12] > U'9' || clean[13] > U'9') return false;
  if (std::all_of(clean.begin(), clean.end(), [&](char32_t c) { return c == clean[0]; })) return false;
  return clean[12] == static_cast<char32_t>(alphanumeric_check_digit(clean, kFirstDigitWeights, 12)) &&
         clean[13] == static_cast<char32_t>(alphanumeric_check_digit(clean, kSecondDigitWeights, 13));
}

std::u32string clean_for_lookup(std::u32string_view text) {
  if (!is_valid_cnpj(text)) {
    std::u32string alnum = clean_alphanumeric_cnpj(text);
    if (is_valid_clean_alphanumeric_cnpj(alnum) &&
        std::any_of(alnum.begin(), alnum.end(), [](char32_t c) { return c >= U'A'; })) {
      return alnum;
    }
  }
  return clean_cnpj(text);
}

namespace {

char numeric_check_digit(std::u32string_view clean, const int* weights, size_t n) {
  int sum = 0;
  for (size_t i = 0; i < n; ++i) sum += uni::decimal_value(clean[i]) * weights[i];
  int remainder = sum % 11;
  return remainder < 2 ? '0' : static_cast<char>('0' + (11 - remainder));
}

}  // namespace

bool is_valid_clean_cnpj(std::u32string_view clean) {
  if (clean.size() != 14) return false;
  // The same digit fourteen times is rejected even where its check digits would
  // match (fourteen zeros do). "The same" is the same character, as a text
  // comparison sees it.
  bool all_equal = true;
  for (char32_t c : clean) {
    if (c != clean[0]) {
      all_equal = false;
      break;
    }
  }
  if (all_equal) return false;
  char first = numeric_check_digit(clean, kFirstDigitWeights, 12);
  char second = numeric_check_digit(clean, kSecondDigitWeights, 13);  // digit 13 as written, not `first`
  // Digits 13-14 must be the ASCII characters of the computed digits.
  return clean[12] == static_cast<char32_t>(first) && clean[13] == static_cast<char32_t>(second);
}

std::u32string format_clean_cnpj(std::u32string_view d) {
  std::u32string out;
  out.reserve(18);
  out.append(d.substr(0, 2));
  out.push_back(U'.');
  out.append(d.substr(2, 3));
  out.push_back(U'.');
  out.append(d.substr(5, 3));
  out.push_back(U'/');
  out.append(d.substr(8, 4));
  out.push_back(U'-');
  out.append(d.substr(12, 2));
  return out;
}

std::u32string find_cnpj(std::u32string_view t) {
  static constexpr int kGroups[5] = {2, 3, 3, 4, 2};
  static constexpr char32_t kSeparators[4] = {U'.', U'.', U'/', U'-'};
  const size_t n = t.size();
  for (size_t i = 0; i < n; ++i) {
    if (!uni::is_decimal(t[i]) || (i > 0 && uni::is_decimal(t[i - 1]))) continue;
    std::u32string digits;
    size_t j = i;
    bool ok = true;
    for (int g = 0; g < 5 && ok; ++g) {
      for (int k = 0; k < kGroups[g]; ++k) {
        if (j < n && uni::is_decimal(t[j])) digits.push_back(U'0' + uni::decimal_value(t[j++]));
        else {
          ok = false;
          break;
        }
      }
      if (ok && g < 4 && j < n && t[j] == kSeparators[g]) ++j;
    }
    if (!ok || (j < n && uni::is_decimal(t[j]))) continue;
    if (is_valid_clean_cnpj(digits)) return digits;
  }
  return {};
}

std::optional<double> read_capital(std::u32string_view text, bool* empty) {
  *empty = text.empty();
  if (text.empty()) return 0.0;
  std::u32string_view s = uni::strip(text);
  if (s.empty()) return std::nullopt;
  const bool has_comma = s.find(U',') != std::u32string_view::npos;
  size_t decimal_point = std::u32string_view::npos;
  if (!has_comma) {
    size_t last_dot = s.rfind(U'.');
    if (last_dot != std::u32string_view::npos) {
      size_t places = s.size() - last_dot - 1;
      bool only_digits = places >= 1 && places <= 2;
      for (size_t k = last_dot + 1; only_digits && k < s.size(); ++k) only_digits = uni::is_decimal(s[k]);
      if (only_digits) decimal_point = last_dot;
    }
  }
  // Rewrite as an ASCII decimal: [sign] digits [. digits].
  std::string num;
  num.reserve(s.size());
  bool negative = false;
  size_t i = 0;
  if (s[0] == U'+' || s[0] == U'-') {
    negative = s[0] == U'-';
    i = 1;
  }
  int points = 0, digits = 0;
  for (; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c == U'.') {
      if (has_comma || i != decimal_point) continue;  // thousands separator
      num.push_back('.');
      ++points;
    } else if (c == U',') {
      num.push_back('.');
      ++points;
    } else if (uni::is_decimal(c)) {
      num.push_back(static_cast<char>('0' + uni::decimal_value(c)));
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || points > 1) return std::nullopt;
  double value = 0.0;
  const char* first = num.data();
  const char* last = num.data() + num.size();
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::fixed);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace vx::br
