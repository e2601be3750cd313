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
inline constexpr int kPesosPrimeiro[12] = {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
inline constexpr int kPesosSegundo[13] = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};

// The decimal digits of `text` as ASCII digits, everything else dropped.
std::u32string limpar_cnpj(std::u32string_view text);

// Check digit of `base` under `pesos` (each weight already reduced modulo 11, in
// 0..10), pairing position by position up to the shorter of the two. Returns
// nullopt when a paired character is not a decimal digit; the index of that
// character goes to *bad_index.
std::optional<char> calcular_digito(std::u32string_view base, const std::vector<int>& pesos_mod11,
                                    size_t* bad_index = nullptr);

// A clean 14-digit number whose check digits match and whose digits are not all equal.
bool validar_cnpj_limpo(std::u32string_view limpo);
inline bool validar_cnpj(std::u32string_view text) { return validar_cnpj_limpo(limpar_cnpj(text)); }

// The alphanumeric CNPJ (issued since July 2026): twelve characters of 0-9 and A-Z,
// then two numeric check digits computed with the same weights and modulus, each
// character counting as its ASCII code minus 48 (digits keep their value, A is 17).
//   limpar_cnpj_alfanumerico   str.upper(), then only digits (as ASCII) and A-Z kept
//   validar_cnpj_alfanumerico_limpo   14 such characters, the last two digits, not one
//                                     character fourteen times, both check digits right
std::u32string limpar_cnpj_alfanumerico(std::u32string_view text);
bool validar_cnpj_alfanumerico_limpo(std::u32string_view limpo);
inline bool validar_cnpj_alfanumerico(std::u32string_view text) {
  return validar_cnpj_alfanumerico_limpo(limpar_cnpj_alfanumerico(text));
}
// The text a registry lookup sends for `text`: the alphanumeric form when it is a valid
// alphanumeric CNPJ with at least one letter, else the decimal digits as always.
std::u32string limpar_para_consulta(std::u32string_view text);

// XX.XXX.XXX/XXXX-XX of a clean 14-character number (characters kept as they are).
std::u32string formatar_cnpj_limpo(std::u32string_view limpo14);

// The first valid CNPJ written in `text` (14 digits, optionally laid out as
// XX.XXX.XXX/XXXX-XX, not glued to other digits), as clean digits; "" when none.
std::u32string encontrar_cnpj(std::u32string_view text);

// Share capital written as text by the registry. Reads "1.000.000,00" the Brazilian
// way (dots group thousands, comma is the decimal point); without a comma, a last dot
// followed by exactly one or two digits is the decimal point ("10000.00"), and every
// other dot groups thousands. Surrounding white space is ignored. Returns nullopt
// for anything that is not such a number (a blank text included); the empty text is
// reported through *vazio so that the caller can answer the integer 0.
std::optional<double> ler_capital(std::u32string_view text, bool* vazio);

}  // namespace vx::br
