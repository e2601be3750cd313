// CNPJ digits: cleaning, check digits, layout, and finding a CNPJ in free text.
// Python-independent. Digits are Unicode decimal digits (re's \d); a cleaned CNPJ
// carries each as its ASCII digit, so that validation and the lookups' addresses agree.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::br {

// Weights of the two modulus-11 check digits.
inline constexpr int kFirstDigitWeights[12] = {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
inline constexpr int kSecondDigitWeights[13] = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};

// The decimal digits of `text` as ASCII digits, everything else dropped.
std::u32string clean_cnpj(std::u32string_view text);

// Check digit of `base` under `weights` (each weight already reduced modulo 11, in
// 0..10), pairing position by position up to the shorter of the two. Returns
// nullopt when a paired character is not a decimal digit; the index of that
// character goes to *bad_index.
std::optional<char> check_digit(std::u32string_view base, const std::vector<int>& weights_mod11,
                                size_t* bad_index = nullptr);

// A clean 14-digit number whose check digits match and whose digits are not all equal.
bool is_valid_clean_cnpj(std::u32string_view clean);
inline bool is_valid_cnpj(std::u32string_view text) { return is_valid_clean_cnpj(clean_cnpj(text)); }

// The alphanumeric CNPJ (issued since July 2026): twelve characters of 0-9 and A-Z,
// then two numeric check digits computed with the same weights and modulus, each
// character counting as its ASCII code minus 48 (digits keep their value, A is 17).
//   clean_alphanumeric_cnpj            str.upper(), then only digits (as ASCII) and A-Z kept
//   is_valid_clean_alphanumeric_cnpj   14 such characters, the last two digits, not one
//                                      character fourteen times, both check digits right
std::u32string clean_alphanumeric_cnpj(std::u32string_view text);
bool is_valid_clean_alphanumeric_cnpj(std::u32string_view clean);
inline bool is_valid_alphanumeric_cnpj(std::u32string_view text) {
  return is_valid_clean_alphanumeric_cnpj(clean_alphanumeric_cnpj(text));
}
// The text a registry lookup sends for `text`: the alphanumeric form when it is a valid
// alphanumeric CNPJ with at least one letter, else the decimal digits as always.
std::u32string clean_for_lookup(std::u32string_view text);

// XX.XXX.XXX/XXXX-XX of a clean 14-character number (characters kept as they are).
std::u32string format_clean_cnpj(std::u32string_view clean14);

// The first valid CNPJ written in `text` (14 digits, optionally laid out as
// XX.XXX.XXX/XXXX-XX, not glued to other digits), as clean digits; "" when none.
std::u32string find_cnpj(std::u32string_view text);

// Share capital written as text by the registry. Reads "1.000.000,00" the Brazilian
// way (dots group thousands, comma is the decimal point); without a comma, a last dot
// followed by exactly one or two digits is the decimal point ("10000.00"), and every
// other dot groups thousands. Surrounding white space is ignored. Returns nullopt
// for anything that is not such a number (a blank text included); the empty text is
// reported through *empty so that the caller can answer the integer 0.
std::optional<double> read_capital(std::u32string_view text, bool* empty);

}  // namespace vx::br
