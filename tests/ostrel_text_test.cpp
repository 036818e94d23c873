#include <gtest/gtest.h>

#include <string>

#include "ostrel/one_line.hpp"
#include "ostrel/ostrel.hpp"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

TEST(Filter, KeepsExactlyPrintableAsciiAndWhiteSpace) {
  std::string kept, kept_utf8;
  for (int b = 0; b < 256; ++b) {
    kept += filter(std::string(1, static_cast<char>(b)));
    kept_utf8 += filter_utf8(std::string(1, static_cast<char>(b)));
  }
  std::string want = bytes({0x09, 0x0A, 0x0B, 0x0C, 0x0D});
  for (int b = 0x20; b <= 0x7E; ++b) want += static_cast<char>(b);
  EXPECT_EQ(kept, want);
  EXPECT_EQ(kept_utf8, want);
}

// What cleaning keeps, without UTF-8 and with it.
TEST(Filter, Cases) {
  struct row {
    std::string in, want, want_utf8;
  } rows[] = {
      {"", "", ""},
      {"a\r\nb\tc", "a\r\nb\tc", "a\r\nb\tc"},
      {"\"a,b<c>%", "\"a,b<c>%", "\"a,b<c>%"},
      {bytes({'a', 0x01, 'b', 0x7F, 'c'}), "abc", "abc"},
      {std::string("a\0b", 3), "ab", "ab"},
      {"caf\xc3\xa9", "caf", "caf\xc3\xa9"},
      {"\xc9t\xe9", "t", "t"},  // Latin-1
      {"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd \xe6\x9d\xb1 \xf0\x9f\x8d\xa3", "  ",
       "\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd \xe6\x9d\xb1 \xf0\x9f\x8d\xa3"},  // Иван 東 🍣
      {"\xc2\xa0\xed\x9f\xbf\xee\x80\x80\xf4\x8f\xbf\xbf", "",
       "\xc2\xa0\xed\x9f\xbf\xee\x80\x80\xf4\x8f\xbf\xbf"},  // next to what is dropped
      {"a\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf"
       "b",
       "ab", "ab"},  // overlong
      {"a\xed\xa0\x80\xed\xbf\xbf"
       "b",
       "ab", "ab"},  // surrogates
      {"a\xf4\x90\x80\x80\xf5\x80\x80\x80"
       "b",
       "ab", "ab"},  // above U+10FFFF
      {"a\xe2\x82"
       "b\xf0\x9f\x8d",
       "ab", "ab"},  // cut short
      {"a\x80\xbf"
       "b\xc3\xa9\xa9",
       "ab", "ab\xc3\xa9"},  // stray continuations
      {"a\xc2\x80\xc2\x85\xc2\x9f"
       "b",
       "ab", "ab"},  // C1 controls
      {"a\xe2\x80\xaa\xe2\x80\xae"
       "b\xe2\x81\xa6\xe2\x81\xa9"
       "c\xe2\x80\xa9\xe2\x81\xa5",
       "abc", "abc\xe2\x80\xa9\xe2\x81\xa5"},  // bidirectional controls, and their neighbours
  };
  for (const auto& r : rows) {
    EXPECT_EQ(filter(r.in), r.want) << "filter of \"" << r.in << "\"";
    EXPECT_EQ(filter_utf8(r.in), r.want_utf8) << "filter_utf8 of \"" << r.in << "\"";
  }
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

// Standard error's lines carry no byte that a terminal would act on.
TEST(OneLine, Cases) {
  struct row {
    std::string in, want;
    std::size_t limit = reported_text_limit;
  } rows[] = {
      {"250 ok", "250 ok"},
      {bytes({'a', 0x1b, '[', '2', 'J', 0x7f, '\t', 'b'}), "a [2J  b"},
      {"caf\xc3\xa9", "caf\\xc3\\xa9"},
      {"abc\xc3", "abc", 6},  // the escape would cross the limit: left out whole
  };
  for (const auto& r : rows) EXPECT_EQ(one_line(r.in, r.limit), r.want) << r.in;
}

}  // namespace
