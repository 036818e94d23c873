#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_tools/export_format.hpp"
#include "log_tools/log_record.hpp"
#include "ostrel/config.hpp"
#include "support/cgi_run.hpp"

namespace {

using namespace log_tools;

TEST(SplitRecord, Records) {
  struct row {
    std::string line;
    std::vector<std::string> want;
  } rows[] = {
      {R"("Ann","ann@example.org","Hi","Hello")", {"Ann", "ann@example.org", "Hi", "Hello"}},
      {R"("","","","")", {"", "", "", ""}},
      {R"("say ""hi""","""","a,b","x")", {"say \"hi\"", "\"", "a,b", "x"}},
      {R"("one\ntwo\r\n","c:\temp\","\\n","\x")", {"one\ntwo\r\n", "c:\\temp\\", "\\\n", "\\x"}},
      {"\"\t\v\f\",\"~ !\",\"a\",\"b\"", {"\t\v\f", "~ !", "a", "b"}},
      {"\"Zo\xc3\xab\",\"\xe2\x82\xac\",\"\xf0\x9d\x84\x9e\",\"\xff\xc3\"",
       {"Zo\xc3\xab", "\xe2\x82\xac", "\xf0\x9d\x84\x9e", "\xff\xc3"}},
      {R"("a","b","c","d","2026-12-07T22:14:03Z")", {"a", "b", "c", "d", "2026-12-07T22:14:03Z"}},
  };
  for (const auto& r : rows) {
    fields have;
    failure why = split_record(r.line, have);
    ASSERT_FALSE(why) << r.line << ": " << *why;
    for (std::size_t i = 0; i < have.size(); ++i)
      EXPECT_EQ(unescape(have[i]), i < r.want.size() ? r.want[i] : "") << r.line << ", field " << i;
  }
}

TEST(SplitRecord, Refusals) {
  struct row {
    std::string line, want;
  } rows[] = {
      {"", "an empty line"},
      {R"("a","b","c")", "fewer than four fields"},
      {R"("a","b","c",)", "fewer than four fields"},
      {R"("a","b","c","d","e")", "a fifth field that is not a time"},
      {R"("a","b","c","d",)", "a fifth field that is not a time"},
      {R"("a","b","c","d","2026-12-07 22:14:03Z")", "a fifth field that is not a time"},
      {R"("a","b","c","d","2026-12-07T22:14:03Z","e")", "more than five fields"},
      {R"(a,"b","c","d")", "a field that does not start with a quote"},
      {R"("a",b,"c","d")", "a field that does not start with a quote"},
      {R"("a","b","c","d)", "a field without its closing quote"},
      {R"("a"b","b","c","d")", "a stray quote"},
      {R"("a","b","c","d"")", "a field without its closing quote"},
      {R"("a","b","c","d" )", "a stray quote"},
      {"\"a\",\"b\",\"c\",\"d\"\r", "a byte the log never holds"},
      {"\"a\rb\",\"b\",\"c\",\"d\"", "a byte the log never holds"},
      {std::string("\"a\",\"b\",\"c\",\"\0\"", 15), "a byte the log never holds"},
      {"\"a\",\"b\",\"c\",\"d\x7f\"", "a byte the log never holds"},
      {"\"a\",\"b\",\"c\",\"d\x1f\"", "a byte the log never holds"},
  };
  for (const auto& r : rows) {
    fields unused;
    std::string have = split_record(r.line, unused).value_or("a record");
    EXPECT_EQ(have, r.want) << r.line;
  }
}

// A cell written into a buffer of exactly the room promised.
template <class Put>
std::string written(std::string_view field, std::size_t room, Put put) {
  std::vector<char> buffer(room);
  char* end = put(buffer.data(), field);
  EXPECT_LE(static_cast<std::size_t>(end - buffer.data()), room) << "past its room: " << field;
  return std::string(buffer.data(), end);
}

TEST(CsvCell, Cases) {
  struct row {
    std::string field, want;
  } rows[] = {
      {"Ann", R"("Ann")"},
      {"", R"("")"},
      {R"(say ""hi"", a,b)", R"("say ""hi"", a,b")"},
      {R"(one\ntwo\r\n)", "\"one\ntwo\r\n\""},
      {R"(c:\temp\)", R"("c:\temp\")"},
      {"=SUM(A1:A9)", "\"'=SUM(A1:A9)\""},
      {"+1 555", R"("'+1 555")"},
      {"-5", R"("'-5")"},
      {"@home", R"("'@home")"},
      {"\tx", "\"'\tx\""},
      {R"(\rx)", "\"'\rx\""},
      {R"(\nx)", "\"\nx\""},
      {R"(""=x)", R"("""=x")"},
      {" =x", R"(" =x")"},
  };
  for (const auto& r : rows) {
    std::string have = written(r.field, csv_cell_room(r.field.size()), put_csv_cell);
    EXPECT_EQ(have, r.want) << "cell of " << r.field;
  }
}

TEST(JsonString, Cases) {
  const std::string bad = "\xef\xbf\xbd";  // U+FFFD
  struct row {
    std::string field, want;
  } rows[] = {
      {"Ann", R"("Ann")"},
      {"", R"("")"},
      {R"(say ""hi"")", R"("say \"hi\"")"},
      {R"(one\ntwo\r)", R"("one\ntwo\r")"},
      {R"(c:\temp\)", R"("c:\\temp\\")"},
      {"\t\v\f\v", R"("\t\u000b\f\u000b")"},
      {"=1+1", R"("=1+1")"},
      {"Zo\xc3\xab \xe2\x82\xac\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf",
       "\"Zo\xc3\xab \xe2\x82\xac\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf\""},
      {"\x80 \xbf\xff\xf5\xc1", "\"" + bad + " " + bad + bad + bad + bad + "\""},
      {"\xf0\x9f\x98x\xe2\x82\\n\xc3\"\"", "\"" + bad + "x" + bad + "\\n" + bad + "\\\"\""},
      // overlong, a surrogate, past U+10FFFF: the lead, then each byte after it
      {"\xe0\x9f\xbf\xed\xa0\xf4\x90", "\"" + bad + bad + bad + bad + bad + bad + bad + "\""},
  };
  for (const auto& r : rows) {
    std::string have = written(r.field, json_string_room(r.field.size()), put_json_string);
    EXPECT_EQ(have, r.want) << "JSON string of " << r.field;
  }
}

TEST(ExportProgram, LeavesOutAndNamesTheLinesThatAreNoRecords) {
  // The biggest record a request makes: name and subject all quotes, a
  // message all line breaks (each two bytes once logged), the rest the
  // address, within the 30 bytes of the four names and their = and &.
  const settings site = config::built();
  const std::size_t fields = site.name_limit + site.subject_limit + site.message_limit;
  std::string address(static_cast<std::size_t>(site.request_limit) - 30 - fields - 1, 'a'), breaks;
  for (std::size_t i = 0; i < site.message_limit; ++i) breaks += "\\n";
  std::string head = "\"" + std::string(2 * site.name_limit, '"') + "\",\"" + address + "@\",\"" +
                     std::string(2 * site.subject_limit, '"') + "\",\"";
  std::string lines[] = {
      R"("Ann","ann@example.org","Hi","one\ntwo")",
      R"("broken","line")",
      "\"" + std::string(300000, 'x') + "\",\"a\",\"b\",\"c\"",  // longer than a read block
      head + breaks + "\"",
      R"("Bob","bob@example.org","=1+1","x")",
      "\"Cy\",\"c@d\",\"\",\"saved on another system\"\r",
      R"("Di","d@e","","x","2026-12-07T22:14:03Z")",  // a time and no column for it
  };
  cgi_request request;
  for (const std::string& line : lines) request.body += line + "\n";
  request.body += R"("cut","short","in","the middle")";
  cgi_answer answer = run_cgi(OSTREL_EXPORT, request);
  EXPECT_EQ(answer.out,
            "\"name\",\"email\",\"subject\",\"message\"\r\n"
            "\"Ann\",\"ann@example.org\",\"Hi\",\"one\ntwo\"\r\n" +
                head + std::string(site.message_limit, '\n') + "\"\r\n" +
                "\"Bob\",\"bob@example.org\",\"'=1+1\",\"x\"\r\n"
                "\"Cy\",\"c@d\",\"\",\"saved on another system\"\r\n");
  EXPECT_EQ(answer.err,
            "ostrel-export: line 2: fewer than four fields\n"
            "ostrel-export: line 3: longer than any record ostrel writes\n"
            "ostrel-export: line 7: a time, which only a CSV with --received has a column for\n"
            "ostrel-export: line 8: no line feed at the end\n");
  EXPECT_EQ(answer.exit_status, 1);
}

TEST(ExportProgram, NamesAHundredBadLinesAndCountsTheRest) {
  cgi_request request;
  for (int i = 0; i < 105; ++i) request.body += "x\n";
  cgi_answer answer = run_cgi(OSTREL_EXPORT, request);
  EXPECT_EQ(std::count(answer.err.begin(), answer.err.end(), '\n'), 101);
  EXPECT_NE(answer.err.find("line 100: a field that does not start with a quote\n"
                            "ostrel-export: 5 more lines left out\n"),
            std::string::npos);
  EXPECT_EQ(answer.exit_status, 1);
}

// The log from a file, or from standard input without one or with "-".
TEST(ExportProgram, Arguments) {
  temp_dir dir;
  write_file(dir.file("log"), "\"Ann\",\"a@b\",\"s\",\"m\"\n");
  struct row {
    std::string arguments;
    int want_status;
    std::string want_start;
  } rows[] = {{"", 0, "\"name\""},
              {" -", 0, "\"name\""},
              {" --json -", 0, "{\"name\""},
              {" --received " + dir.file("log"), 0,
               "\"name\",\"email\",\"subject\",\"message\",\"received\"\r\n"
               "\"Ann\",\"a@b\",\"s\",\"m\",\"\"\r\n"},
              {" --bom -", 0, "\xef\xbb\xbf\"name\""},
              {" --json --bom", 2, ""},
              {" --bogus", 2, ""},
              {" - -", 2, ""},
              {" " + dir.file("none"), 2, ""}};
  for (const row& r : rows) {
    std::string command = std::string(OSTREL_EXPORT) + r.arguments + " <" + dir.file("log") + " >" +
                          dir.file("out") + " 2>/dev/null";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), r.want_status) << r.arguments;
    std::string out = read_file(dir.file("out"));
    EXPECT_EQ(out.find("Ann") != std::string::npos, r.want_status == 0) << r.arguments;
    EXPECT_EQ(out.substr(0, r.want_start.size()), r.want_start) << r.arguments;
  }
}

}  // namespace
