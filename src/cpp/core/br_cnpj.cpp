#include "core/br_cnpj.hpp"

#include <algorithm>
#include <charconv>

#include "core/unicode.hpp"

namespace vx::br {

std::u32string limpar_cnpj(std::u32string_view text) {
  std::u32string out;
  out.reserve(14);
  for (char32_t c : text) {
    if (uni::is_decimal(c)) out.push_back(U'0' + uni::decimal_value(c));
  }
  return out;
}

std::optional<char> calcular_digito(std::u32string_view base, const std::vector<int>& pesos_mod11,
                                    size_t* bad_index) {
  const size_t n = std::min(base.size(), pesos_mod11.size());
  int soma = 0;  // kept modulo 11: weights of any size cannot overflow
  for (size_t i = 0; i < n; ++i) {
    int v = uni::decimal_value(base[i]);
    if (v < 0 || !uni::is_decimal(base[i])) {
      if (bad_index) *bad_index = i;
      return std::nullopt;
    }
    soma = (soma + v * pesos_mod11[i]) % 11;
  }
  return soma < 2 ? '0' : static_cast<char>('0' + (11 - soma));
}

namespace {

bool alfanumerico(char32_t c) { return (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z'); }

char digito_alfanumerico(std::u32string_view limpo, const int* pesos, size_t n) {
  int soma = 0;
  for (size_t i = 0; i < n; ++i) soma += (static_cast<int>(limpo[i]) - 48) * pesos[i];
  int resto = soma % 11;
  return resto < 2 ? '0' : static_cast<char>('0' + (11 - resto));
}

}  // namespace

std::u32string limpar_cnpj_alfanumerico(std::u32string_view text) {
  std::u32string maiusculo = uni::upper(text);
  std::u32string out;
  out.reserve(14);
  for (char32_t c : maiusculo) {
    if (uni::is_decimal(c)) out.push_back(U'0' + uni::decimal_value(c));
    else if (alfanumerico(c)) out.push_back(c);
  }
  return out;
}

bool validar_cnpj_alfanumerico_limpo(std::u32string_view limpo) {
  if (limpo.size() != 14) return false;
  for (size_t i = 0; i < 14; ++i) {
    if (!alfanumerico(limpo[i])) return false;
  }
  if (limpo[12] > U'9' || limpo[13] > U'9') return false;
  if (std::all_of(limpo.begin(), limpo.end(), [&](char32_t c) { return c == limpo[0]; })) return false;
  return limpo[12] == static_cast<char32_t>(digito_alfanumerico(limpo, kPesosPrimeiro, 12)) &&
         limpo[13] == static_cast<char32_t>(digito_alfanumerico(limpo, kPesosSegundo, 13));
}

std::u32string limpar_para_consulta(std::u32string_view text) {
  if (!validar_cnpj(text)) {
    std::u32string alfa = limpar_cnpj_alfanumerico(text);
    if (validar_cnpj_alfanumerico_limpo(alfa) &&
        std::any_of(alfa.begin(), alfa.end(), [](char32_t c) { return c >= U'A'; })) {
      return alfa;
    }
  }
  return limpar_cnpj(text);
}

namespace {

char digito(std::u32string_view limpo, const int* pesos, size_t n) {
  int soma = 0;
  for (size_t i = 0; i < n; ++i) soma += uni::decimal_value(limpo[i]) * pesos[i];
  int resto = soma % 11;
  return resto < 2 ? '0' : static_cast<char>('0' + (11 - resto));
}

}  // namespace

bool validar_cnpj_limpo(std::u32string_view limpo) {
  if (limpo.size() != 14) return false;
  // The same digit fourteen times is rejected even where its check digits would
  // match (fourteen zeros do). "The same" is the same character, as a text
  // comparison sees it.
  bool todos_iguais = true;
  for (char32_t c : limpo) {
    if (c != limpo[0]) {
      todos_iguais = false;
      break;
    }
  }
  if (todos_iguais) return false;
  char primeiro = digito(limpo, kPesosPrimeiro, 12);
  char segundo = digito(limpo, kPesosSegundo, 13);  // digit 13 as written, not `primeiro`
  // Digits 13-14 must be the ASCII characters of the computed digits.
  return limpo[12] == static_cast<char32_t>(primeiro) && limpo[13] == static_cast<char32_t>(segundo);
}

std::u32string formatar_cnpj_limpo(std::u32string_view d) {
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

std::u32string encontrar_cnpj(std::u32string_view t) {
  static constexpr int kGrupos[5] = {2, 3, 3, 4, 2};
  static constexpr char32_t kSeparadores[4] = {U'.', U'.', U'/', U'-'};
  const size_t n = t.size();
  for (size_t i = 0; i < n; ++i) {
    if (!uni::is_decimal(t[i]) || (i > 0 && uni::is_decimal(t[i - 1]))) continue;
    std::u32string digitos;
    size_t j = i;
    bool ok = true;
    for (int g = 0; g < 5 && ok; ++g) {
      for (int k = 0; k < kGrupos[g]; ++k) {
        if (j < n && uni::is_decimal(t[j])) digitos.push_back(U'0' + uni::decimal_value(t[j++]));
        else {
          ok = false;
          break;
        }
      }
      if (ok && g < 4 && j < n && t[j] == kSeparadores[g]) ++j;
    }
    if (!ok || (j < n && uni::is_decimal(t[j]))) continue;
    if (validar_cnpj_limpo(digitos)) return digitos;
  }
  return {};
}

std::optional<double> ler_capital(std::u32string_view text, bool* vazio) {
  *vazio = text.empty();
  if (text.empty()) return 0.0;
  std::u32string_view s = uni::strip(text);
  if (s.empty()) return std::nullopt;
  const bool tem_virgula = s.find(U',') != std::u32string_view::npos;
  size_t ponto_decimal = std::u32string_view::npos;
  if (!tem_virgula) {
    size_t ultimo = s.rfind(U'.');
    if (ultimo != std::u32string_view::npos) {
      size_t casas = s.size() - ultimo - 1;
      bool so_digitos = casas >= 1 && casas <= 2;
      for (size_t k = ultimo + 1; so_digitos && k < s.size(); ++k) so_digitos = uni::is_decimal(s[k]);
      if (so_digitos) ponto_decimal = ultimo;
    }
  }
  // Rewrite as an ASCII decimal: [sign] digits [. digits].
  std::string num;
  num.reserve(s.size());
  bool negativo = false;
  size_t i = 0;
  if (s[0] == U'+' || s[0] == U'-') {
    negativo = s[0] == U'-';
    i = 1;
  }
  int pontos = 0, digitos = 0;
  for (; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c == U'.') {
      if (tem_virgula || i != ponto_decimal) continue;  // thousands separator
      num.push_back('.');
      ++pontos;
    } else if (c == U',') {
      num.push_back('.');
      ++pontos;
    } else if (uni::is_decimal(c)) {
      num.push_back(static_cast<char>('0' + uni::decimal_value(c)));
      ++digitos;
    } else {
      return std::nullopt;
    }
  }
  if (digitos == 0 || pontos > 1) return std::nullopt;
  double valor = 0.0;
  const char* first = num.data();
  const char* last = num.data() + num.size();
  auto [ptr, ec] = std::from_chars(first, last, valor, std::chars_format::fixed);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return negativo ? -valor : valor;
}

}  // namespace vx::br
