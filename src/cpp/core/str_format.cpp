#include "core/str_format.hpp"

#include <limits>

#include "core/unicode.hpp"

namespace vx::core::strfmt {

const char* message(Err e) {
  switch (e) {
    case Err::SingleClose: return "Single '}' encountered in format string";
    case Err::SingleOpen: return "Single '{' encountered in format string";
    case Err::UnexpectedOpenInName: return "unexpected '{' in field name";
    case Err::EndLookingForConversion:
      return "end of string while looking for conversion specifier";
    case Err::ExpectedColonAfterConversion: return "expected ':' after conversion specifier";
    case Err::UnmatchedOpenInSpec: return "unmatched '{' in format spec";
    case Err::ExpectedCloseBeforeEnd: return "expected '}' before end of string";
    case Err::OnlyDotOrBracket:
      return "Only '.' or '[' may follow ']' in format field specifier";
    case Err::EmptyAttribute: return "Empty attribute in format string";
    case Err::MissingBracket: return "Missing ']' in format string";
    case Err::TooManyDigits: return "Too many decimal digits in format string";
    case Err::None: break;
  }
  return "";
}

namespace {

// Decodes the code point that starts at s[pos] and advances pos past it.
char32_t read_cp(std::string_view s, size_t& pos) {
  unsigned char b = static_cast<unsigned char>(s[pos]);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
  if (pos + n > s.size()) n = 1;
  char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
  pos += n;
  return cp;
}

}  // namespace

// The field after an opening brace: name, then an optional "!c" conversion and an
// optional ":spec" (which may itself hold nested fields), up to the matching '}'.
bool MarkupIterator::parse_field(Chunk& out) {
  const size_t end = s_.size();
  char c = 0;
  size_t name_start = pos_;
  while (pos_ < end) {
    c = s_[pos_++];
    if (c == '{') {
      err_ = Err::UnexpectedOpenInName;
      return false;
    }
    if (c == '[') {
      // An index may hold any character but ']', closing braces included.
      while (pos_ < end && s_[pos_] != ']') ++pos_;
      continue;
    }
    if (c == '}' || c == ':' || c == '!') break;
  }
  out.field_name = s_.substr(name_start, pos_ - 1 - name_start);
  if (c == '!' || c == ':') {
    if (c == '!') {
      if (pos_ >= end) {
        err_ = Err::EndLookingForConversion;
        return false;
      }
      out.conversion = read_cp(s_, pos_);
      if (pos_ < end) {
        char n = s_[pos_++];
        if (n == '}') return true;
        if (n != ':') {
          err_ = Err::ExpectedColonAfterConversion;
          return false;
        }
      }
    }
    size_t spec_start = pos_;
    int count = 1;
    while (pos_ < end) {
      char n = s_[pos_++];
      if (n == '{') {
        out.spec_needs_expanding = true;
        ++count;
      } else if (n == '}') {
        if (--count == 0) {
          out.format_spec = s_.substr(spec_start, pos_ - 1 - spec_start);
          return true;
        }
      }
    }
    err_ = Err::UnmatchedOpenInSpec;
    return false;
  }
  if (c != '}') {
    err_ = Err::ExpectedCloseBeforeEnd;
    return false;
  }
  return true;
}

int MarkupIterator::next(Chunk& out) {
  out = Chunk{};
  const size_t end = s_.size();
  if (pos_ >= end) return 1;
  size_t start = pos_;
  char c = 0;
  bool markup_follows = false;
  while (pos_ < end) {
    c = s_[pos_++];
    if (c == '{' || c == '}') {
      markup_follows = true;
      break;
    }
  }
  bool at_end = pos_ >= end;
  size_t len = pos_ - start;
  if (c == '}' && (at_end || s_[pos_] != '}')) {
    err_ = Err::SingleClose;
    return 0;
  }
  if (at_end && c == '{') {
    err_ = Err::SingleOpen;
    return 0;
  }
  if (!at_end) {
    if (markup_follows && s_[pos_] == c) {
      // A doubled brace: one literal brace, no field.
      ++pos_;
      markup_follows = false;
    } else if (markup_follows) {
      --len;
    }
  }
  out.literal = s_.substr(start, len);
  if (!markup_follows) return 2;
  out.field_present = true;
  return parse_field(out) ? 2 : 0;
}

FieldSplit split_field_name(std::string_view name) {
  size_t i = 0;
  while (i < name.size() && name[i] != '.' && name[i] != '[') ++i;
  return {name.substr(0, i), name.substr(i)};
}

int FieldNameIterator::next(Accessor& out) {
  const size_t end = s_.size();
  if (pos_ >= end) return 1;
  char c = s_[pos_++];
  size_t start = pos_;
  if (c == '.') {
    out.is_attribute = true;
    while (pos_ < end && s_[pos_] != '.' && s_[pos_] != '[') ++pos_;
    out.name = s_.substr(start, pos_ - start);
  } else if (c == '[') {
    out.is_attribute = false;
    while (pos_ < end && s_[pos_] != ']') ++pos_;
    if (pos_ >= end) {
      err_ = Err::MissingBracket;
      return 0;
    }
    out.name = s_.substr(start, pos_ - start);
    ++pos_;  // past ']'
  } else {
    err_ = Err::OnlyDotOrBracket;
    return 0;
  }
  if (out.name.empty()) {
    err_ = Err::EmptyAttribute;
    return 0;
  }
  return 2;
}

int64_t get_integer(std::string_view name) {
  if (name.empty()) return -1;
  const int64_t max = std::numeric_limits<int64_t>::max();
  int64_t acc = 0;
  size_t pos = 0;
  while (pos < name.size()) {
    int d = uni::decimal_value(read_cp(name, pos));
    if (d < 0) return -1;
    if (acc > (max - d) / 10) return -2;
    acc = acc * 10 + d;
  }
  return acc;
}

}  // namespace vx::core::strfmt
