// Addresses: a contract's free-text address against the registry's address fields.
// Python-independent; text semantics are CPython's (str.lower, re's \s \w \d \b).
//
//   normalizar_endereco   accents, case, punctuation, digit groups, "s/n", state names,
//                         street-type, complement and ordinal words, house-number marks
//   analisar_endereco     the normalised text and what it says of the place: the house
//                         number, the complement units (sala 32, bloco B), the CEP
//   comparar_enderecos    identical (1.0), contained as whole words (0.9), or the
//                         Jaccard similarity of the words (three characters or more, or
//                         digits); the registry address is also tried without its
//                         complement when the contract names none. A different house
//                         number, CEP or unit value vetoes the match.
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

std::u32string normalizar_endereco(std::u32string_view endereco);

struct EnderecoAnalisado {
  std::u32string texto;                                         // normalizar_endereco
  std::optional<std::u32string> numero;                         // house number, ASCII, no leading zeros
  std::map<std::u32string, std::set<std::u32string>> unidades;  // "sl" -> {"32"}
  std::optional<std::u32string> cep;                            // eight ASCII digits
  bool complemento = false;                                     // names a complement (sala, casa, ...)
};
EnderecoAnalisado analisar_endereco(std::u32string_view endereco);

// The registry's seven address fields, already as text, in their order: logradouro,
// numero, complemento, bairro, cidade, uf, cep.
struct CamposEndereco {
  std::u32string campos[7];
};

struct ComparacaoEnderecos {
  // Identicos and Contido match whatever the threshold; Palavras is judged by the
  // caller against its threshold; SemPalavras never matches.
  enum class Tipo { Identicos, Contido, Palavras, SemPalavras } tipo;
  double similaridade;
  bool vetada;  // a house number, CEP or unit of the contract differs from the registry's
};
// `contrato` non-empty; the registry text (the non-empty fields joined) non-empty.
ComparacaoEnderecos comparar_enderecos(std::u32string_view contrato, const CamposEndereco& registro);

// The street of a registry record whose service sends the street type apart: "RUA" and
// "LEANDRO MARTINS COSTA" give "RUA LEANDRO MARTINS COSTA"; a street that already
// begins with its type (in any case, accents or abbreviation), or an empty type or street, is left as
// it is.
std::u32string logradouro_com_tipo(std::u32string_view tipo, std::u32string_view rua);

}  // namespace vx::br
