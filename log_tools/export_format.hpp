// A logged value written for other programs: a CSV cell that a spreadsheet
// opens as text, or a JSON string. Both write at a pointer and give the end,
// so a whole record goes into one buffer without an allocation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "log_tools/log_record.hpp"

namespace log_tools {

// Room a CSV cell of a field needs: decoding never lengthens it, and the
// quotes and an apostrophe come on top.
constexpr std::size_t csv_cell_room(std::size_t field_size) { return field_size + 3; }

// Room a JSON string of a field needs: a VT, one byte, becomes \u000b.
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

// The value of a field as a JSON string.
inline char* put_json_string(char* out, std::string_view field) {
  *out++ = '"';
  decode(field, [&out](char c) {
    std::string_view escaped = json_escape(c);
    if (escaped.empty()) *out++ = c;
    for (char e : escaped) *out++ = e;
  });
  *out++ = '"';
  return out;
}

}  // namespace log_tools
