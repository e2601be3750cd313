#include "core/br_address.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

#include "core/unicode.hpp"

namespace vx::br {

namespace {

using uni::is_decimal;
using uni::is_space;
using uni::is_word;
using sv = std::u32string_view;

constexpr char32_t kOrdinal = U'\u00ba';  // º

bool starts_with(sv t, size_t at, sv w) { return t.size() >= at + w.size() && t.substr(at, w.size()) == w; }
bool word_start(sv t, size_t i) { return i == 0 || !is_word(t[i - 1]); }
bool word_end(sv t, size_t i) { return i >= t.size() || !is_word(t[i]); }
size_t skip_blanks(sv t, size_t i) {
  while (i < t.size() && t[i] == U' ') ++i;
  return i;
}

bool decimal_word(sv w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char32_t c) { return is_decimal(c); });
}
bool alpha_word(sv w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char32_t c) { return uni::is_alpha(c); });
}
// Digits, then at most one ordinal mark: "32", "21º".
bool number_word(sv w) {
  size_t n = w.size();
  if (n && w[n - 1] == kOrdinal) --n;
  return n > 0 && decimal_word(w.substr(0, n));
}
// The value of a number word in ASCII digits without leading zeros.
std::u32string number_value(sv w) {
  if (!w.empty() && w.back() == kOrdinal) w.remove_suffix(1);
  std::u32string out;
  for (char32_t c : w) {
    char32_t d = U'0' + uni::decimal_value(c);
    if (out.empty() && d == U'0') continue;
    out.push_back(d);
  }
  return out.empty() ? std::u32string(U"0") : out;
}
std::u32string ascii_digits(sv w) {
  std::u32string out;
  for (char32_t c : w) out.push_back(U'0' + uni::decimal_value(c));
  return out;
}

bool separator(char32_t c) {  // [.,;:\-/\\]
  return c == U'.' || c == U',' || c == U';' || c == U':' || c == U'-' || c == U'/' || c == U'\\';
}

// "n", "nº" or "no" at t[j] (the n already matched at j - 1 is not included): the end of
// the mark when what follows is not a word character, else npos.
size_t mark_end(sv t, size_t j) {
  if (j < t.size() && (t[j] == kOrdinal || t[j] == U'o') && word_end(t, j + 1)) return j + 1;
  if (word_end(t, j)) return j;
  return sv::npos;
}

// Characters: blanks, the ordinal mark, digit groups, "s/n", separators.
std::u32string stage_characters(sv t) {
  std::u32string a;
  a.reserve(t.size());
  for (size_t i = 0; i < t.size();) {
    if (is_space(t[i])) {
      a.push_back(U' ');
      while (i < t.size() && is_space(t[i])) ++i;
      continue;
    }
    a.push_back(t[i] == U'\u00b0' || t[i] == U'\u00aa' ? kOrdinal : t[i]);
    ++i;
  }
  // A dot or dash between two digits joins them ("30140-071", "1.250"), as the registry
  // writes postal codes and house numbers.
  std::u32string b;
  b.reserve(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if ((a[i] == U'.' || a[i] == U'-') && i > 0 && i + 1 < a.size() && is_decimal(a[i - 1]) &&
        is_decimal(a[i + 1])) {
      continue;
    }
    b.push_back(a[i]);
  }
  // "s/n", "s/nº", "sem número", "sem nº": no house number, written "sn" as the registry does.
  std::u32string c;
  c.reserve(b.size());
  for (size_t i = 0; i < b.size();) {
    if (b[i] == U's' && word_start(b, i)) {
      size_t end = sv::npos;
      if (starts_with(b, i, U"s/n")) end = mark_end(b, i + 3);
      if (end == sv::npos && starts_with(b, i, U"sem ")) {
        if (starts_with(b, i + 4, U"numero") && word_end(b, i + 10)) end = i + 10;
        else if (starts_with(b, i + 4, U"n")) end = mark_end(b, i + 5);
      }
      if (end != sv::npos) {
        c.append(U"sn");
        i = end;
        continue;
      }
    }
    c.push_back(b[i]);
    ++i;
  }
  for (auto& ch : c) {
    if (separator(ch)) ch = U' ';
  }
  return c;
}

