// Fuzz target of the field cleaning, the address check, the log escaping and
// the log's reader and export cells, each checked against what it promises
// on any bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/check.hpp"
#include "log_tools/export_format.hpp"
#include "log_tools/log_record.hpp"
#include "log_tools/utc_time.hpp"
#include "ostrel/ostrel.hpp"

namespace {

bool kept_byte(unsigned char b) { return (b >= 0x09 && b <= 0x0D) || (b >= 0x20 && b <= 0x7E); }

bool address_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '@' || c == '-' || c == '+' || c == '_';
}

bool is_subsequence(const std::string& part, const std::string& whole) {
  std::size_t i = 0;
  for (char c : whole)
    if (i < part.size() && part[i] == c) ++i;
  return i == part.size();
}

void check_cleaning(const std::string& text) {
  std::string cleaned = filter(text);
  for (char c : cleaned) FUZZ_CHECK(kept_byte(static_cast<unsigned char>(c)));
  FUZZ_CHECK(is_subsequence(cleaned, text));
  // Only removed bytes are missing: as many bytes as the text has kept ones.
  std::size_t kept = 0;
  for (char c : text) kept += kept_byte(static_cast<unsigned char>(c));
  FUZZ_CHECK(cleaned.size() == kept);
  // no_null sees the text as a C string: up to the first NUL.
  FUZZ_CHECK(no_null(text.c_str()) == filter(text.substr(0, text.find('\0'))));
}

// The code points of well-formed UTF-8, or nothing when text is not
// (Unicode table 3-7, written out as ranges of code points).
std::optional<std::vector<std::uint32_t>> code_points(const std::string& text) {
  std::vector<std::uint32_t> points;
  for (std::size_t at = 0; at < text.size();) {
    unsigned lead = static_cast<unsigned char>(text[at]);
    std::size_t size = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (size == 0 || at + size > text.size()) return {};
    std::uint32_t point = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t i = 1; i < size; ++i) {
      unsigned next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return {};
      point = point << 6 | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[size] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {};
    points.push_back(point);
    at += size;
  }
  return points;
}

// With UTF-8 kept: well-formed, no control but tab and the line breaks, no
// bidirectional control; ASCII as without it; cleaning again changes nothing.
void check_cleaning_utf8(const std::string& text) {
  std::string cleaned = filter_utf8(text);
  auto points = code_points(cleaned);
  FUZZ_CHECK(points.has_value());
  for (std::uint32_t p : *points) {
    FUZZ_CHECK(p >= 0x80
                   ? !(p <= 0x9F || (p >= 0x202A && p <= 0x202E) || (p >= 0x2066 && p <= 0x2069))
                   : kept_byte(static_cast<unsigned char>(p)));
  }
  FUZZ_CHECK(is_subsequence(cleaned, text));
  FUZZ_CHECK(filter_utf8(cleaned) == cleaned);
  std::string ascii;
  for (char c : cleaned)
    if (static_cast<unsigned char>(c) < 0x80) ascii += c;
  FUZZ_CHECK(ascii == filter(text));
}

void check_address(const std::string& address) {
  bool good = !address.empty() && address.find('@') != std::string::npos;
  for (char c : address) good = good && address_byte(c);
  FUZZ_CHECK(is_good_email(address) == good);
}

// Reverses csv_escape: "" is one quote, \n and \r the line breaks. A
// backslash before n or r in the value itself comes back as a line break,
// because csv_escape leaves backslashes as they are.
std::string csv_unescape(const std::string& escaped) {
  std::string value;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    char c = escaped[i];
    char next = i + 1 < escaped.size() ? escaped[i + 1] : '\0';
    if (c == '"' && next == '"') {
      value += '"';
      ++i;
    } else if (c == '\\' && (next == 'n' || next == 'r')) {
      value += next == 'n' ? '\n' : '\r';
      ++i;
    } else {
      value += c;
    }
  }
  return value;
}

void check_escape(const std::string& value) {
  std::string escaped = csv_escape(value);
  FUZZ_CHECK(escaped.find_first_of("\r\n") == std::string::npos);  // one line of the log
  FUZZ_CHECK(escaped.size() >= value.size() && escaped.size() <= 2 * value.size());
  // Quotes come in pairs, so no quote ends the field early.
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '"') continue;
    FUZZ_CHECK(i + 1 < escaped.size() && escaped[i + 1] == '"');
    ++i;
  }
  if (value.find('\\') == std::string::npos)
    FUZZ_CHECK(csv_unescape(escaped) == value);
  else
    FUZZ_CHECK(csv_escape(csv_unescape(escaped)) == escaped);
}

using four_values = std::array<std::string, log_tools::field_count>;

