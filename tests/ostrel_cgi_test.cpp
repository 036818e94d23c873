// The program run as a web server runs it, where the process is the point:
// environment and body in, exact bytes out, exit statuses, signals, the
// static link, many processes at once, memory running out, memcheck.
//
// OSTREL_PROGRAM is the program as deployed (default settings); it is only
// given requests that never reach the request log. The test build
// (support/submission.hpp) is the same code built to log to
// "log/request_form.log" below its working directory, so every test logs
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

#include "ostrel/resend.hpp"
#include "support/cgi_run.hpp"
#include "support/json_reply.hpp"
#include "support/mailbox_process.hpp"
#include "support/script_server.hpp"
#include "support/submission.hpp"

namespace {

const std::string deployed = OSTREL_PROGRAM;
const std::string out_of_memory = test_program("ostrel_out_of_memory");

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
  std::string long_body(static_cast<std::size_t>(test_build.request_limit) + 1, 'x');
  const std::string over = "CONTENT_LENGTH=" + std::to_string(test_build.request_limit + 1);
  const std::string at_limit = "CONTENT_LENGTH=" + std::to_string(test_build.request_limit);
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
  const int limit = static_cast<int>(test_build.body_timeout.count());
  struct row {
    const char* what;
    int rest_after_ms;
    std::string out, err;
  } rows[] = {
      {"in time", limit / 2, ok_answer, ""},
      {"too late", (limit + static_cast<int>(test_build.mail_timeout.count())) / 2,
       "Unable to read from the input stream.",
       "ostrel: the request body did not come whole within " + std::to_string(limit) + " ms\n"},
  };
  for (const auto& r : rows) {
    cgi_request request = form_post(body);
    request.body = body.substr(0, 5);
    request.rest_of_body = body.substr(5);
    request.rest_after_ms = r.rest_after_ms;
    cgi_answer answer = submit(request);
    EXPECT_EQ(answer.out, r.out) << r.what;
    if (!r.err.empty()) {
      EXPECT_EQ(answer.err, r.err) << r.what;
    } else {
      EXPECT_EQ(answer.err.find("request body"), std::string::npos) << r.what;
    }
  }
}

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
      {"email with a comma", form_post(form("a", "a%2Cb@c", "s", "m"))},
      {"message a byte too long and bad email",
       form_post(form("a", "bad", "s", std::string(test_build.message_limit + 1, 'm')))},
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

// What the defences read of the process's request: the hidden field in the
// form, the page that sent it in the environment, and the site's origins
// from the build.
TEST_F(Submission, DefencesReadTheRequest) {
  const std::string body = form("a", "a@b", "s", "m");
  cgi_request foreign = form_post(body);
  foreign.environment.push_back("HTTP_ORIGIN=https://evil.example");
  struct row {
    const char* what;
    cgi_request request;
    std::string out, err;
  } rows[] = {
      {"the hidden field filled in", form_post(body + "&website=x"), ok_answer,
       "ostrel: submission dropped: the hidden field \"website\" was filled in\n"},
      {"another site's page", foreign, error_answer,
       "ostrel: submission refused: sent from another site's page, https://evil.example\n"},
  };
  for (const auto& r : rows) {
    cgi_answer answer = submit(r.request);
    EXPECT_EQ(answer.out, r.out) << r.what;
    EXPECT_EQ(answer.err, r.err) << r.what;
    EXPECT_EQ(log(), "") << r.what;
  }
}

// A request that asks for JSON gets it from the process too: the decoder's
// faults as statuses, with no text of theirs and exit status 0, and the
// decision's answer; a browser's Accept gets the redirect.
TEST_F(Submission, JsonWhenAskedFor) {
  const std::string json = "HTTP_ACCEPT=application/json";
  const std::string valid = form("a", "a@b", "s", "m");
  auto asking = [&](cgi_request request, const std::string& accept) {
    request.environment.push_back(accept);
    return request;
  };
  cgi_request too_long =
      form_post(std::string(static_cast<std::size_t>(test_build.request_limit) + 1, 'x'));
  cgi_request cut_short = form_post(valid);
  cut_short.body.resize(5);
  struct row {
    const char* what;
    cgi_request request;
    int status;
  } rows[] = {
      {"a body over the limit", asking(too_long, json), 413},
      {"a query over the limit", asking(form_get(too_long.body), json), 413},
      {"a body cut short", asking(cut_short, json), 400},
      {"a field missing", asking(form_post(form("a", "a@b", "s", "")), json), 422},
      {"accepted", asking(form_post(valid), json), 200},
      {"a browser's Accept", asking(form_post(valid), "HTTP_ACCEPT=text/html,*/*;q=0.8"), 0},
  };
  for (const auto& r : rows) {
    cgi_answer answer = submit(r.request);
    json_reply reply = read_reply(answer.out);
    EXPECT_EQ(reply.status, r.status) << r.what << ": " << answer.out;
    EXPECT_EQ(reply.body.is_discarded(), r.status == 0) << r.what;
    EXPECT_EQ(answer.exit_status, 0) << r.what;
  }
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
  std::string quotes(std::min(test_build.name_limit, test_build.subject_limit), '"');
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

// Memory running out at any allocation of an accepted submission still ends
// in exactly one answer: the error redirect with its line on standard error
// (or the decoder's own text when the request's block cannot be had), never
// a crash or two answers; the log holds at most the one whole record.
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
    } else {
      EXPECT_NE(answer.err.find("ostrel: out of memory; answered with the error page\n"),
                std::string::npos)
          << "allocation " << n << ": " << answer.err;
    }
  }
  EXPECT_TRUE(succeeded);
}