// "estado de São Paulo" and the like become the state's code, as the registry writes it.
struct State {
  std::array<sv, 4> words;
  sv uf;
};
// Longest names first, so that "mato grosso do sul" is not read as "mato grosso".
// clang-format off
constexpr State kStates[] = {
    {{U"mato", U"grosso", U"do", U"sul"}, U"ms"}, {{U"rio", U"grande", U"do", U"norte"}, U"rn"},
    {{U"rio", U"grande", U"do", U"sul"}, U"rs"},  {{U"rio", U"de", U"janeiro"}, U"rj"},
    {{U"distrito", U"federal"}, U"df"},           {{U"espirito", U"santo"}, U"es"},
    {{U"mato", U"grosso"}, U"mt"},                {{U"minas", U"gerais"}, U"mg"},
    {{U"santa", U"catarina"}, U"sc"},             {{U"sao", U"paulo"}, U"sp"},
    {{U"acre"}, U"ac"},      {{U"alagoas"}, U"al"},    {{U"amapa"}, U"ap"},    {{U"amazonas"}, U"am"},
    {{U"bahia"}, U"ba"},     {{U"ceara"}, U"ce"},      {{U"goias"}, U"go"},    {{U"maranhao"}, U"ma"},
    {{U"para"}, U"pa"},      {{U"paraiba"}, U"pb"},    {{U"parana"}, U"pr"},   {{U"pernambuco"}, U"pe"},
    {{U"piaui"}, U"pi"},     {{U"rondonia"}, U"ro"},   {{U"roraima"}, U"rr"},  {{U"sergipe"}, U"se"},
    {{U"tocantins"}, U"to"},
};
// clang-format on

// A state's name at t[at] (words apart by blanks, ending at a word boundary).
bool match_state(sv t, size_t at, size_t& end, sv& uf) {
  for (const auto& e : kStates) {
    size_t p = at;
    bool ok = true;
    for (size_t k = 0; k < e.words.size() && !e.words[k].empty(); ++k) {
      if (k > 0) {
        if (p >= t.size() || t[p] != U' ') {
          ok = false;
          break;
        }
        p = skip_blanks(t, p);
      }
      if (!starts_with(t, p, e.words[k])) {
        ok = false;
        break;
      }
      p += e.words[k].size();
    }
    if (ok && word_end(t, p)) {
      end = p;
      uf = e.uf;
      return true;
    }
  }
  return false;
}

std::u32string stage_states(sv t) {
  if (t.find(U"estado") == sv::npos) return std::u32string(t);
  std::u32string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size();) {
    if (t[i] == U'e' && word_start(t, i) && starts_with(t, i, U"estado ")) {
      size_t q = skip_blanks(t, i + 6);
      size_t end = 0;
      sv uf;
      bool ok = false;
      if (q + 2 < t.size() && t[q] == U'd' && (t[q + 1] == U'e' || t[q + 1] == U'o' || t[q + 1] == U'a') &&
          t[q + 2] == U' ') {
        ok = match_state(t, skip_blanks(t, q + 2), end, uf);
      }
      if (!ok) ok = match_state(t, q, end, uf);
      if (ok) {
        out.append(uf);
        i = end;
        continue;
      }
    }
    out.push_back(t[i++]);
  }
  return out;
}

