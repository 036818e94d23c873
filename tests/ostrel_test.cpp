// The program's own code in one process: the decision over each
// combination of settings that matters (settings value in, verdict out), and
// its effects on a temporary folder and on scripted mail servers.
#include "ostrel/ostrel.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "mail_tools/outbox.hpp"
#include "ostrel/answer.hpp"
#include "ostrel/decision.hpp"
#include "support/cgi_run.hpp"
#include "support/json_reply.hpp"
#include "support/script_server.hpp"

namespace {

// --- The decision -----------------------------------------------------------------

using kind = verdict::kind;
using problem = field_problem;
using field_errors = std::vector<field_error>;

const settings defaults;
const std::string longest_name(defaults.name_limit, 'n'),
    longest_subject(defaults.subject_limit, 's'), longest_message(defaults.message_limit, 'm');

// A request with the four values as the decoder gives them, and the CGI
// variables the defences read ("NAME=value"; a POST unless REQUEST_METHOD says).
struct request_text {
  std::string name = "", email = "", subject = "", message = "";
  std::vector<std::string> variables = {};
  std::string honeypot = "";
};

// The decision on the request; the texts live in the row while it is made.
verdict decided(const request_text& text, const settings& site) {
  std::map<std::string, std::string, std::less<>> cgi{{"REQUEST_METHOD", "POST"}};
  for (const std::string& variable : text.variables) {
    std::size_t equals = variable.find('=');
    cgi[variable.substr(0, equals)] = variable.substr(equals + 1);
  }
  form_request request;
  request.name = text.name;
  request.email = text.email;
  request.subject = text.subject;
  request.message = text.message;
  request.honeypot = text.honeypot;
  read_cgi_variables(request, site, [&cgi](const char* name) -> std::string_view {
    auto found = cgi.find(name);
    return found == cgi.end() ? std::string_view() : std::string_view(found->second);
  });
  request.is_post = request.method.substr(0, 4) == "POST";
  request.received = 1796681643;  // 2026-12-07T22:14:03Z
  return decide(request, site);
}

// A JSON answer read back, with the header lines that every one carries.
json_reply read_json(const std::string& answer, const std::string& what) {
  json_reply reply = read_reply(answer);
  EXPECT_EQ(reply.headers["Content-Type"], "application/json; charset=utf-8") << what;
  EXPECT_EQ(reply.headers["Vary"], "Accept") << what;
  EXPECT_EQ(reply.headers["Cache-Control"], "no-store") << what;
  EXPECT_FALSE(reply.body.is_discarded()) << what << ": " << answer;
  return reply;
}

// Every field is checked, each with its first problem; an accepted
// submission's record holds its cleaned values.
TEST(Decide, Fields) {
  const std::string long_address = std::string(defaults.longest_address - 2, 'e') + "@b";
  const request_text cyrillic{"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd \xd0\x9f\xd0\xb5\xd1\x82\xd1\x80",
                              "ivan@example.org", "\xd0\x9f\xd1\x80\xd0\xb8",
                              "\xd0\x94\xd0\xb0"};  // Иван Петр, При, Да
  settings utf8 = defaults;
  utf8.utf8 = true;
  settings timed = utf8;
  timed.log_time = true;
  std::string two_byte_name;
  for (std::size_t i = 0; i < defaults.name_limit / 2; ++i) two_byte_name += "\xd0\xb6";  // ж
  struct row {
    const char* what;
    request_text request;
    field_errors want;
    std::string record = "";
    const settings* build = &defaults;
  } rows[] = {
      {"no fields",
       {},
       {{field::name, problem::required},
        {field::email, problem::required},
        {field::subject, problem::required},
        {field::message, problem::required}}},
      {"name empty", {"", "a@b", "s", "m"}, {{field::name, problem::required}}},
      {"email empty", {"a", "", "s", "m"}, {{field::email, problem::required}}},
      {"subject empty", {"a", "a@b", "", "m"}, {{field::subject, problem::required}}},
      {"message empty", {"a", "a@b", "s", ""}, {{field::message, problem::required}}},
      {"email without @", {"a", "ab", "s", "m"}, {{field::email, problem::invalid}}},
      {"email with a comma", {"a", "a,b@c", "s", "m"}, {{field::email, problem::invalid}}},
      {"name a byte too long",
       {longest_name + "n", "a@b", "s", "m"},
       {{field::name, problem::too_long}}},
      {"subject a byte too long",
       {"a", "a@b", longest_subject + "s", "m"},
       {{field::subject, problem::too_long}}},
      {"message a byte too long and a bad email",
       {"a", "bad", "s", longest_message + "m"},
       {{field::email, problem::invalid}, {field::message, problem::too_long}}},
      {"only removed bytes", {"\x01\xff", "a@b", "s", "m"}, {{field::name, problem::required}}},
      {"cleaning would change the address",
       {"a", "jos\xc3\xa9@example.com", "s", "m"},
       {{field::email, problem::invalid}}},
      {"address a byte too long",
       {"a", "e" + long_address, "s", "m"},
       {{field::email, problem::too_long}}},
      {"longest values, removed bytes not counted",
       {longest_name + "\x01\x80\xff", long_address, longest_subject, longest_message},
       {},
       "\"" + longest_name + "\",\"" + long_address + "\",\"" + longest_subject + "\",\"" +
           longest_message + "\"\n"},
      {"plus and underscore",
       {"a", "first_last+forms@example.org", "s", "m"},
       {},
       "\"a\",\"first_last+forms@example.org\",\"s\",\"m\"\n"},
      {"escaped for the log",
       {"Ann Lee", "ann@example.org", "Hi, there", "line 1\r\nline 2\t\"q\" back\\n"},
       {},
       "\"Ann Lee\",\"ann@example.org\",\"Hi, there\",\"line 1\\r\\nline 2\t\"\"q\"\" back\\n\"\n"},
      {"Cyrillic, without UTF-8",
       cyrillic,
       {{field::subject, problem::required}, {field::message, problem::required}}},
      {"Cyrillic, with UTF-8",
       cyrillic,
       {},
       "\"" + cyrillic.name + "\",\"ivan@example.org\",\"" + cyrillic.subject + "\",\"" +
           cyrillic.message + "\"\n",
       &utf8},
      {"an address outside ASCII, with UTF-8",
       {"a", "zo\xc3\xab@example.org", "s", "m"},
       {{field::email, problem::invalid}},
       "",
       &utf8},
      {"a name at its limit in bytes, with UTF-8",
       {two_byte_name, "a@b", "s", "m"},
       {},
       "\"" + two_byte_name + "\",\"a@b\",\"s\",\"m\"\n",
       &utf8},
      {"a name a byte over it, with UTF-8",
       {two_byte_name + "a", "a@b", "s", "m"},
       {{field::name, problem::too_long}},
       "",
       &utf8},
      {"with the time, and UTF-8",
       {"a", "a@b", "s", "m"},
       {},
       "\"a\",\"a@b\",\"s\",\"m\",\"2026-12-07T22:14:03Z\"\n",
       &timed},
  };
  for (const auto& r : rows) {
    verdict v = decided(r.request, *r.build);
    EXPECT_EQ(v.errors, r.want) << r.what;
    // And as a page's script reads it: every failing field, with what to do.
    json_reply reply = read_json(json_answer::to_verdict(v, {}, *r.build), r.what);
    EXPECT_EQ(reply.status, r.want.empty() ? 200 : 422) << r.what;
    nlohmann::json want_errors = nlohmann::json::array();
    for (const field_error& e : r.want) {
      const char* names[] = {"name", "email", "subject", "message"};
      const char* codes[] = {"required", "too_long", "invalid"};
      want_errors.push_back({{"field", names[static_cast<int>(e.which)]},
                             {"code", codes[static_cast<int>(e.problem)]}});
    }
    nlohmann::json have_errors = reply.body.value("errors", nlohmann::json::array());
    for (auto& e : have_errors) {
      EXPECT_GT(e.value("message", "").size(), 10u) << r.what << ": " << e;
      e.erase("message");
    }
    EXPECT_EQ(have_errors, want_errors) << r.what;
    EXPECT_EQ(reply.body["ok"], r.want.empty()) << r.what;
    EXPECT_EQ(v.what, r.want.empty() ? kind::accepted : kind::refused) << r.what;
    EXPECT_EQ(v.record, r.record) << r.what;
    EXPECT_EQ(v.mails.size(), r.want.empty() ? 2u : 0u) << r.what;
  }
}

// The defences against bots, each off by default: every row is accepted
// there. Turned on, each row gets its verdict and the line that says why.
TEST(Decide, Defences) {
  settings guarded = defaults;
  guarded.honeypot_field = "website";
  guarded.post_only = guarded.same_site = true;
  settings origins = defaults;
  origins.same_site = true;
  origins.site_origins = "https://example.org http://www.example.org:8080";
  settings spam_rules = defaults;
  spam_rules.max_links = 2;

  const request_text valid{"a", "a@b", "s", "m"};
  auto with = [&](std::vector<std::string> variables, request_text text = {"a", "a@b", "s", "m"}) {
    text.variables = std::move(variables);
    return text;
  };
  const std::string site = "HTTP_HOST=www.example.org", http = "REQUEST_SCHEME=http";
  const std::string foreign = "sent from another site's page, ";
  request_text filled = valid;
  filled.honeypot = "http://spam.example";
  struct row {
    const char* what;
    request_text request;
    kind want;
    std::string why;
    const settings* build = nullptr;  // the guarded build
  } rows[] = {
      {"GET", with({"REQUEST_METHOD=GET"}), kind::not_post, "sent by GET, not POST"},
      {"a method with control bytes", with({"REQUEST_METHOD=G\x1b[T"}), kind::not_post,
       "sent by G [T, not POST"},
      {"no Origin or Referer", with({site, http}), kind::accepted, ""},
      {"this site", with({site, http, "HTTP_ORIGIN=http://www.example.org"}), kind::accepted, ""},
      {"default port written out", with({site, http, "HTTP_ORIGIN=http://WWW.example.org:80"}),
       kind::accepted, ""},
      {"server name and port",
       with({"SERVER_NAME=www.example.org", "SERVER_PORT=80", http,
             "HTTP_REFERER=http://www.example.org/~ruvak/"}),
       kind::accepted, ""},
      {"another site", with({site, http, "HTTP_ORIGIN=http://evil.example"}), kind::cross_site,
       foreign + "http://evil.example"},
      {"another site's Referer", with({site, "HTTP_REFERER=https://evil.example/a?b"}),
       kind::cross_site, foreign + "https://evil.example/a?b"},
      {"another port", with({site, http, "HTTP_ORIGIN=http://www.example.org:8080"}),
       kind::cross_site, foreign + "http://www.example.org:8080"},
      {"another scheme", with({site, "HTTPS=on", "HTTP_ORIGIN=http://www.example.org"}),
       kind::cross_site, foreign + "http://www.example.org"},
      {"opaque origin", with({site, "HTTP_ORIGIN=null"}), kind::cross_site, foreign + "null"},
      {"opaque origin beside this site's Referer",
       with({site, http, "HTTP_ORIGIN=null", "HTTP_REFERER=http://www.example.org/"}),
       kind::cross_site, foreign + "null"},
      {"user information in the Referer",
       with({site, http, "HTTP_REFERER=http://ann@www.example.org/~ruvak/"}), kind::accepted, ""},
      {"another site, named in bytes outside ASCII",
       with({site, http,
             "HTTP_ORIGIN=http://\x9b"
             "31m\xc3\xa9vil.example"}),
       kind::cross_site, foreign + "http://\\x9b31m\\xc3\\xa9vil.example"},
      {"a name that resolves here, in Host and Origin alike",
       with({"HTTP_HOST=evil.example:18080", http, "HTTP_ORIGIN=http://evil.example:18080"}),
       kind::cross_site, foreign + "http://evil.example:18080", &origins},
      {"a listed host, by another scheme",
       with({"HTTP_HOST=example.org", http, "HTTP_ORIGIN=http://example.org"}), kind::cross_site,
       foreign + "http://example.org", &origins},
      {"a listed origin, its TLS ended by a proxy",
       with({"HTTP_HOST=example.org", http, "HTTP_ORIGIN=https://example.org"}), kind::accepted, "",
       &origins},
      {"honeypot empty", valid, kind::accepted, ""},
      {"honeypot filled", filled, kind::spam, "the hidden field \"website\" was filled in"},
      {"three links",
       {"a", "a@b", "see http://x.example", "www.y.example and HTTPS://z.example"},
       kind::spam,
       "3 links, more than 2",
       &spam_rules},
      {"two links, the first with its www.",
       {"Ann", "a@b", "http://www.x.example/a", "and www.y.example"},
       kind::accepted,
       "",
       &spam_rules},
      {"ftp links",
       {"a", "a@b", "ftp://x.example", "FTP://www.y.example and ftp://z"},
       kind::spam,
       "3 links, more than 2",
       &spam_rules},
      {"www. after any //",
       {"a", "a@b", "see//www.x.example", "(www.y.example) x//WWW.z"},
       kind::spam,
       "3 links, more than 2",
       &spam_rules},
      {"a path is one link, and www inside a word none",
       {"a", "a@b", "https://x.example/www.y/www.z", "http://a.example/?q=www.b flowww.c"},
       kind::accepted,
       "",
       &spam_rules},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(decided(r.request, defaults).what, kind::accepted) << r.what << " (default)";
    verdict v = decided(r.request, r.build ? *r.build : guarded);
    EXPECT_EQ(v.what, r.want) << r.what;
    EXPECT_EQ(v.why, r.why) << r.what;
    EXPECT_EQ(v.record.empty(), r.want != kind::accepted && r.want != kind::spam) << r.what;
    EXPECT_EQ(v.mails.empty(), r.want != kind::accepted) << r.what;
    int status = r.want == kind::cross_site ? 403 : r.want == kind::not_post ? 405 : 200;
    EXPECT_EQ(read_json(json_answer::to_verdict(v, {}, guarded), r.what).status, status) << r.what;
  }
  request_text invalid = filled;
  invalid.email = "bad";
  EXPECT_EQ(decided(invalid, guarded).what, kind::refused)
      << "the fields come before the spam rules";
}

// Who sends each mail to whom, and what it says, for each way of sending.
TEST(Decide, Mails) {
  const std::string owner = defaults.owner_address, ann = "ann@example.org";
  const std::string body = "Ann\r\nann@example.org\r\nHi\r\n";
  struct mail {
    std::string from, to, reply_to, subject, body;
  };
  const mail thanks{owner, ann, "", "Thank you...",
                    "Thank you for filling out the request form..."};
  struct row {
    bool from_owner, thank_you;
    std::vector<mail> want;
  } rows[] = {
      {false, true, {{ann, owner, "", "Hello", body}, thanks}},
      {true, true, {{owner, owner, ann, "Hello", body}, thanks}},
      {false, false, {{ann, owner, "", "Hello", body}}},
      {true, false, {{owner, owner, ann, "Hello", body}}},
  };
  for (const auto& r : rows) {
    settings site = defaults;
    site.notify_from_owner = r.from_owner;
    site.thank_you = r.thank_you;
    site.mail_port = 25;
    verdict v = decided({"Ann", ann, "Hello", "Hi"}, site);
    std::string what = std::string(r.from_owner ? "from the owner" : "from the submitter") +
                       (r.thank_you ? ", a thank-you" : ", no thank-you") + ", mail ";
    ASSERT_EQ(v.mails.size(), r.want.size()) << what;
    for (std::size_t i = 0; i < r.want.size(); ++i) {
      const mail_tools::smtp& m = v.mails[i];
      EXPECT_EQ(m.from, r.want[i].from) << what << i;
      EXPECT_EQ(m.to, r.want[i].to) << what << i;
      EXPECT_EQ(m.reply_to, r.want[i].reply_to) << what << i;
      EXPECT_EQ(m.subject, r.want[i].subject) << what << i;
      EXPECT_EQ(m.body, r.want[i].body) << what << i;
      EXPECT_TRUE(m.cc.empty() && m.bcc.empty()) << what << i;
      EXPECT_EQ(m.server + ":" + std::to_string(m.port), "localhost:25") << what << i;
    }
  }
}

// The answer to each verdict: the thank-you page for a record logged, and
// for spam, so that a bot learns nothing, the error page for everything
// else; in JSON, a status that says which.
TEST(Decide, Answers) {
  struct row {
    kind what;
    bool logged, thank_you;
    int status;
    const char* error;
  } rows[] = {{kind::accepted, true, true, 200, ""},
              {kind::accepted, false, false, 503, "unavailable"},
              {kind::spam, true, true, 200, ""},
              {kind::refused, true, false, 422, ""},
              {kind::not_post, true, false, 405, "method_not_allowed"},
              {kind::cross_site, true, false, 403, "cross_site"}};
  for (const auto& r : rows) {
    verdict v;
    v.what = r.what;
    log_tools::failure unlogged;
    if (!r.logged) unlogged = "No space left on device";
    std::string what = std::to_string(static_cast<int>(r.what)) + (r.logged ? "" : ", not logged");
    EXPECT_EQ(gets_thank_you(v, unlogged), r.thank_you) << what;
    json_reply reply = read_json(json_answer::to_verdict(v, unlogged, defaults), what);
    EXPECT_EQ(reply.status, r.status) << what;
    EXPECT_EQ(reply.body.value("error", ""), r.error) << what;
    EXPECT_EQ(reply.headers.count("Allow"), r.status == 405 ? 1u : 0u) << what;
  }
}

// Which requests ask for JSON before HTML (RFC 9110 12.5.1).
TEST(Decide, AcceptPrefersJson) {
  struct row {
    const char* accept;
    bool json;
  } rows[] = {
      {"", false},
      {"*/*", false},
      {"text/html,application/xhtml+xml,*/*;q=0.8", false},
      {"application/json", true},
      {"APPLICATION/JSON", true},
      {"application/json, text/html;q=0.9", true},
      {"text/html, application/json;q=0.9", false},
      {"application/json;q=0.5, text/html;q=0.50", false},
      {"application/*;q=0.8, text/*;q=0.5", true},
      {"text/html;q=0, */*", true},
      {"application/json;q=0", false},
      {"text/html;level=1;q=0.2, application/json ; q=0.3", true},
  };
  for (const auto& r : rows) EXPECT_EQ(json_answer::prefers_json(r.accept), r.json) << r.accept;
}

// --- The effects --------------------------------------------------------------------

// A temporary folder with a log folder, and settings that log and mail there.
struct effects : ::testing::Test {
  temp_dir dir;
  settings site = defaults;
  test_support::closed_port nobody;

