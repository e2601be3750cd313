#include "core/br_words.hpp"

#include <algorithm>

#include "core/unicode.hpp"

namespace vx::br {

std::vector<std::u32string_view> conjunto_palavras(std::u32string_view text, size_t min_len) {
  std::vector<std::u32string_view> words;
  for (auto w : uni::split_ws(text)) {
    if (w.size() >= min_len) words.push_back(w);
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

double jaccard(const std::vector<std::u32string_view>& a, const std::vector<std::u32string_view>& b) {
  size_t comuns = 0;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] < b[j]) ++i;
    else if (b[j] < a[i]) ++j;
    else {
      ++comuns;
      ++i;
      ++j;
    }
  }
  size_t uniao = a.size() + b.size() - comuns;
  return uniao == 0 ? 0.0 : static_cast<double>(comuns) / static_cast<double>(uniao);
}

ComparacaoEnderecos comparar_normalizados(std::u32string_view contrato, std::u32string_view receita) {
  using Tipo = ComparacaoEnderecos::Tipo;
  if (contrato == receita) return {Tipo::Identicos, 1.0};
  if (receita.find(contrato) != std::u32string_view::npos ||
      contrato.find(receita) != std::u32string_view::npos) {
    return {Tipo::Contido, 0.9};
  }
  auto pc = conjunto_palavras(contrato, 3);
  auto pr = conjunto_palavras(receita, 3);
  if (pc.empty() || pr.empty()) return {Tipo::SemPalavras, 0.0};
  return {Tipo::Palavras, jaccard(pc, pr)};
}

}  // namespace vx::br