// The word table: street types, complement and district words, filler words, ordinals.
const std::unordered_map<sv, sv>& word_table() {
  static const std::unordered_map<sv, sv> t = {
      {U"rua", U"r"},           {U"avenida", U"av"},  {U"avd", U"av"},      {U"avda", U"av"},
      {U"alameda", U"al"},      {U"travessa", U"tv"}, {U"trav", U"tv"},     {U"praca", U"pc"},
      {U"pracas", U"pc"},       {U"pca", U"pc"},      {U"estrada", U"est"}, {U"estr", U"est"},
      {U"rodovia", U"rod"},     {U"largo", U"lg"},    {U"lgo", U"lg"},      {U"edificio", U"ed"},
      {U"edif", U"ed"},         {U"predio", U"ed"},   {U"conjunto", U"cj"}, {U"conj", U"cj"},
      {U"sala", U"sl"},         {U"andar", U"and"},   {U"quadra", U"qd"},   {U"qda", U"qd"},
      {U"lote", U"lt"},         {U"setor", U"st"},    {U"bloco", U"bl"},    {U"blc", U"bl"},
      {U"apartamento", U"apt"}, {U"apto", U"apt"},    {U"ap", U"apt"},      {U"loja", U"lj"},
      {U"jardim", U"jd"},       {U"bairro", U""},     {U"cep", U""},        {U"cidade", U""},
      {U"municipio", U""},      {U"estado", U""},     {U"primeiro", U"1º"}, {U"primeira", U"1º"},
      {U"segundo", U"2º"},      {U"segunda", U"2º"},  {U"terceiro", U"3º"}, {U"terceira", U"3º"},
      {U"quarto", U"4º"},       {U"quarta", U"4º"},   {U"quinto", U"5º"},   {U"quinta", U"5º"},
      {U"sexto", U"6º"},        {U"sexta", U"6º"},    {U"setimo", U"7º"},   {U"setima", U"7º"},
      {U"oitavo", U"8º"},       {U"oitava", U"8º"},   {U"nono", U"9º"},     {U"nona", U"9º"},
      {U"decimo", U"10º"},      {U"decima", U"10º"},
  };
  return t;
}

// Each run of \w is split between digits and other characters ("quadra260" is "quadra
// 260", "7e" is "7 e"; an ordinal mark stays with its digits), and each piece rewritten.
std::u32string stage_words(sv t) {
  const auto& table = word_table();
  std::u32string out;
  out.reserve(t.size() + t.size() / 8);
  for (size_t i = 0; i < t.size();) {
    if (!is_word(t[i])) {
      out.push_back(t[i++]);
      continue;
    }
    size_t j = i;
    while (j < t.size() && is_word(t[j])) ++j;
    for (size_t k = i; k < j;) {
      size_t e = k;
      if (is_decimal(t[k])) {
        while (e < j && is_decimal(t[e])) ++e;
        if (e < j && t[e] == kOrdinal) ++e;
      } else {
        while (e < j && !is_decimal(t[e])) ++e;
      }
      if (k > i) out.push_back(U' ');
      sv piece = t.substr(k, e - k);
      auto it = table.find(piece);
      out.append(it == table.end() ? piece : it->second);
      k = e;
    }
    i = j;
  }
  return out;
}

std::u32string staged(sv address) {
  std::u32string lowered = uni::lower(uni::strip_marks(address));
  return stage_words(stage_states(stage_characters(uni::strip(lowered))));
}

// The house-number marks go (the words "numero", "nro", "num"; a word-initial n, nº or
// no with the blanks after it), then the ordinal mark after digits.
std::u32string finish(sv s) {
  std::u32string a;
  a.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (s[i] == U'n' && word_start(s, i)) {
      size_t j = sv::npos;
      for (sv w : {sv(U"numero"), sv(U"nro"), sv(U"num")}) {
        if (starts_with(s, i, w) && word_end(s, i + w.size())) {
          j = i + w.size();
          break;
        }
      }
      if (j == sv::npos) {
        j = i + 1;
        if (j < s.size() && (s[j] == kOrdinal || s[j] == U'o')) ++j;
      }
      while (j < s.size() && is_space(s[j])) ++j;
      i = j;
      continue;
    }
    a.push_back(s[i++]);
  }
  std::u32string b;
  b.reserve(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == kOrdinal && i > 0 && is_decimal(a[i - 1])) continue;
    b.push_back(a[i]);
  }
  return std::u32string(uni::strip(b));
}

