#include <gtest/gtest.h>

#include <string>

#include "ostrel/ostrel.hpp"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

TEST(Filter, KeepsExactlyPrintableAsciiAndWhiteSpace) {
  std::string kept;
  for (int b = 0; b < 256; ++b) kept += filter(std::string(1, static_cast<char>(b)));
  std::string want = bytes({0x09, 0x0A, 0x0B, 0x0C, 0x0D});
  for (int b = 0x20; b <= 0x7E; ++b) want += static_cast<char>(b);
  EXPECT_EQ(kept, want);
}

TEST(Filter, Cases) {
  struct row {
    std::string in, want;
  } rows[] = {
      {"", ""},
      {"a\r\nb\tc", "a\r\nb\tc"},
      {"\"a,b<c>%", "\"a,b<c>%"},
      {bytes({'a', 0x01, 'b', 0x7F, 'c'}), "abc"},
      {std::string("a\0b", 3), "ab"},
      {"caf\xc3\xa9", "caf"},
      {"\xc9t\xe9", "t"},
  };
  for (const auto& r : rows) EXPECT_EQ(filter(r.in), r.want) << "filter of \"" << r.in << "\"";
}

TEST(NoNull, NullEmptyAndEmbeddedNul) {
  EXPECT_EQ(no_null(nullptr), "");
  EXPECT_EQ(no_null(""), "");
  const char text[] = {'a', 'b', '\0', 'c', 'd', '\0'};
  EXPECT_EQ(no_null(text), "ab");
  EXPECT_EQ(no_null("x\x01y\xffz"), "xyz");
}

TEST(CharacterClasses, AsciiRangesOnly) {
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
    EXPECT_EQ(is_alpha(c), letter) << "byte " << b;
    EXPECT_EQ(is_digit(c), b >= '0' && b <= '9') << "byte " << b;
  }
}

TEST(IsGoodEmail, Cases) {
  struct row {
    std::string address;
    bool want;
  } rows[] = {
      {"", false},
      {"abc", false},
      {"@", true},
      {"a@b@c", true},
      {"-.@.-", true},
      {"a_b@c", true},
      {"a+b@c", true},
      {"a@b ", false},
      {"A1@B2", true},
      {"a'b@c", false},
      {"a,b@c", false},
      {"a@b\n", false},
      {"ann@example.org", true},
      {"a@b\xc3", false},
      {"\"a\"@b", false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(is_good_email(r.address), r.want) << "is_good_email(\"" << r.address << "\")";
}

TEST(CsvEscape, Cases) {
  struct row {
    std::string in, want;
  } rows[] = {
      {"", ""},
      {"a\r\nb", "a\\r\\nb"},
      {"\"", "\"\""},
      {"a,b", "a,b"},
      {"a\\nb", "a\\nb"},
      {"a\tb", "a\tb"},
      {"say \"hi\"\n", "say \"\"hi\"\"\\n"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(csv_escape(r.in), r.want) << "csv_escape of \"" << r.in << "\"";
}

}  // namespace