// A record as the program logs it, its LF aside, with the time if one is given.
std::string logged(const four_values& values, std::string_view time) {
  const auto& [name, email, subject, message] = values;
  std::string line = time.empty() ? log_tools::record_line({name, email, subject, message})
                                  : log_tools::record_line({name, email, subject, message, time});
  line.pop_back();
  return line;
}

// What any cleaning can leave: the bytes the ASCII cleaning keeps, and
// those of UTF-8, well-formed or not.
std::string loggable(const std::string& text) {
  std::string kept;
  for (char c : text)
    if (kept_byte(static_cast<unsigned char>(c)) || (c & 0x80)) kept += c;
  return kept;
}

// The text cut at NUL bytes into values, each cleaned.
four_values cleaned_values(const std::string& text) {
  four_values values;
  std::size_t at = 0;
  for (std::string& value : values) {
    if (at > text.size()) break;
    std::size_t nul = std::min(text.find('\0', at), text.size());
    value = loggable(text.substr(at, nul - at));
    at = nul + 1;
  }
  return values;
}

// The text of one quoted RFC 4180 cell.
std::string cell_text(const std::string& cell) {
  FUZZ_CHECK(cell.size() >= 2 && cell.front() == '"' && cell.back() == '"');
  std::string inner = cell.substr(1, cell.size() - 2), text;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '"') FUZZ_CHECK(i + 1 < inner.size() && inner[++i] == '"');
    text += inner[i];
  }
  return text;
}

// A field of a logged record read back, and written as a CSV cell and a JSON string.
void check_field(std::string_view field, const std::string& value) {
  std::string back = log_tools::unescape(field);
  // Exact unless a typed backslash-n or -r came back as a line break.
  if (value.find('\\') == std::string::npos) FUZZ_CHECK(back == value);
  FUZZ_CHECK(csv_escape(back) == csv_escape(value));

  std::string cell(log_tools::csv_cell_room(field.size()), '\0');
  cell.resize(static_cast<std::size_t>(log_tools::put_csv_cell(cell.data(), field) - cell.data()));
  bool formula = !back.empty() && std::string("=+-@\t\r").find(back[0]) != std::string::npos;
  FUZZ_CHECK(cell_text(cell) == (formula ? "'" + back : back));

  std::string json(log_tools::json_string_room(field.size()), '\0');
  char* end = log_tools::put_json_string(json.data(), field);
  FUZZ_CHECK(end <= json.data() + json.size());
  json.resize(static_cast<std::size_t>(end - json.data()));
  FUZZ_CHECK(code_points(json).has_value());  // JSON is UTF-8, whatever the log holds
}

// Any four cleaned values, logged with or without a time, come back from the reader.
void check_round_trip(const std::string& text) {
  four_values values = cleaned_values(text);
  for (std::string_view time : {"", "2026-12-07T22:14:03Z"}) {
    std::string line = logged(values, time);
    log_tools::fields fields;
    FUZZ_CHECK(!log_tools::split_record(line, fields));
    FUZZ_CHECK(fields[log_tools::received] == time);
    for (std::size_t i = 0; i < values.size(); ++i) check_field(fields[i], values[i]);
  }
}

// The reader takes only what the program writes: a line it accepts is the
// line its values would be logged as.
void check_reader(const std::string& line) {
  log_tools::fields fields;
  if (log_tools::split_record(line, fields)) return;
  four_values values;
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = log_tools::unescape(fields[i]);
  std::string_view time = fields[log_tools::received];
  std::string form(time);  // the time's form, 0 for any digit
  for (char& c : form) c = c >= '1' && c <= '9' ? '0' : c;
  FUZZ_CHECK(form.empty() || form == "0000-00-00T00:00:00Z");
  FUZZ_CHECK(logged(values, time) == line);
}

// A record's time: any moment from 1970 to 9999 reads back as itself, and
// a text that reads as a time is the one that moment is written as.
void check_time(const std::string& text) {
  std::uint64_t bytes = 0;
  std::memcpy(&bytes, text.data(), std::min(text.size(), sizeof bytes));
  const auto moment = static_cast<std::int64_t>(bytes % 253402300800);  // up to 9999-12-31
  FUZZ_CHECK(log_tools::utc_seconds(log_tools::utc_text(moment)) == moment);
  if (auto seconds = log_tools::utc_seconds(text))
    FUZZ_CHECK(log_tools::utc_text(*seconds) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_cleaning(text);
  check_cleaning_utf8(text);
  check_time(text);
  check_address(text);
  check_address(filter(text));
  check_escape(text);
  check_escape(filter(text));  // what the log really receives
  check_round_trip(text);
  check_reader(text);
  return 0;
}