template <size_t N>
bool one_of(sv w, const sv (&set)[N]) {
  return std::find(std::begin(set), std::end(set), w) != std::end(set);
}
constexpr sv kNumberMarks[] = {U"n", U"nº", U"no", U"numero", U"nro", U"num"};
constexpr sv kStreetTypes[] = {U"r",   U"av", U"al",  U"tv",   U"pc",   U"est",
                               U"rod", U"lg", U"via", U"beco", U"viela"};
constexpr sv kUnitWords[] = {U"sl", U"apt", U"bl", U"lj", U"cj", U"and", U"qd", U"lt"};
constexpr sv kComplementWords[] = {U"sl",     U"apt",      U"bl",        U"lj",        U"cj",      U"and",
                                   U"qd",     U"lt",       U"ed",        U"casa",      U"subsolo", U"terreo",
                                   U"fundos", U"frente",   U"sobreloja", U"cobertura", U"galpao",  U"box",
                                   U"anexo",  U"mezanino", U"km"};
bool complement_word(sv w) { return one_of(w, kComplementWords); }
// Words that end a street's name before any house number was written after it.
bool stop_word(sv w) {
  return complement_word(w) || one_of(w, kNumberMarks) || w == U"sn" || w == U"jd" || w == U"st";
}

std::vector<sv> words_of(sv t) { return uni::split_ws(t); }

// Distinct words that count in the similarity (three characters or more, or digits),
// sorted.
std::vector<sv> word_set(sv t) {
  std::vector<sv> out;
  for (sv w : uni::split_ws(t)) {
    if (w.size() > 2 || decimal_word(w)) out.push_back(w);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

double jaccard(const std::vector<sv>& a, const std::vector<sv>& b) {
  size_t common = 0;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] < b[j]) ++i;
    else if (b[j] < a[i]) ++j;
    else {
      ++common;
      ++i;
      ++j;
    }
  }
  size_t union_size = a.size() + b.size() - common;
  return union_size == 0 ? 0.0 : static_cast<double>(common) / static_cast<double>(union_size);
}

// `small` inside `big` as whole words (bounded by blanks or the ends).
bool contains_words(sv big, sv small) {
  if (small.empty()) return false;
  for (size_t at = big.find(small); at != sv::npos; at = big.find(small, at + 1)) {
    size_t end = at + small.size();
    if ((at == 0 || big[at - 1] == U' ') && (end == big.size() || big[end] == U' ')) return true;
  }
  return false;
}

using Kind = AddressComparison::Kind;
struct Match {
  Kind kind;
  double similarity;
};
Match score(sv a, sv b) {
  if (a == b) return {Kind::Identical, 1.0};
  if (contains_words(b, a) || contains_words(a, b)) return {Kind::Contained, 0.9};
  auto pa = word_set(a);
  auto pb = word_set(b);
  if (pa.empty() || pb.empty()) return {Kind::NoWords, 0.0};
  return {Kind::Words, jaccard(pa, pb)};
}

std::u32string joined(const AddressFields& r, bool with_complement) {
  std::u32string out;
  for (size_t k = 0; k < 7; ++k) {
    if (r.fields[k].empty() || (k == 2 && !with_complement)) continue;
    if (!out.empty()) out.push_back(U' ');
    out += r.fields[k];
  }
  return out;
}

}  // namespace

std::u32string normalize_address(std::u32string_view address) {
  if (address.empty()) return {};
  return finish(staged(address));
}