// The whole job of an accepted submission: the record in the log, both
// mails at a real SMTP server, and the answer.
// By POST and by GET alike. Memcheck runs this test too.
TEST_F(Submission, LogsAndMailsBoth) {
  test_support::mailbox_process mailbox;
  ASSERT_NE(mailbox.port(), 0);

  const std::string fields =
      "name=Ann+Lee&email=ann%40example.org&subject=Hello%0D%0ABcc%3A+x%40y"
      "&message=.%0D%0Aline+2%0Aline+3";
  const std::string record =
      "\"Ann Lee\",\"ann@example.org\",\"Hello\\r\\nBcc: x@y\",\".\\r\\nline 2\\nline 3\"\n";
  std::string want_log;
  std::size_t want_mails = 0;
  for (const cgi_request& request : {form_post(fields), form_get(fields)}) {
    const std::string& method = request.environment[0];
    cgi_answer answer = submit(with_mail_port(mailbox.port(), request));
    EXPECT_EQ(answer.out, ok_answer) << method;
    EXPECT_EQ(answer.err, "") << method << ": both mails were accepted";
    want_log += record;
    EXPECT_EQ(log(), want_log) << method;

    want_mails += 2;
    auto mails = mailbox.mails();
    ASSERT_EQ(mails.size(), want_mails) << method;
    const auto& notification = mails[mails.size() - 2];
    const auto& acknowledgement = mails.back();
    EXPECT_EQ(notification.mail_from, "ann@example.org") << method;
    EXPECT_EQ(notification.rcpt_tos, std::vector<std::string>{"webmaster@localhost"}) << method;
    // The subject's line break cannot start a header line of its own, and the
    // message's lone "." line does not end the mail early.
    EXPECT_EQ(notification.data,
              "From: ann@example.org\r\nTo: webmaster@localhost\r\n"
              "Subject: Hello Bcc: x@y\r\n\r\n"
              "Ann Lee\r\nann@example.org\r\n.\r\nline 2\r\nline 3\r\n\r\n")
        << method;
    EXPECT_EQ(acknowledgement.mail_from, "webmaster@localhost") << method;
    EXPECT_EQ(acknowledgement.rcpt_tos, std::vector<std::string>{"ann@example.org"}) << method;
    EXPECT_EQ(acknowledgement.data,
              "From: webmaster@localhost\r\nTo: ann@example.org\r\nSubject: Thank you...\r\n\r\n"
              "Thank you for filling out the request form...\r\n")
        << method;
  }
}

// With the mail server down, submissions at once each keep both mails whole
// in the outbox; one resend then delivers each once, byte for byte what the
// same submissions send directly.
TEST_F(Submission, KeptMailIsResentOnceAsSentDirectly) {
  constexpr int count = 30;
  auto submit_all = [&](int port) {
    std::vector<cgi_process> running;
    for (int i = 0; i < count; ++i) {
      std::string n = std::to_string(i);
      cgi_request request = with_mail_port(port, form_post(form(n, n + "%40b", "s", ".%0D%0Am")));
      request.directory = dir.path();
      running.push_back(start_cgi(under_test, request));
    }
    for (auto& process : running) EXPECT_EQ(finish_cgi(process).out, ok_answer);
  };
  test_support::closed_port down;
  submit_all(down.port());
  test_support::mailbox_process mailbox;
  settings site = test_build;
  site.outbox = dir.file(test_build.outbox);
  site.mail_port = mailbox.port();
  EXPECT_TRUE(resend(site, stdout, stderr));
  submit_all(mailbox.port());

  std::vector<std::string> resent, direct;
  for (const auto& mail : mailbox.mails())
    (resent.size() < 2 * count ? resent : direct)
        .push_back(mail.mail_from + " " + mail.rcpt_tos.at(0) + "\n" + mail.data);
  std::sort(resent.begin(), resent.end());
  std::sort(direct.begin(), direct.end());
  EXPECT_EQ(resent.size(), 2u * count);
  EXPECT_EQ(resent, direct);
}

}  // namespace
