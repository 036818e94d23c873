#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cgi_tools/cgi.hpp"

namespace {

// The program's limit on the raw request text.
constexpr int limit = 3000;

using form_map = std::map<char*, char*, cgi_tools::form_var_comp>;
using decoder = cgi_tools::cgi<form_map>;
using cgi_tools::fault;
using entries = std::vector<std::pair<std::string, std::string>>;

entries entries_of(const form_map& vars) {
  entries out;
  for (const auto& [name, value] : vars) out.emplace_back(name, value ? value : "<null>");
  return out;
}

std::string show(const entries& list) {
  std::string out;
  for (const auto& [name, value] : list) out += "[" + name + "=" + value + "]";
  return out;
}

// Sets the CGI variables for one case and puts them back afterwards.
class CgiEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"REQUEST_METHOD", "CONTENT_LENGTH", "QUERY_STRING"}) unsetenv(name);
  }
  void TearDown() override { SetUp(); }

  static void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

  // Decodes a POST of `body` with the given CONTENT_LENGTH, without ending the process.
  static fault post(const std::string& length, const std::string& body, entries* decoded = nullptr,
                    long* unread = nullptr) {
    set("REQUEST_METHOD", "POST");
    set("CONTENT_LENGTH", length);
    std::string copy = body;
    std::FILE* in =
        copy.empty() ? std::fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
    fault outcome;
    {
      decoder d(limit, in, outcome);
      if (decoded) *decoded = entries_of(d.form_vars);
    }
    if (unread) *unread = static_cast<long>(copy.size()) - std::ftell(in);
    std::fclose(in);
    return outcome;
  }
};

TEST(Decode, Fields) {
  struct row {
    std::string in, want;
  } rows[] = {
      {"a+b", "a b"},
      {"x%21", "x!"},
      {"%2B%25+", std::string("+% ")},
      {"%7e%7E", "~~"},
      {"%zz", "S"},  // 16 * 35 + 35 = 595, low eight bits 83
      {"%G0x", ""},  // decodes to a NUL byte, which ends the field
      {"%2", "%2"},  // too short for an escape: kept as it stands
      {"%", "%"},
      {"a%", "a%"},
      {"%%41", "T1"},    // any byte goes through the formula, "%" too
      {"%252B", "%2B"},  // an escaped "%" is not decoded again
      {"%0a%0D", "\n\r"},
      {"%ff", "\xff"},
      {"%20%", " %"},
      {"", ""},
  };
  for (const auto& r : rows) {
    std::string buffer = r.in;
    cgi_tools::decode(buffer.data());
    std::string have(buffer.c_str());
    EXPECT_EQ(have, r.want) << "decode(\"" << r.in << "\"): have \"" << have << "\", want \""
                            << r.want << "\"";
  }
}

TEST(Decode, StopsAtTheFieldsNul) {
  // "%4" at the end of a field must not take the byte after the NUL.
  char text[] = {'%', '4', '\0', '1', '\0'};
  cgi_tools::decode(text);
  EXPECT_STREQ(text, "%4");
  EXPECT_EQ(text[3], '1');
}

TEST_F(CgiEnvironment, SplitsPairs) {
  struct row {
    std::string body;
    entries want;
  } rows[] = {
      {"name=a+b&subject=x%21", {{"name", "a b"}, {"subject", "x!"}}},
      {"a=1&a=2", {{"a", "2"}}},
      {"a&b=c", {{"a&b", "c"}}},
      {"a=1&&b=2", {{"&b", "2"}, {"a", "1"}}},
      {"a=1&b", {{"a", "1"}, {"b", ""}}},
      {"x", {{"x", ""}}},
      {"=v", {{"", "v"}}},
      {"a=", {{"a", ""}}},
      {"a=1&", {{"a", "1"}}},
      {"a=&b=2", {{"a", ""}, {"b", "2"}}},
      {"a=1=2", {{"a", "1=2"}}},
      {"x=%2B%25+", {{"x", "+% "}}},
      {std::string("a=\0"
                   "1&b=2",
                   8),
       {{"1&b", "2"}, {"a", ""}}},
      {"Name=x&name=y", {{"Name", "x"}, {"name", "y"}}},
      {"a%3Db=c", {{"a=b", "c"}}},  // an escaped "=" in a name is part of the name
      {"a=%", {{"a", "%"}}},
      {"a=%4&b=1", {{"a", "%4"}, {"b", "1"}}},
  };
  for (const auto& r : rows) {
    entries have;
    std::string length = std::to_string(r.body.size());
    ASSERT_EQ(post(length, r.body, &have), fault::none) << r.body;
    EXPECT_EQ(have, r.want) << "body \"" << r.body << "\": have " << show(have) << ", want "
                            << show(r.want);
  }
}

TEST_F(CgiEnvironment, PostLengths) {
  std::string full(limit, 'x');
  const std::string at_limit = std::to_string(limit), over = std::to_string(limit + 1);
  struct row {
    std::string length, body;
    fault want;
    long unread;
  } rows[] = {
      {at_limit, full, fault::none, 0},
      {over, full + "x", fault::too_long, limit + 1},  // the body is not read
      {"0", "a=1", fault::unreadable, 3},
      {"abc", "a=1", fault::unreadable, 3},
      {"", "a=1", fault::unreadable, 3},
      {"-1", "a=1", fault::unreadable, 3},
      {"-2147483648", "a=1", fault::unreadable, 3},
      {"99999999999999999999", "a=1", fault::too_long, 3},
      {std::to_string((1LL << 32) + limit), "a=1", fault::too_long,
       3},  // must not wrap to the limit
      {"10", "a=12", fault::unreadable, 0},
      {" 3", "a=1", fault::none, 0},
      {"3xyz", "a=1", fault::none, 0},
  };
  for (const auto& r : rows) {
    long unread = -1;
    EXPECT_EQ(post(r.length, r.body, nullptr, &unread), r.want) << "CONTENT_LENGTH " << r.length;
    EXPECT_EQ(unread, r.unread) << "CONTENT_LENGTH " << r.length;
  }
}