AddressAnalysis analyze_address(std::u32string_view address) {
  AddressAnalysis out;
  if (address.empty()) return out;
  const std::u32string s = staged(address);
  const std::vector<sv> tok = words_of(s);

  // The house number: after a mark ("nº 73"), else right after the street's name
  // ("Avenida Paulista, 73"; "Rua 25 de Março, 1000" keeps the 25 in the name).
  for (size_t i = 0; i + 1 < tok.size(); ++i) {
    if (one_of(tok[i], kNumberMarks) && decimal_word(tok[i + 1])) {
      out.number = number_value(tok[i + 1]);
      break;
    }
  }
  if (!out.number) {
    for (size_t i = 0; i < tok.size(); ++i) {
      if (!one_of(tok[i], kStreetTypes)) continue;
      bool in_name = false;
      for (size_t k = i + 1; k < tok.size(); ++k) {
        if (decimal_word(tok[k])) {
          if (in_name) {
            out.number = number_value(tok[k]);
            break;
          }
          in_name = true;
        } else if (stop_word(tok[k])) {
          break;
        } else {
          in_name = true;
        }
      }
      break;
    }
  }

  // Units of the complement and their values: "sl 32", "bl b"; a floor is also written
  // before its word ("21º andar").
  for (size_t i = 0; i < tok.size(); ++i) {
    if (!one_of(tok[i], kUnitWords)) continue;
    sv nxt = i + 1 < tok.size() ? tok[i + 1] : sv();
    sv prv = i > 0 ? tok[i - 1] : sv();
    sv v;
    bool has_value = false;
    if (tok[i] == U"and") {
      if (number_word(nxt)) v = nxt, has_value = true;
      else if (number_word(prv)) v = prv, has_value = true;
    } else if (number_word(nxt) || (nxt.size() <= 2 && alpha_word(nxt))) {
      v = nxt, has_value = true;
    }
    if (has_value) {
      out.units[std::u32string(tok[i])].insert(is_decimal(v[0]) ? number_value(v) : std::u32string(v));
    }
  }
  for (sv w : tok) {
    if (!out.cep && w.size() == 8 && decimal_word(w)) out.cep = ascii_digits(w);
    if (complement_word(w)) out.has_complement = true;
  }
  out.text = finish(s);
  return out;
}

std::u32string street_with_type(std::u32string_view street_type, std::u32string_view street) {
  sv t = uni::strip(street_type);
  if (t.empty() || uni::strip(street).empty()) return std::u32string(street);
  // Compared as the address rules read them, so that "AVENIDA" is the type of "AV PAULISTA".
  const std::u32string nt = normalize_address(t);
  const std::u32string nr = normalize_address(street);
  auto street_words = uni::split_ws(nr);
  if (nt.empty() || (!street_words.empty() && street_words[0] == sv(nt))) return std::u32string(street);
  std::u32string out(t);
  out.push_back(U' ');
  out.append(uni::strip(street));
  return out;
}

AddressComparison compare_addresses(std::u32string_view contract, const AddressFields& registry) {
  AddressAnalysis c = analyze_address(contract);
  if (c.text.empty()) return {Kind::NoWords, 0.0, false};  // only punctuation: nothing to compare
  AddressAnalysis r = analyze_address(joined(registry, true));
  Match best = score(c.text, r.text);
  // A contract that names no complement is also compared with the registry address
  // without its complement; one that names another complement is not.
  if (!registry.fields[2].empty() && !c.has_complement) {
    Match without = score(c.text, normalize_address(joined(registry, false)));
    if (without.similarity > best.similarity) best = without;
  }
  bool vetoed = false;
  const std::u32string number = normalize_address(registry.fields[1]);
  const auto nw = words_of(number);
  if (c.number && nw.size() == 1 && decimal_word(nw[0]) && number_value(nw[0]) != *c.number) vetoed = true;
  const std::u32string cep = normalize_address(registry.fields[6]);
  const auto cw = words_of(cep);
  if (c.cep && cw.size() == 1 && cw[0].size() == 8 && decimal_word(cw[0]) && ascii_digits(cw[0]) != *c.cep) {
    vetoed = true;
  }
  for (const auto& [unit, values] : c.units) {
    auto it = r.units.find(unit);
    if (it != r.units.end() &&
        !std::includes(it->second.begin(), it->second.end(), values.begin(), values.end())) {
      vetoed = true;
    }
  }
  return {best.kind, best.similarity, vetoed};
}

}  // namespace vx::br
