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
bool forma_juridica(std::u32string_view w) {
  if (!w.empty() && w.back() == U'.') w.remove_suffix(1);
  static constexpr std::u32string_view kFormas[] = {U"ltda", U"eireli", U"epp", U"me", U"mei",
                                                    U"sa",   U"s/a",    U"s.a", U"cia"};
  for (auto f : kFormas) {
    if (w == f) return true;
  }
  return false;
}

std::vector<std::u32string_view> palavras(std::u32string_view s) {
  std::vector<std::u32string_view> out;
  for (auto w : uni::split_ws(s)) {
    if (w.size() >= 3 && !forma_juridica(w)) out.push_back(w);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// `curto` occurs in `longo` with white space or the text's ends on both sides.
bool contido_por_palavras(std::u32string_view curto, std::u32string_view longo) {
  for (size_t pos = longo.find(curto); pos != std::u32string_view::npos; pos = longo.find(curto, pos + 1)) {
    size_t fim = pos + curto.size();
    bool antes = pos == 0 || uni::is_space(longo[pos - 1]);
    bool depois = fim == longo.size() || uni::is_space(longo[fim]);
    if (antes && depois) return true;
  }
  return false;
}

}  // namespace

std::u32string normalizar_nome(std::u32string_view texto) {
  if (texto.empty()) return {};
  if (ascii(texto)) {
    std::u32string out(uni::strip(texto));
    for (char32_t& c : out) {
      if (c >= U'A' && c <= U'Z') c += 32;
    }
    return out;
  }
  return std::u32string(uni::strip(uni::fold(texto)));
}

namespace {

bool contido_um_no_outro(std::u32string_view n1, std::u32string_view n2) {
  return n1.size() <= n2.size() ? contido_por_palavras(n1, n2) : contido_por_palavras(n2, n1);
}

template <class Palavras>
bool duas_em_comum(const Palavras& p1, const Palavras& p2) {
  size_t comuns = 0;
  for (size_t i = 0, j = 0; i < p1.size() && j < p2.size();) {
    if (p1[i] < p2[j]) ++i;
    else if (p2[j] < p1[i]) ++j;
    else {
      if (++comuns >= 2) return true;
      ++i;
      ++j;
    }
  }
  return false;
}

}  // namespace

bool nomes_conferem(std::u32string_view n1, std::u32string_view n2) {
  if (n1.empty() || n2.empty()) return false;
  if (contido_um_no_outro(n1, n2)) return true;
  return duas_em_comum(palavras(n1), palavras(n2));
}

NomeComparavel preparar_nome(std::u32string normalizado) {
  NomeComparavel out;
  for (auto w : palavras(normalizado)) out.palavras.emplace_back(w);
  out.texto = std::move(normalizado);
  return out;
}

bool nomes_conferem(const NomeComparavel& a, const NomeComparavel& b) {
  if (a.texto.empty() || b.texto.empty()) return false;
  if (contido_um_no_outro(a.texto, b.texto)) return true;
  return duas_em_comum(a.palavras, b.palavras);
}

bool eh_testemunha(std::u32string_view texto) {
  return texto.find(U"testemunha") != std::u32string_view::npos;
}

bool qualificacao_administra(std::u32string_view qualificacao) {
  // "49-Sócio-Administrador", "Sócio Gerente", "DIRETOR": folded, without the code
  // prefix, hyphens and underscores read as blanks, blanks collapsed.
  std::u32string f = uni::fold(qualificacao);
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
  static constexpr std::u32string_view kPoderes[] = {U"administrador", U"diretor", U"presidente",
                                                     U"socio gerente", U"titular", U"socio comanditado"};
  for (auto p : kPoderes) {
    if (q.find(p) != std::u32string::npos) return true;
  }
  return false;
}

}  // namespace vx::checker
