// When two names in a contract and in the registry are the same party. Python-free.
//
//   normalize_name               NFD, drop category Mn, str.lower(), str.strip()
//   names_match                  whole-word containment, else two shared words of three or
//                                more characters that are not legal-form words (ltda, s.a., ...)
//   is_witness                   a normalised role or signature type naming a witness
//   qualification_administers    a registry qualification that signs for the company
//
// Containment is by whole words because a bare substring test makes "ana" the
// partner "mariana lima", and the legal-form words are left out of the shared words
// because any two limited companies share "ltda".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vx::checker {

std::u32string normalize_name(std::u32string_view text);

// Both arguments already normalised.
bool names_match(std::u32string_view n1, std::u32string_view n2);

// A normalised name with its counting words (sorted, distinct), for comparing one name
// with many without splitting it again each time.
struct ComparableName {
  std::u32string text;
  std::vector<std::u32string> words;
};
ComparableName prepare_name(std::u32string normalized);
bool names_match(const ComparableName& a, const ComparableName& b);

// `text` already normalised.
bool is_witness(std::u32string_view text);

// Whether a registry qualification administers or represents the company, and so
// signs for it: Administrador, Diretor, Presidente, Sócio-Administrador, Sócio-Gerente,
// Titular and Sócio Comanditado, in any of their variants ("49-Sócio-Administrador",
// "Diretor Residente ou Domiciliado no Exterior"), case or accents. A plain partner
// (Sócio, Sócio Capitalista, Comanditário), an adviser, a founder, an attorney or an
// empty qualification does not.
bool qualification_administers(std::u32string_view qualification);

}  // namespace vx::checker
