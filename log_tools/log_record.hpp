// The request log's record, written and read back in one place: the
// values of one submission into one line, that line into its fields, and a
// field into the value that was logged. The spam log has the same records.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "log_tools/utc_time.hpp"

namespace log_tools {

// What went wrong, or nothing when all went well.
using failure = std::optional<std::string>;

constexpr std::size_t field_count = 4;  // name, email, subject, message

// A record may end with a fifth field, the UTC time the submission came,
// in this form: a 0 stands for any digit.
constexpr std::string_view time_form = "0000-00-00T00:00:00Z";

// The longest line the program writes for a request of request_limit
// bytes, its LF not counted: every byte of the request a value byte that
// escaping doubles, then 8 quotes and 3 commas, and the time with its
// comma and quotes. It holds for any log of values taken from such
// requests, whatever the field limits and whether it has times.
constexpr std::size_t longest_line(std::size_t request_limit) {
  return 2 * request_limit + 11 + time_form.size() + 3;
}

// The value with each double quote doubled and CR, LF written as \r, \n,
// so that it fits between the quotes of one field on one line. A backslash
// stays as it is.
inline void append_escaped(std::string& out, std::string_view value) {
  // The bytes between the three that change go over in one piece each.
  for (std::size_t at = 0;;) {
    std::size_t special = value.find_first_of("\"\n\r", at);
    out.append(value.substr(at, special - at));
    if (special == std::string_view::npos) return;
    char c = value[special];
    out += c == '"' ? "\"\"" : c == '\n' ? "\\n" : "\\r";
    at = special + 1;
  }
}

inline std::string escape(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  append_escaped(escaped, value);
  return escaped;
}

// One record with its LF: each value escaped and quoted, separated by commas.
inline std::string record_line(std::initializer_list<std::string_view> values) {
  std::size_t size = 1;
  for (std::string_view value : values) size += value.size() + 3;
  std::string line;
  line.reserve(size);
  for (std::string_view value : values) {
    line += line.empty() ? "\"" : ",\"";
    append_escaped(line, value);
    line += '"';
  }
  return line += '\n';
}

// A record's fields as the log holds them: between their quotes, still
// escaped. The last is the time, "" when the record has none.
using fields = std::array<std::string_view, field_count + 1>;
constexpr std::size_t received = field_count;

namespace detail {

// The bytes of a record's line: its quotes and commas, and what csv_escape
// leaves of a value. Cleaning keeps tab, VT, FF, CR, LF, printable ASCII
// and, in a UTF-8 build, the bytes from 0x80 up; CR and LF are written as
// \r, \n. A log from elsewhere may hold ill-formed UTF-8: the reader passes
// it on, and each export format deals with it.
constexpr bool field_byte(char c) {
  auto byte = static_cast<unsigned char>(c);
  return (byte >= ' ' && byte != 0x7F) || c == '\t' || c == '\v' || c == '\f';
}

// Written without an early exit and with a byte to gather into, so that the
// compiler checks 16 bytes at a time: the reader looks at every byte of the
// log, and one pass over a whole line beats one over each short field.
inline bool all_field_bytes(std::string_view line) {
  unsigned char foreign = 0;
  for (char c : line) foreign |= !field_byte(c);
  return !foreign;
}

// Moves at from the first byte of a field to its closing quote. Gives
// nullptr, or why the field is not one the log's writer makes.
inline const char* find_closing_quote(std::string_view line, std::size_t& at) {
  for (;;) {
    std::size_t quote = line.find('"', at);
    if (quote == std::string_view::npos) return "a field without its closing quote";
    at = quote;
    if (at + 1 == line.size() || line[at + 1] != '"') return nullptr;
    at += 2;  // a quote in the value, written twice
  }
}

constexpr const char* not_time = "a fifth field that is not a time";

// Why the line cannot end after field number last, counted from 0.
inline failure at_line_end(const fields& out, std::size_t last) {
  if (last + 1 < field_count) return "fewer than four fields";
  if (last == received && !utc_seconds(out[received])) return not_time;
  return {};
}

}  // namespace detail

// Splits one line, its LF taken off, into the four fields of a record and
// its time, if it has one, accepting exactly what record_line makes. Gives
// nothing, or why the line is not a record.
inline failure split_record(std::string_view line, fields& out) {
  if (line.empty()) return "an empty line";
  if (!detail::all_field_bytes(line)) return "a byte the log never holds";
  out[received] = {};
  std::size_t at = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (at == line.size()) return i < field_count ? "fewer than four fields" : detail::not_time;
    if (line[at] != '"') return "a field that does not start with a quote";
    std::size_t start = ++at;
    if (const char* why = detail::find_closing_quote(line, at)) return why;
    out[i] = line.substr(start, at - start);
    if (++at == line.size()) return detail::at_line_end(out, i);
    if (line[at++] != ',') return "a stray quote";
  }
  return "more than five fields";
}

// Calls put with each byte of the value that a field holds: "" is one
// quote, \n and \r are LF and CR, any other backslash stays. A typed
// backslash-n therefore comes back as a line break, as the log cannot say.
template <class Put>
void decode(std::string_view field, Put put) {
  for (std::size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    char next = i + 1 < field.size() ? field[i + 1] : '\0';
    if (c == '"') {
      ++i;  // the second quote of the pair
    } else if (c == '\\' && (next == 'n' || next == 'r')) {
      c = next == 'n' ? '\n' : '\r';
      ++i;
    }
    put(c);
  }
}

// The value that a field holds, as decode gives it.
inline std::string unescape(std::string_view field) {
  std::string value;
  value.reserve(field.size());
  decode(field, [&value](char c) { value += c; });
  return value;
}

}  // namespace log_tools
