// The program run as a web server runs it: environment and body in, exact bytes out.
//
// OSTREL_PROGRAM is the program as deployed (default constants); it is only
// given requests that never reach the request log. The test builds
// (support/submission.hpp) are the same code built to log to
// "log/request_form.log" below their working directory, so every test logs
// into a temporary folder of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/config.hpp"
#include "support/cgi_run.hpp"
#include "support/submission.hpp"

namespace {

const std::string deployed = OSTREL_PROGRAM;
const std::string out_of_memory = test_program("ostrel_out_of_memory");
const std::string guarded_build = test_program("ostrel_guarded");
const std::string origins_build = test_program("ostrel_origins");
const std::string spam_build = test_program("ostrel_spam_log");

// The builds that the tables of answers run: memcheck sees the heap of the
// test build only, not of the static program as deployed.
std::vector<std::string> answering_builds() {
  if (memcheck_mode()) return {under_test};
  return {deployed, under_test};
}

// The log's escaping, written out here so that the tests check it independently.
std::string csv(const std::string& value) {
  std::string out;
  for (char c : value)
    out += c == '"' ? "\"\"" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return out;
}

// Requests that the decoder refuses: its text on its stream, status 1, the
// exit that cgi_tools::stop makes for the program. Memcheck runs this table too.
TEST(DecoderFaults, Table) {
  std::string long_body(config::request_limit + 1, 'x');
  const std::string over = "CONTENT_LENGTH=" + std::to_string(config::request_limit + 1);
  const std::string at_limit = "CONTENT_LENGTH=" + std::to_string(config::request_limit);
  struct row {
    const char* what;
    std::vector<std::string> environment;
    std::string body, out, err;
  } rows[] = {
      {"no method", {}, "", "", "\nMust run as a cgi...\n"},
      {"POST without length", {"REQUEST_METHOD=POST"}, "a=1", "", "CONTENT_LENGTH = null"},
      {"POST too long",
       {"REQUEST_METHOD=POST", over},
       long_body,
       "Your message is too long.. please shorten it. Thanks!",
       ""},
      {"POST length 0",
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH=0"},
       "a=1",
       "Unable to read from the input stream.",
       ""},
      {"POST length abc",
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH=abc"},
       "a=1",
       "Unable to read from the input stream.",
       ""},
      {"POST negative length",
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH=-1"},
       "a=1",
       "Unable to read from the input stream.",
       ""},
      {"POST empty length",
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH="},
       "a=1",
       "Unable to read from the input stream.",
       ""},
      {"POST huge length",
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH=99999999999999999999"},
       "a=1",
       "Your message is too long.. please shorten it. Thanks!",
       ""},
      {"POST short body",
       {"REQUEST_METHOD=POST", at_limit},
       "name=a",
       "Unable to read from the input stream.",
       ""},
      {"GET too long",
       {"REQUEST_METHOD=GET", "QUERY_STRING=" + long_body},
       "",
       "\nYour message is too long.. please shorten it. Thanks!",
       ""},
  };
  for (const std::string& program : answering_builds()) {
    for (const auto& r : rows) {
      cgi_request request;
      request.environment = r.environment;
      request.body = r.body;
      cgi_answer answer = run_cgi(program, request);
      EXPECT_EQ(answer.out, r.out) << r.what << ", " << program;
      EXPECT_EQ(answer.err, r.err) << r.what << ", " << program;
      EXPECT_EQ(answer.exit_status, 1) << r.what << ", " << program;
    }
  }
}

// A POST body that has not come whole within the program's own limit is a
// short read; one that comes whole in time is read. Its rest comes at half
// the limit, or past it but before the mail limit, which a program waiting
// too long would take.
TEST_F(Submission, BodyHasATimeLimit) {
  const std::string body = form("a", "a@b", "s", "m");
  struct row {
    const char* what;
    int rest_after_ms;
    std::string out;
  } rows[] = {
      {"in time", config::body_timeout_ms / 2, ok_answer},
      {"too late", (config::body_timeout_ms + config::mail_timeout_ms) / 2,
       "Unable to read from the input stream."},
  };
  for (const auto& r : rows) {
    cgi_request request = form_post(body);
    request.body = body.substr(0, 5);
    request.rest_of_body = body.substr(5);
    request.rest_after_ms = r.rest_after_ms;
    EXPECT_EQ(submit(request).out, r.out) << r.what;
  }
}

// The longest field values that are accepted.
const std::string longest_name(config::name_limit, 'n'),
    longest_subject(config::subject_limit, 's'), longest_message(config::message_limit, 'm');

// Requests that are refused before the request log: the error redirect,
// status 0. Memcheck runs this table too.
TEST(Refusals, Table) {
  struct row {
    const char* what;
    cgi_request request;
  } rows[] = {
      {"no fields", form_post("x=1")},
      {"empty GET", form_get("")},
      {"other method", with_method("HEAD", form_get(form("a", "a@b", "s", "m")))},
      {"name empty", form_post(form("", "a@b", "s", "m"))},
      {"email empty", form_post(form("a", "", "s", "m"))},
      {"subject empty", form_post(form("a", "a@b", "", "m"))},
      {"message empty", form_post(form("a", "a@b", "s", ""))},
      {"email without @", form_post(form("a", "ab", "s", "m"))},
      {"email with a comma", form_post(form("a", "a%2Cb@c", "s", "m"))},
      {"name a byte too long", form_post(form(longest_name + "n", "a@b", "s", "m"))},
      {"subject a byte too long", form_post(form("a", "a@b", longest_subject + "s", "m"))},
      {"message a byte too long and bad email",
       form_post(form("a", "bad", "s", longest_message + "m"))},
      {"only removed bytes", form_post(form("%01%FF", "a@b", "s", "m"))},
      {"names differ in case", form_post("Name=a&email=a@b&subject=s&message=m")},
      {"GET refused", form_get(form("a", "", "s", "m"))},
      {"cleaning would change the address",
       form_post(form("a", "jos%C3%A9%40example.com", "s", "m"))},
  };
  for (const std::string& program : answering_builds()) {
    for (const auto& r : rows) {
      cgi_answer answer = run_cgi(program, r.request);
      EXPECT_EQ(answer.out, error_answer) << r.what << ", " << program;
      EXPECT_EQ(answer.err, "") << r.what << ", " << program;
      EXPECT_EQ(answer.exit_status, 0) << r.what << ", " << program;
    }
  }
}

TEST_F(Submission, AcceptedSubmissionIsLogged) {
  cgi_answer answer = submit(form_post(form("Ann+Lee", "ann%40example.org", "Hi%2C+there",
                                            "line+1%0D%0Aline+2%09%22q%22+back%5Cn")));
  EXPECT_EQ(answer.out, ok_answer);
  EXPECT_EQ(answer.exit_status, 0);
  EXPECT_EQ(log(),
            "\"Ann Lee\",\"ann@example.org\",\"Hi, there\","
            "\"line 1\\r\\nline 2\t\"\"q\"\" back\\n\"\n");
}

TEST_F(Submission, GetIsAcceptedToo) {
  EXPECT_EQ(submit(form_get(form("a", "a@b", "s", "%22"))).out, ok_answer);
  EXPECT_EQ(log(), "\"a\",\"a@b\",\"s\",\"\"\"\"\n");
}

TEST_F(Submission, LimitsCountCleanedBytes) {
  struct row {
    const char* what;
    std::string body;
    bool accepted;
  } rows[] = {
      {"longest name", form(longest_name, "a@b", "s", "m"), true},
      {"longest subject", form("a", "a@b", longest_subject, "m"), true},
      {"longest message", form("a", "a@b", "s", longest_message), true},
      {"message a byte too long", form("a", "a@b", "s", longest_message + "m"), false},
      {"longest name and removed bytes", form(longest_name + "%01%80%FF", "a@b", "s", "m"), true},
      {"plus and underscore", form("a", "first_last%2Bforms@example.org", "s", "m"), true},
      {"longest address", form("a", std::string(config::longest_address - 2, 'e') + "@b", "s", "m"),
       true},
      {"address a byte too long",
       form("a", std::string(config::longest_address - 1, 'e') + "@b", "s", "m"), false},
  };
  std::string want_log;
  for (const auto& r : rows) {
    cgi_answer answer = submit(form_post(r.body));
    EXPECT_EQ(answer.out, r.accepted ? ok_answer : error_answer) << r.what;
  }
  // Each accepted row added exactly one line.
  std::string text = log();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
}

TEST_F(Submission, RecordsAppendInOrder) {
  submit(form_post(form("first", "a@b", "s", "m")));
  submit(form_post(form("second", "a@b", "s", "m")));
  EXPECT_EQ(log(), "\"first\",\"a@b\",\"s\",\"m\"\n\"second\",\"a@b\",\"s\",\"m\"\n");
}

TEST_F(Submission, RefusalLeavesTheLogUntouched) {
  write_file(log_path(), "earlier\n");
  EXPECT_EQ(submit(form_post(form("a", "a,b@c", "s", "m"))).out, error_answer);
  EXPECT_EQ(log(), "earlier\n");
}

// A log that cannot take the record: the error answer, and one line on
// standard error for the web server's error log. Nothing waits for long.
TEST_F(Submission, UnwritableLogIsAnError) {
  struct row {
    const char* what;
    void (*make)(const std::string& log_path);
    std::string why;
  } rows[] = {
      {"missing folder",
       [](const std::string& path) { rmdir(path.substr(0, path.rfind('/')).c_str()); },
       "No such file or directory"},
      {"a FIFO without a reader", [](const std::string& path) { mkfifo(path.c_str(), 0600); },
       "not a regular file"},
      {"a device", [](const std::string& path) { symlink("/dev/full", path.c_str()); },
       "not a regular file"},
      {"a folder", [](const std::string& path) { mkdir(path.c_str(), 0755); }, "Is a directory"},
  };
  for (const auto& r : rows) {
    temp_dir fresh;
    mkdir(fresh.file("log").c_str(), 0755);
    r.make(fresh.file("log/request_form.log"));
    cgi_request request = form_post(form("a", "a@b", "s", "m"));
    request.directory = fresh.path();
    cgi_answer answer = run_cgi(under_test, request);
    EXPECT_EQ(answer.out, error_answer) << r.what;
    EXPECT_EQ(answer.err, "ostrel: cannot append to log/request_form.log: " + r.why + "\n")
        << r.what;
    EXPECT_EQ(answer.exit_status, 0) << r.what;
  }
}

// A reader or a backup holding a lock on the log holds a submission only so
// long, by its own limit: the lock goes between that limit and the next
// longer one, which a submission that waits too long would take.
TEST_F(Submission, LockHeldElsewhereIsAnError) {
  write_file(log_path(), "earlier\n");
  // Not inherited by the program, which would then hold the lock itself.
  int held = open(log_path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  cgi_request request = form_post(form("a", "a@b", "s", "m"));
  request.directory = dir.path();
  cgi_process running = start_cgi(under_test, request);
  std::this_thread::sleep_for(
      std::chrono::milliseconds((config::log_lock_timeout_ms + config::body_timeout_ms) / 2));
  close(held);
  cgi_answer answer = finish_cgi(running);
  EXPECT_EQ(answer.out, error_answer);
  EXPECT_EQ(answer.err,
            "ostrel: cannot append to log/request_form.log: locked by another process\n");
  EXPECT_EQ(log(), "earlier\n");
}

// A write that fails after the open leaves the file as it was and is an error.
TEST_F(Submission, FileSizeLimitCutsNothing) {
  std::string earlier = "\"x\",\"x@y\",\"s\",\"m\"\n";
  write_file(log_path(), earlier);
  struct row {
    const char* what;
    rlim_t limit;
  } rows[] = {
      {"no room at all", earlier.size()},
      {"room for part of the record", earlier.size() + 10},
  };
  for (const auto& r : rows) {
    cgi_request request = form_post(form("a", "a@b", "subject", "message"));
    request.file_size_limit = r.limit;
    cgi_answer answer = submit(request);
    EXPECT_EQ(answer.out, error_answer) << r.what;
    EXPECT_EQ(answer.err, "ostrel: cannot append to log/request_form.log: File too large\n")
        << r.what;
    EXPECT_EQ(answer.signal, 0) << r.what;
    EXPECT_EQ(answer.exit_status, 0) << r.what;
    EXPECT_EQ(log(), earlier) << r.what;
  }
}

// Submissions that run at once each append one whole record: the largest
// records there are, full of bytes that the log escapes into two. This
// guards one write per record: a record appended in pieces could take
// another's between them. (One append write does not interleave with others
// even without the log's lock; the next test is the lock's.)
TEST_F(Submission, ConcurrentSubmissionsNeverInterleave) {
  constexpr int count = 200;
  std::string quotes(std::min(config::name_limit, config::subject_limit), '"');
  std::string message;
  for (int i = 0; i < 256; ++i) message += "\"\r\n\"";  // sent raw: the decoder keeps them
  std::string tail = "\",\"a@b\",\"" + csv(quotes) + "\",\"" + csv(message) + "\"\n";

  std::vector<cgi_process> running;
  for (int i = 0; i < count; ++i) {
    std::string name = std::to_string(i) + quotes.substr(std::to_string(i).size());
    cgi_request request = form_post(form(name, "a@b", quotes, message));
    request.directory = dir.path();
    running.push_back(start_cgi(under_test, request));
  }
  for (auto& process : running) EXPECT_EQ(finish_cgi(process).out, ok_answer);

  std::string text = log();
  std::vector<bool> seen(count);
  std::size_t at = 0;
  int lines = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(at, end + 1 - at);
    std::size_t i = std::stoul(line.substr(1));
    std::string digits = std::to_string(i);
    ASSERT_EQ(line, "\"" + digits + csv(quotes.substr(digits.size())) + tail) << "line " << lines;
    EXPECT_FALSE(seen[i]) << "record " << i << " twice";
    seen[i] = true;
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(lines, count);
}

// A write that fails (here past the writer's file size limit) is cut back to
// the length the log had before it. Other submissions append meanwhile: the
// test appends for them without pause, as each does (the lock, one write per
// record). The lock keeps the log's end still from measuring to cutting, so
// no cut takes another submission's record with it.
TEST_F(Submission, FailedWritesCutBackOnlyTheirOwn) {
  auto record = [](std::size_t i) { return "\"" + std::to_string(i) + "\",\"a@b\",\"s\",\"m\"\n"; };
  std::atomic<bool> done{false};
  std::size_t appended = 0;
  std::thread others([&] {
    int fd = open(log_path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    for (; !done && appended < 200000; ++appended) {  // bounded, should a run hang
      std::string text = record(appended);
      flock(fd, LOCK_EX);
      bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      flock(fd, LOCK_UN);
      if (!whole) break;
    }
    close(fd);
  });
  std::vector<cgi_process> failing;
  for (int i = 0; i < 100; ++i) {
    cgi_request request = form_post(form("a", "a@b", "s", std::string(1000, 'm')));
    request.directory = dir.path();
    request.file_size_limit = 1000;  // less than the record: never written whole
    failing.push_back(start_cgi(under_test, request));
  }
  for (auto& process : failing) EXPECT_EQ(finish_cgi(process).out, error_answer);
  done = true;
  others.join();

  std::string want;
  for (std::size_t i = 0; i < appended; ++i) want += record(i);
  std::string have = log();
  EXPECT_EQ(have.size(), want.size()) << "bytes of " << appended << " records";
  EXPECT_TRUE(have == want) << "the records are not whole and in order";
}

// The defences against bots, each off in the default build and on in the
// guarded one (or the one that names the site's origins, or the one with a
// spam log and a limit on links). The default build accepts every row; the
// other answers, logs and says on standard error what the row wants.
TEST_F(Submission, DefencesAgainstBots) {
  const std::string valid = form("a", "a@b", "s", "m");
  auto post = [&](std::vector<std::string> headers, const std::string& body) {
    cgi_request request = form_post(body);
    request.environment.insert(request.environment.end(), headers.begin(), headers.end());
    return request;
  };
  const std::string site = "HTTP_HOST=www.example.org";
  const std::string http = "REQUEST_SCHEME=http";
  const std::string foreign = "ostrel: submission refused: sent from another site's page, ";
  enum outcome { logged, refused, dropped, kept_as_spam };
  const std::string kept = "; kept in the spam log log/spam.log\n";
  struct row {
    const char* what;
    cgi_request request;
    outcome guarded;
    std::string guarded_err;
    const std::string* build = &guarded_build;
  } rows[] = {
      {"GET", form_get(valid), refused, "ostrel: submission refused: sent by GET, not POST\n"},
      {"no Origin or Referer", post({site, http}, valid), logged, ""},
      {"this site", post({site, http, "HTTP_ORIGIN=http://www.example.org"}, valid), logged, ""},
      {"default port written out",
       post({site, http, "HTTP_ORIGIN=http://WWW.example.org:80"}, valid), logged, ""},
      {"server name and port",
       post({"SERVER_NAME=www.example.org", "SERVER_PORT=80", http,
             "HTTP_REFERER=http://www.example.org/~ruvak/"},
            valid),
       logged, ""},
      {"another site", post({site, http, "HTTP_ORIGIN=http://evil.example"}, valid), refused,
       foreign + "http://evil.example\n"},
      {"another site's Referer", post({site, "HTTP_REFERER=https://evil.example/a?b"}, valid),
       refused, foreign + "https://evil.example/a?b\n"},
      {"another port", post({site, http, "HTTP_ORIGIN=http://www.example.org:8080"}, valid),
       refused, foreign + "http://www.example.org:8080\n"},
      {"another scheme", post({site, "HTTPS=on", "HTTP_ORIGIN=http://www.example.org"}, valid),
       refused, foreign + "http://www.example.org\n"},
      {"opaque origin", post({site, "HTTP_ORIGIN=null"}, valid), refused, foreign + "null\n"},
      {"opaque origin beside this site's Referer",
       post({site, http, "HTTP_ORIGIN=null", "HTTP_REFERER=http://www.example.org/"}, valid),
       refused, foreign + "null\n"},
      {"user information in the Referer",
       post({site, http, "HTTP_REFERER=http://ann@www.example.org/~ruvak/"}, valid), logged, ""},
      {"another site, named in bytes outside ASCII",
       post({site, http,
             "HTTP_ORIGIN=http://\x9b"
             "31m\xc3\xa9vil.example"},
            valid),
       refused, foreign + "http://\\x9b31m\\xc3\\xa9vil.example\n"},
      {"a name that resolves here, in Host and Origin alike",
       post({"HTTP_HOST=evil.example:18080", http, "HTTP_ORIGIN=http://evil.example:18080"}, valid),
       refused, foreign + "http://evil.example:18080\n", &origins_build},
      {"a listed host, by another scheme",
       post({"HTTP_HOST=example.org", http, "HTTP_ORIGIN=http://example.org"}, valid), refused,
       foreign + "http://example.org\n", &origins_build},
      {"a listed origin, its TLS ended by a proxy",
       post({"HTTP_HOST=example.org", http, "HTTP_ORIGIN=https://example.org"}, valid), logged, "",
       &origins_build},
      {"honeypot empty", post({}, valid + "&website="), logged, ""},
      {"honeypot filled", post({}, valid + "&website=http%3A%2F%2Fspam.example"), dropped,
       "ostrel: submission dropped: the hidden field \"website\" was filled in\n"},
      {"honeypot filled, a spam log", post({}, valid + "&website=x"), kept_as_spam,
       "ostrel: submission dropped: the hidden field \"website\" was filled in" + kept,
       &spam_build},
      {"three links",
       post({}, form("a", "a@b", "see http://x.example", "www.y.example and HTTPS://z.example")),
       kept_as_spam, "ostrel: submission dropped: 3 links, more than 2" + kept, &spam_build},
      {"two links, the first with its www.",
       post({}, form("Ann", "a@b", "http://www.x.example/a", "and www.y.example")), logged, "",
       &spam_build},
  };
  for (const auto& r : rows) {
    for (bool on : {false, true}) {
      std::string before = log(), spam_before = read_file(spam_log());
      cgi_answer answer = submit(r.request, on ? *r.build : under_test);
      outcome want = on ? r.guarded : logged;
      std::string build = on ? " (" + *r.build + ")" : " (default)";
      EXPECT_EQ(answer.out, want == refused ? error_answer : ok_answer) << r.what << build;
      EXPECT_EQ(log().size() > before.size(), want == logged) << r.what << build;
      EXPECT_EQ(read_file(spam_log()).size() > spam_before.size(), want == kept_as_spam)
          << r.what << build;
      if (want != logged) {
        EXPECT_EQ(answer.err, r.guarded_err) << r.what << build;
      }
    }
  }
}

// A submission taken for spam goes to the spam log as a record of the
// request log's own form, to be moved back by hand; a spam log that cannot
// take it changes nothing for the bot, and the line says so.
TEST_F(Submission, SpamLogRecords) {
  const cgi_request caught = form_post(form("a", "a@b", "s%22", "m") + "&website=x");
  submit(caught, spam_build);
  EXPECT_EQ(read_file(spam_log()), "\"a\",\"a@b\",\"s\"\"\",\"m\"\n");
  std::remove(spam_log().c_str());
  mkdir(spam_log().c_str(), 0755);
  cgi_answer answer = submit(caught, spam_build);
  EXPECT_EQ(answer.out, ok_answer);
  EXPECT_EQ(answer.err,
            "ostrel: submission dropped: the hidden field \"website\" was filled in; cannot append "
            "to the spam log log/spam.log: Is a directory\n");
}

// Memory running out at any allocation of an accepted submission still ends
// in exactly one answer: the error redirect (or the decoder's own text when
// the request's block cannot be had), never a crash or two answers; the log
// holds at most the one whole record.
TEST_F(Submission, EveryAllocationFailureGetsOneAnswer) {
  const std::string record = "\"a\",\"a@b\",\"s\",\"m\"\n";
  const std::string no_block = "Unable to allocate memory for the querrey string.\n</BODY></HTML>";
  bool succeeded = false;
  for (int n = 0; n < 1000 && !succeeded; ++n) {
    cgi_request request = form_post(form("a", "a@b", "s", "m"));
    request.environment.push_back("OSTREL_FAIL_ALLOCATION=" + std::to_string(n));
    cgi_answer answer = submit(request, out_of_memory);
    std::string text = log();
    std::remove(log_path().c_str());
    succeeded = answer.out == ok_answer;
    if (answer.out == no_block) {
      EXPECT_EQ(answer.exit_status, 1) << "allocation " << n;
      EXPECT_EQ(text, "") << "allocation " << n;
      continue;
    }
    EXPECT_TRUE(succeeded || answer.out == error_answer)
        << "allocation " << n << ": " << answer.out;
    EXPECT_EQ(answer.exit_status, 0) << "allocation " << n;
    EXPECT_EQ(answer.signal, 0) << "allocation " << n;
    EXPECT_TRUE(text.empty() || text == record) << "allocation " << n << ": " << text;
    if (succeeded) {
      EXPECT_EQ(text, record) << "allocation " << n;
    }
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
