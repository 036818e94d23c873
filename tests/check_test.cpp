// ostrel-check as a site owner runs it, in a temporary folder where its test
// build looks for log/request_form.log, against a scripted mail server on a
// free port: the line of the check that a deployment fault fails, the exit
// status, and what goes to the mail server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/cgi_run.hpp"
#include "support/script_server.hpp"

namespace {

using test_support::smtp_script;

const std::string log_line = "\nok    request log log/request_form.log: ";
const std::string log_failure = "\nFAIL  request log log/request_form.log: ";
const std::string mail_failure = "\nFAIL  mail server localhost:1: ";

cgi_answer run_check(const temp_dir& dir, int mail_port) {
  cgi_request request;
  request.directory = dir.path();
  request.environment = {"OSTREL_TEST_MAIL_PORT=" + std::to_string(mail_port)};
  return run_cgi(OSTREL_CHECK, request);
}

std::string log_path(const temp_dir& dir) { return dir.file("log/request_form.log"); }

enum class made { nothing, folder, file, world_writable, subfolder, fifo, locked_file };

// The log folder and what stands for the log in it, as a row wants them;
// gives the descriptor that holds the lock of a locked log, else -1.
int make_log(const temp_dir& dir, made what) {
  if (what == made::nothing) return -1;
  mkdir(dir.file("log").c_str(), 0750);
  const std::string log = log_path(dir);
  if (what == made::subfolder) mkdir(log.c_str(), 0750);
  if (what == made::fifo) mkfifo(log.c_str(), 0660);
  if (what == made::file || what == made::world_writable || what == made::locked_file) {
    write_file(log, "\"a\",\"a@b\",\"s\",\"m\"\n");
    chmod(log.c_str(), what == made::world_writable ? 0666 : 0660);
  }
  if (what != made::locked_file) return -1;
  int fd = open(log.c_str(), O_RDONLY);
  flock(fd, LOCK_EX);
  return fd;
}

// The log's bytes, or what stands in its place.
std::string log_state(const temp_dir& dir) {
  struct stat file;
  if (lstat(log_path(dir).c_str(), &file) != 0) return "(none)";
  return S_ISREG(file.st_mode) ? read_file(log_path(dir)) : "(not a file)";
}

// Every check runs; only the row's fault fails, and the log stays as it was.
TEST(Check, Deployments) {
  const smtp_script cooperative;
  smtp_script refuses_rcpt;
  refuses_rcpt.reply_to["RCPT"] = "550 5.1.1 no such user\x1b[2J\r\n";
  struct row {
    const char* what;
    made log;
    smtp_script server;
    bool listening;
    std::string want;  // the start of the line that says so
  } rows[] = {
      {"all good", made::file, cooperative, true,
       log_line + "a regular file, writable, lockable, not world-writable\n"},
      {"a log not made yet", made::folder, cooperative, true,
       log_line + "not there yet; this user may make it, and the first submission will\n"},
      {"no log folder", made::nothing, cooperative, true,
       log_failure + "folder log: No such file or directory; make it"},
      {"a world-writable log", made::world_writable, cooperative, true,
       log_failure + "world-writable"},
      {"a folder as log", made::subfolder, cooperative, true, log_failure + "not a regular file"},
      {"a FIFO as log", made::fifo, cooperative, true, log_failure + "not a regular file"},
      {"a log locked", made::locked_file, cooperative, true,
       log_failure + "locked by another process"},
      {"nothing listening", made::file, cooperative, false, mail_failure + "no connection"},
      {"RCPT TO refused", made::file, refuses_rcpt, true,
       mail_failure + "RCPT TO: 550 5.1.1 no such user"},
  };
  for (const row& r : rows) {
    temp_dir dir;
    int held = make_log(dir, r.log);
    const std::string before = log_state(dir);
    test_support::script_server server(r.server);
    test_support::closed_port nobody;
    cgi_answer answer = run_check(dir, r.listening ? server.port() : nobody.port());
    if (held >= 0) close(held);

    const bool fails = r.want.find("FAIL") != std::string::npos;
    EXPECT_EQ(answer.exit_status, fails ? 1 : 0) << r.what << "\n" << answer.out;
    EXPECT_NE(answer.out.find(r.want), std::string::npos) << r.what << ": have\n"
                                                          << answer.out << "want\n"
                                                          << r.want;
    int failures = 0;
    for (std::size_t at = 0; (at = answer.out.find("\nFAIL", at)) != std::string::npos; ++at)
      ++failures;
    EXPECT_EQ(failures, fails ? 1 : 0) << r.what << "\n" << answer.out;
    EXPECT_EQ(answer.out.find('\x1b'), std::string::npos) << r.what;
    EXPECT_EQ(log_state(dir), before) << r.what;
  }
}

// The envelope in ostrel's own words, never DATA; pages that are not
// /~user/ paths are left to the web server.
TEST(Check, AllGood) {
  temp_dir dir;
  make_log(dir, made::file);
  test_support::script_server server;
  cgi_answer answer = run_check(dir, server.port());
  EXPECT_EQ(answer.exit_status, 0) << answer.out;
  EXPECT_EQ(server.sessions().at(0).received,
            "HELO localhost\r\nMAIL FROM: webmaster@localhost\r\n"
            "RCPT TO: webmaster@localhost\r\nRSET\r\nQUIT\r\n");
  for (const char* page : {"thank-you page /form_ok.html", "error page /form_error.html"})
    EXPECT_NE(answer.out.find(std::string("\nskip  ") + page + ": not checked: "),
              std::string::npos)
        << answer.out;
}

TEST(Check, Arguments) {
  struct row {
    const char* arguments;
    int want_status;
  } rows[] = {{" --help", 0}, {" --json", 2}, {" --help --help", 2}};
  for (const row& r : rows) {
    std::string command = std::string(OSTREL_CHECK) + r.arguments + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), r.want_status) << r.arguments;
  }
}

}  // namespace
