// The grammar of Python's str.format templates, as CPython parses it, over UTF-8 text.
//
// The reader fills prompt templates with str.format rules (a named field receives the
// document text, doubled braces are literal braces). This file holds the parsing half:
// it splits a template into literal runs and replacement fields and reports the same
// syntax errors, in the same order, as the interpreter does. Evaluating a field (the
// lookup, attribute and index access, conversion, format spec) needs Python objects
// and is done by the caller.
//
// All structural characters ({ } [ ] . ! :) are ASCII, so the scanners work on bytes:
// a multi-byte UTF-8 sequence never contains one of them.
#pragma once

#include <cstdint>
#include <string_view>

namespace vx::core::strfmt {

enum class Err {
  None,
  SingleClose,                   // "Single '}' encountered in format string"
  SingleOpen,                    // "Single '{' encountered in format string"
  UnexpectedOpenInName,          // "unexpected '{' in field name"
  EndLookingForConversion,       // "end of string while looking for conversion specifier"
  ExpectedColonAfterConversion,  // "expected ':' after conversion specifier"
  UnmatchedOpenInSpec,           // "unmatched '{' in format spec"
  ExpectedCloseBeforeEnd,        // "expected '}' before end of string"
  OnlyDotOrBracket,              // "Only '.' or '[' may follow ']' in format field specifier"
  EmptyAttribute,                // "Empty attribute in format string"
  MissingBracket,                // "Missing ']' in format string"
  TooManyDigits,                 // "Too many decimal digits in format string"
};

// The ValueError message CPython gives for the error.
const char* message(Err e);

// One step of the template: literal text, optionally followed by a field.
struct Chunk {
  std::string_view literal;
  bool field_present = false;
  std::string_view field_name;
  std::string_view format_spec;
  char32_t conversion = 0;  // 0 when the field has none
  bool spec_needs_expanding = false;
};

class MarkupIterator {
 public:
  explicit MarkupIterator(std::string_view s) : s_(s) {}
  // 1: end of template; 2: `out` holds the next chunk; 0: syntax error (see error()).
  int next(Chunk& out);
  Err error() const { return err_; }

 private:
  bool parse_field(Chunk& out);
  std::string_view s_;
  size_t pos_ = 0;
  Err err_ = Err::None;
};

// A field name's first part (before the first '.' or '['), and the rest.
struct FieldSplit {
  std::string_view first;
  std::string_view rest;
};
FieldSplit split_field_name(std::string_view name);

// Walks the ".attr" and "[key]" accessors that follow a field's first part.
struct Accessor {
  bool is_attribute = false;
  std::string_view name;
};
class FieldNameIterator {
 public:
  explicit FieldNameIterator(std::string_view rest) : s_(rest) {}
  // 1: end; 2: `out` holds the next accessor; 0: error (see error()).
  int next(Accessor& out);
  Err error() const { return err_; }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  Err err_ = Err::None;
};

// The value of a name made only of Unicode decimal digits (any script), as CPython
// reads positional indices: -1 when the name is empty or has another character, -2
// when the value does not fit a Py_ssize_t (TooManyDigits).
int64_t get_integer(std::string_view name);

}  // namespace vx::core::strfmt