TEST_F(CgiEnvironment, PostReadsOnlyTheDeclaredLength) {
  entries have;
  ASSERT_EQ(post("10", "name=abcdefghij&x=1", &have), fault::none);
  EXPECT_EQ(have, (entries{{"name", "abcde"}}));
}

TEST_F(CgiEnvironment, PostWithoutLength) {
  set("REQUEST_METHOD", "POST");
  fault outcome;
  decoder d(limit, stdin, outcome);
  EXPECT_EQ(outcome, fault::no_length);
  EXPECT_TRUE(d.form_vars.empty());
}

TEST_F(CgiEnvironment, Methods) {
  struct row {
    const char* method;
    bool post;
    bool get;
  } rows[] = {
      {"POSTX", true, false}, {"GETS", false, true}, {"post", false, false},
      {"HEAD", false, false}, {"", false, false},    {"GE", false, false},
  };
  set("CONTENT_LENGTH", "3");
  set("QUERY_STRING", "g=1");
  for (const auto& r : rows) {
    set("REQUEST_METHOD", r.method);
    char body[] = "p=1";
    std::FILE* in = fmemopen(body, 3, "r");
    fault outcome;
    decoder d(limit, in, outcome);
    std::fclose(in);
    EXPECT_EQ(outcome, fault::none) << r.method;
    EXPECT_EQ(d.is_post, r.post) << r.method;
    entries want;
    if (r.post) want = {{"p", "1"}};
    if (r.get) want = {{"g", "1"}};
    EXPECT_EQ(entries_of(d.form_vars), want) << r.method;
    if (!r.post && !r.get) {
      EXPECT_EQ(d.query, nullptr) << r.method;
    }
    set("QUERY_STRING", "g=1");  // a GET decodes the environment's text in place
  }
}

TEST_F(CgiEnvironment, GetQueries) {
  set("REQUEST_METHOD", "GET");
  fault outcome;
  {
    decoder d(limit, stdin, outcome);
    EXPECT_EQ(outcome, fault::none);
    EXPECT_TRUE(d.form_vars.empty());
    EXPECT_STREQ(d.query, "");
  }
  struct row {
    std::string query;
    fault want;
  } rows[] = {
      {"", fault::none},
      {"a=" + std::string(2998, 'x'), fault::none},
      {"a=" + std::string(2999, 'x'), fault::query_too_long},
  };
  for (const auto& r : rows) {
    set("QUERY_STRING", r.query);
    decoder d(limit, stdin, outcome);
    EXPECT_EQ(outcome, r.want) << r.query.size() << " bytes";
    EXPECT_EQ(d.form_vars.size(), r.want == fault::none && !r.query.empty() ? 1u : 0u);
  }
}

TEST_F(CgiEnvironment, GetDecodesTheEnvironmentInPlace) {
  set("REQUEST_METHOD", "GET");
  set("QUERY_STRING", "name=x");
  fault outcome;
  decoder d(limit, stdin, outcome);
  EXPECT_EQ(entries_of(d.form_vars), (entries{{"name", "x"}}));
  EXPECT_STREQ(std::getenv("QUERY_STRING"), "name");
}

TEST_F(CgiEnvironment, AbsentNameYieldsNull) {
  set("REQUEST_METHOD", "GET");
  set("QUERY_STRING", "a=1");
  fault outcome;
  decoder d(limit, stdin, outcome);
  char key[] = "b";
  EXPECT_EQ(d.form_vars[key], nullptr);
  EXPECT_EQ(d.form_vars.size(), 2u);
}

// A body that trickles in through a pipe, a byte at a time: its time limit
// covers the whole body, not each wait, so a client that sends a byte now
// and then cannot hold the process for ever.
TEST(ReadBody, TimeLimitCoversTheWholeBody) {
  struct row {
    int gap_ms, limit_ms;
    bool whole;
  } rows[] = {{10, 1000, true}, {60, 300, false}};
  std::signal(SIGPIPE, SIG_IGN);  // the client's write once the reader has gone
  for (const auto& r : rows) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::thread client([&] {
      for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(r.gap_ms));
        if (write(pipe_ends[1], "x", 1) != 1) break;  // the reader gave up
      }
      close(pipe_ends[1]);
    });
    std::FILE* in = fdopen(pipe_ends[0], "r");
    char body[12];
    EXPECT_EQ(cgi_tools::read_body(in, body, sizeof body, std::chrono::milliseconds(r.limit_ms)),
              r.whole ? cgi_tools::body::whole : cgi_tools::body::late)
        << "a byte every " << r.gap_ms << " ms";
    std::fclose(in);
    client.join();
  }
}

TEST(FormVarComp, OrdersBytesUnsigned) {
  cgi_tools::form_var_comp less;
  EXPECT_TRUE(less("A", "a"));
  EXPECT_TRUE(less("a", "\xc3"));
  EXPECT_FALSE(less("a", "a"));
  EXPECT_TRUE(less("", "a"));
}

}  // namespace