  effects() {
    mkdir(dir.file("log").c_str(), 0755);
    site.request_log = dir.file("log/request_form.log");
    site.spam_log = dir.file("log/spam.log");
    site.mail_port = nobody.port();
    site.log_lock_timeout = std::chrono::milliseconds(300);
    site.mail_timeout = std::chrono::milliseconds(4000);
  }

  // Carries out the verdict on the request; the lines on standard error.
  std::string carried(const request_text& request, bool want_carried = true) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* errors = open_memstream(&text, &size);
    EXPECT_EQ(!carry_out(decided(request, site), site, errors), want_carried);
    std::fclose(errors);
    std::string lines(text, size);
    std::free(text);
    return lines;
  }
  std::string log() const { return read_file(site.request_log); }
};

const request_text valid{"a", "a@b", "s", "m"};
const std::string record = "\"a\",\"a@b\",\"s\",\"m\"\n";

TEST_F(effects, RecordsAppendInOrderAndRefusalsLeaveTheLog) {
  mode_t umask_before = umask(0);  // a new log is no one else's all the same
  carried(valid);
  umask(umask_before);
  struct stat made;
  ASSERT_EQ(stat(site.request_log.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0660u);
  write_file(site.request_log, "earlier\n");
  carried({"first", "a@b", "s", "m"});
  carried({"a", "a,b@c", "s", "m"});
  carried({"second", "a@b", "s", "m"});
  EXPECT_EQ(log(), "earlier\n\"first\",\"a@b\",\"s\",\"m\"\n\"second\",\"a@b\",\"s\",\"m\"\n");
}

// A log that cannot take the record: a line for the error log, and no mail.
// A lock held elsewhere holds the writer only so long. The spam log is
// appended to as the request log is, lock included.
TEST_F(effects, LogsThatCannotTakeTheRecord) {
  request_text spam = valid;
  spam.honeypot = "x";
  site.honeypot_field = "website";
  auto held = [](const std::string& path) {
    write_file(path, "earlier\n");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    flock(fd, LOCK_SH);
    return fd;
  };
  struct row {
    const char* what;
    std::string path;
    int (*make)(const std::string& path);
    std::string why;
    const request_text* request = &valid;
  } rows[] = {
      {"missing folder", dir.file("none/log"), nullptr, "No such file or directory"},
      {"a FIFO without a reader", dir.file("log/fifo"),
       [](const std::string& path) { return mkfifo(path.c_str(), 0600); }, "not a regular file"},
      {"a device", "/dev/full", nullptr, "not a regular file"},
      {"a symbolic link", dir.file("log/link"),
       [](const std::string& path) { return symlink("request_form.log", path.c_str()); },
       "a symbolic link, which is refused"},
      {"a dangling symbolic link", dir.file("log/dangling"),
       [](const std::string& path) { return symlink("elsewhere", path.c_str()); },
       "a symbolic link, which is refused"},
      {"a folder", dir.file("log/folder"),
       [](const std::string& path) { return mkdir(path.c_str(), 0755); }, "Is a directory"},
      {"locked", dir.file("log/locked"), held, "locked by another process"},
      {"spam log locked", dir.file("log/spam-locked"), held, "locked by another process", &spam},
  };
  for (const auto& r : rows) {
    int fd = r.make ? r.make(r.path) : -1;
    test_support::mute_listener server;
    site.mail_port = server.port();
    bool to_spam = r.request == &spam;
    (to_spam ? site.spam_log : site.request_log) = r.path;
    std::string lines = carried(*r.request, to_spam);
    if (fd > 2) close(fd);
    EXPECT_EQ(lines, to_spam ? "ostrel: submission dropped: the hidden field \"website\" was "
                               "filled in; cannot append to the spam log " +
                                   r.path + ": " + r.why + "\n"
                             : "ostrel: cannot append to " + r.path + ": " + r.why + "\n")
        << r.what;
    EXPECT_FALSE(server.has_pending()) << r.what << ": mailed without the record";
    if (r.make == held) {
      EXPECT_EQ(read_file(r.path), "earlier\n") << r.what;
    }
  }
}

TEST_F(effects, DefencesSayWhyAndKeepSpam) {
  site.honeypot_field = "website";
  site.post_only = site.same_site = site.log_time = true;
  request_text spam = valid, get = valid, foreign = valid;
  spam.honeypot = "x";
  get.variables = {"REQUEST_METHOD=GET"};
  foreign.variables = {"HTTP_HOST=a.example", "HTTP_ORIGIN=http://b.example"};
  EXPECT_EQ(carried(get), "ostrel: submission refused: sent by GET, not POST\n");
  EXPECT_EQ(carried(foreign),
            "ostrel: submission refused: sent from another site's page, http://b.example\n");
  EXPECT_EQ(carried(spam),
            "ostrel: submission dropped: the hidden field \"website\" was filled in; kept in the "
            "spam log " +
                site.spam_log + "\n");
  site.spam_log.clear();
  EXPECT_EQ(carried(spam),
            "ostrel: submission dropped: the hidden field \"website\" was filled in\n");
  EXPECT_EQ(read_file(dir.file("log/spam.log")),
            "\"a\",\"a@b\",\"s\",\"m\",\"2026-12-07T22:14:03Z\"\n");
  EXPECT_EQ(log(), "");
}

// The lines of both mails of a@b's submission when both failed alike.
std::string both_mails(const std::string& outcome) {
  return "ostrel: owner notification to webmaster@localhost" + outcome +
         "\nostrel: acknowledgement to a@b" + outcome + "\n";
}

// Whatever the mail server does, the record is logged and each mail that
// was not accepted has its line; the mails share one time limit. The
// notification is kept in the outbox whenever the server may not have it,
// the acknowledgement only when it surely did not go.
TEST_F(effects, MailServerFaults) {
  // Bytes outside ASCII are written as \xHH; the cut at 300 bytes leaves out
  // the whole \xc3 that would cross it.
  std::string long_text(241, 'x');
  for (int i = 0; i < 40; ++i) long_text += "\xc3\xa9";
  const std::string no_time =
      "\nostrel: acknowledgement to a@b not sent: no time left to connect to localhost:";
  struct row {
    const char* what;
    test_support::smtp_script script;
    std::string err;
    std::string kept;  // n: the notification, a: the acknowledgement
  } rows[] = {
      {"replies a byte at a time", {}, "", ""},
      {"multi-line replies", {}, "", ""},
      {"resets in the middle of the data",
       {},
       both_mails(" outcome unknown: end of data: connection lost"),
       "n"},
      {"closes after its greeting", {}, both_mails(" not sent: HELO: connection lost"), "na"},
      {"answers every command with an error",
       {},
       both_mails(" not accepted: greeting: 554 go away"),
       "n"},
      {"refuses the recipient",
       {},
       both_mails(" not accepted: RCPT TO: 550-5.1.1 <x>: Recipient  address rejected 550 " +
                  long_text.substr(0, 241)),
       "n"},
      {"refuses the recipient for now",
       {},
       both_mails(" not accepted: RCPT TO: 451 4.7.1 later"),
       "na"},
      {"a malformed reply to the end of data",
       {},
       both_mails(" outcome unknown: end of data: malformed reply"),
       "n"},
      {"never answers QUIT: the acknowledgement still has time", {}, "", ""},
      {"greets only after a while, each time", {}, "", ""},
      {"refuses bare line feeds", {}, "", ""},
      {"never answers: the acknowledgement is not even begun",
       {},
       "ostrel: owner notification to webmaster@localhost not sent: greeting: no reply within "
       "the time limit" +
           no_time,
       "na"},
      {"no reply to the end of data",
       {},
       "ostrel: owner notification to webmaster@localhost outcome unknown: end of data: no reply "
       "within the time limit" +
           no_time,
       "na"},
  };
  rows[0].script.byte_by_byte = true;
  rows[1].script.greeting = "220-first\r\n220-second\r\n220 ready\r\n";
  rows[1].script.reply = "250-one\r\n250 two\r\n";
  rows[2].script.reset_in_data = true;
  rows[3].script.close_after_greeting = true;
  rows[4].script.greeting = "554 go away\r\n";
  rows[4].script.reply = rows[4].script.data_reply = "550 no\r\n";
  // Control bytes in the server's text become spaces, and the text is cut.
  rows[5].script.reply_to["RCPT"] =
      "550-5.1.1 <x>: Recipient\t\001address rejected\r\n550 " + long_text + "\r\n";
  rows[6].script.reply_to["RCPT"] = "451 4.7.1 later\r\n";
  rows[7].script.reply_to["."] = "250-queued\r\n550 but refused\r\n";
  rows[8].script.reply_to["QUIT"] = "";
  rows[9].script.greeting_delay_ms = 1500;  // twice within the limit of 4 s
  rows[10].script.strict_line_ends = true;
  rows[11].script.replies = 0;
  rows[12].script.replies = 5;  // up to the 354
  for (auto& r : rows) {
    test_support::script_server server(r.script, 2);
    site.mail_port = server.port();
    site.outbox = dir.file(std::string("outbox-") + std::to_string(&r - rows));
    std::remove(site.request_log.c_str());
    std::string want = r.err;
    if (!want.empty() && want.back() == ':') want += std::to_string(server.port());
    if (!want.empty() && want.back() != '\n') want += "\n";
    // Each line without the outbox's words, which name a file of their own.
    std::string lines, kept, said = carried(valid);
    for (std::size_t at = 0, end; (end = said.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = said.substr(at, end - at);
      std::size_t words = line.find("; kept in the outbox ");
      if (words != std::string::npos) {
        const std::string path = line.substr(words + 21);
        auto mail = mail_tools::kept_from_text(read_file(path));
        struct stat file {};
        EXPECT_EQ(lstat(path.c_str(), &file) == 0 ? file.st_mode & 0007 : 1u, 0u) << r.what;
        EXPECT_TRUE(mail && mail->to == (kept.empty() && line.find(" owner ") != std::string::npos
                                             ? "webmaster@localhost"
                                             : "a@b"))
            << r.what;
        kept += line.find(" owner ") != std::string::npos ? "n" : "a";
        line.resize(words);
      }
      lines += line + "\n";
    }
    EXPECT_EQ(lines, want) << r.what;
    EXPECT_EQ(kept, r.kept) << r.what;
    EXPECT_EQ(log(), record) << r.what;
    server.stop();
    for (const auto& session : server.sessions()) {
      EXPECT_EQ(session.refused_line, "") << r.what;
      if (r.script.strict_line_ends) {
        EXPECT_NE(session.received.find("QUIT\r\n"), std::string::npos) << r.what;
      }
    }
  }
}

TEST_F(effects, NothingListening) {
  EXPECT_EQ(carried(valid),
            both_mails(" not sent: no connection to localhost:" + std::to_string(nobody.port())));
  EXPECT_EQ(log(), record);
}

}  // namespace
