// Fuzz target of the field cleaning, the address check and the log escaping,
// each checked against what it promises on any bytes.
#include <cstdint>
#include <string>

#include "fuzz/check.hpp"
#include "ostrel/ostrel.hpp"

namespace {

bool kept_byte(unsigned char b) { return (b >= 0x09 && b <= 0x0D) || (b >= 0x20 && b <= 0x7E); }

bool address_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '@' || c == '-';
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_cleaning(text);
  check_address(text);
  check_address(filter(text));
  check_escape(text);
  check_escape(filter(text));  // what the log really receives
  return 0;
}
