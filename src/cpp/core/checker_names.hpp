// When two names in a contract and in the registry are the same party. Python-free.
//
//   normalizar_nome   NFD, drop category Mn, str.lower(), str.strip()
//   nomes_conferem    whole-word containment, else two shared words of three or more
//                     characters that are not legal-form words (ltda, s.a., ...)
//   eh_testemunha     a normalised role or signature type naming a witness
//   qualificacao_administra   a registry qualification that signs for the company
//
// Containment is by whole words because a bare substring test makes "ana" the
// partner "mariana lima", and the legal-form words are left out of the shared words
// because any two limited companies share "ltda".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vx::checker {

std::u32string normalizar_nome(std::u32string_view texto);

// Both arguments already normalised.
bool nomes_conferem(std::u32string_view n1, std::u32string_view n2);

// A normalised name with its counting words (sorted, distinct), for comparing one name
// with many without splitting it again each time.
struct NomeComparavel {
  std::u32string texto;
  std::vector<std::u32string> palavras;
};
NomeComparavel preparar_nome(std::u32string normalizado);
bool nomes_conferem(const NomeComparavel& a, const NomeComparavel& b);

// `texto` already normalised.
bool eh_testemunha(std::u32string_view texto);

// Whether a registry qualification administers or represents the company, and so
// signs for it: Administrador, Diretor, Presidente, Sócio-Administrador, Sócio-Gerente,
// Titular and Sócio Comanditado, in any of their variants ("49-Sócio-Administrador",
// "Diretor Residente ou Domiciliado no Exterior"), case or accents. A plain partner
// (Sócio, Sócio Capitalista, Comanditário), an adviser, a founder, an attorney or an
// empty qualification does not.
bool qualificacao_administra(std::u32string_view qualificacao);

}  // namespace vx::checker
