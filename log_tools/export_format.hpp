// A logged value written for other programs: a CSV cell that a spreadsheet
// opens as text, or a JSON string. Both write at a pointer and give the end,
// so a whole record goes into one buffer without an allocation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "log_tools/log_record.hpp"
#include "log_tools/utf8.hpp"

namespace log_tools {

// Room a CSV cell of a field needs: decoding never lengthens it, and the
// quotes and an apostrophe come on top.
constexpr std::size_t csv_cell_room(std::size_t field_size) { return field_size + 3; }

// Room a JSON string of a field needs: a VT, one byte, becomes \u000b; an
// ill-formed UTF-8 byte at most the three bytes of U+FFFD.
constexpr std::size_t json_string_room(std::size_t field_size) { return 6 * field_size + 2; }

// The first byte of the value a field holds, '\0' for an empty one.
inline char first_value_byte(std::string_view field) {
  char first = '\0';
  decode(field.substr(0, 2), [&first](char c) {
    if (first == '\0') first = c;
  });
  return first;
}

// A spreadsheet runs a cell that starts with one of these as a formula
// (OWASP, CSV injection).
inline bool starts_formula(std::string_view field) {
  char first = first_value_byte(field);
  return first != '\0' && std::string_view("=+-@\t\r").find(first) != std::string_view::npos;
}

// The value of a field as one RFC 4180 cell: quoted, its quotes doubled,
// its line breaks real ones inside the quotes, and an apostrophe in front
// of a formula's start so that it shows as text. The field's quotes are
// already doubled, so only its backslashes need a look (decode's rule).
inline char* put_csv_cell(char* out, std::string_view field) {
  *out++ = '"';
  if (starts_formula(field)) *out++ = '\'';
  while (!field.empty()) {
    std::size_t plain = field.find('\\');
    if (plain == std::string_view::npos) plain = field.size();
    out = std::copy_n(field.data(), plain, out);
    field.remove_prefix(plain);
    if (field.empty()) break;
    char next = field.size() > 1 ? field[1] : '\0';
    bool line_break = next == 'n' || next == 'r';
    *out++ = next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
    field.remove_prefix(line_break ? 2 : 1);
  }
  *out++ = '"';
  return out;
}

// The escape JSON needs for a byte of a value, "" when it stands as it is
// (RFC 8259). The other control bytes never reach it: split_record refuses them.
constexpr std::string_view json_escape(char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\v':
      return "\\u000b";  // no short form
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      return "";
  }
}

// How many bytes the field starts with below 0x80. Most fields are ASCII
// only: the first loop, without an early exit, checks 16 bytes at a time.
inline std::size_t ascii_prefix(std::string_view field) {
  unsigned char any = 0;
  for (char c : field) any |= static_cast<unsigned char>(c);
  if (any < 0x80) return field.size();
  auto high = std::find_if(field.begin(), field.end(), [](char c) { return c & 0x80; });
  return static_cast<std::size_t>(high - field.begin());
}

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The value of a field as a JSON string, which RFC 8259 wants in UTF-8:
// the log's own escapes are ASCII and split no sequence, so the field is
// checked as it stands, and each ill-formed part becomes U+FFFD.
inline char* put_json_string(char* out, std::string_view field) {
  *out++ = '"';
  while (!field.empty()) {
    std::size_t ascii = ascii_prefix(field);
    decode(field.substr(0, ascii), [&out](char c) {
      std::string_view escaped = json_escape(c);
      if (escaped.empty()) *out++ = c;
      for (char e : escaped) *out++ = e;
    });
    field.remove_prefix(ascii);
    if (field.empty()) break;
    utf8_sequence sequence = first_sequence(field);
    std::string_view kept = sequence.well_formed ? field.substr(0, sequence.size) : replacement;
    out = std::copy(kept.begin(), kept.end(), out);
    field.remove_prefix(sequence.size);
  }
  *out++ = '"';
  return out;
}

}  // namespace log_tools
