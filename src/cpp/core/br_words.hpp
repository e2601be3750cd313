// Word sets and Jaccard similarity, and the address comparison built on them.
// Python-independent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vx::br {

// The distinct words of `text` (split at runs of white space, as str.split()) that
// have at least `min_len` characters, sorted.
std::vector<std::u32string_view> conjunto_palavras(std::u32string_view text, size_t min_len);

// |A ∩ B| / |A ∪ B| of two sorted sets of distinct words; 0.0 when both are empty.
double jaccard(const std::vector<std::u32string_view>& a, const std::vector<std::u32string_view>& b);

// Comparison of two normalised addresses: identical (1.0), one contained in the
// other (0.9), otherwise the Jaccard similarity of their words longer than two
// characters (`sem_palavras` when either side has none).
struct ComparacaoEnderecos {
  enum class Tipo { Identicos, Contido, Palavras, SemPalavras } tipo;
  double similaridade;
};
ComparacaoEnderecos comparar_normalizados(std::u32string_view contrato, std::u32string_view receita);

}  // namespace vx::br
