// Addresses: a contract's free-text address against the registry's address fields.
// Python-independent; text semantics are CPython's (str.lower, re's \s \w \d \b).
//
//   normalize_address   accents, case, punctuation, digit groups, "s/n", state names,
//                       street-type, complement and ordinal words, house-number marks
//   analyze_address     the normalised text and what it says of the place: the house
//                       number, the complement units (sala 32, bloco B), the CEP
//   compare_addresses   identical (1.0), contained as whole words (0.9), or the
//                       Jaccard similarity of the words (three characters or more, or
//                       digits); the registry address is also tried without its
//                       complement when the contract names none. A different house
//                       number, CEP or unit value vetoes the match.
//
// Numbers are what tell two addresses of one street apart, so every word made only of
// digits counts, whatever its length, and the vetoes compare them by value.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vx::br {

std::u32string normalize_address(std::u32string_view address);

struct AddressAnalysis {
  std::u32string text;                                       // normalize_address
  std::optional<std::u32string> number;                      // house number, ASCII, no leading zeros
  std::map<std::u32string, std::set<std::u32string>> units;  // "sl" -> {"32"}
  std::optional<std::u32string> cep;                         // eight ASCII digits
  bool has_complement = false;                               // names a complement (sala, casa, ...)
};
AddressAnalysis analyze_address(std::u32string_view address);

// The registry's seven address fields, already as text, in their order: logradouro,
// numero, complemento, bairro, cidade, uf, cep.
struct AddressFields {
  std::u32string fields[7];
};

struct AddressComparison {
  // Identical and Contained match whatever the threshold; Words is judged by the
  // caller against its threshold; NoWords never matches.
  enum class Kind { Identical, Contained, Words, NoWords } kind;
  double similarity;
  bool vetoed;  // a house number, CEP or unit of the contract differs from the registry's
};
// `contract` non-empty; the registry text (the non-empty fields joined) non-empty.
AddressComparison compare_addresses(std::u32string_view contract, const AddressFields& registry);

// The street of a registry record whose service sends the street type apart: "RUA" and
// "LEANDRO MARTINS COSTA" give "RUA LEANDRO MARTINS COSTA"; a street that already
// begins with its type (in any case, accents or abbreviation), or an empty type or street, is left as
// it is.
std::u32string street_with_type(std::u32string_view street_type, std::u32string_view street);

}  // namespace vx::br
