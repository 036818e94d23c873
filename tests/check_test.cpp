// ostrel-check's checks on a temporary folder and against a scripted mail
// server on a free port: the line of the check that a deployment fault
// fails, the result, and what goes to the mail server; its arguments
// through the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ostrel/check.hpp"
#include "support/cgi_run.hpp"
#include "support/script_server.hpp"

namespace {

using test_support::smtp_script;

std::string log_path(const temp_dir& dir) { return dir.file("log/request_form.log"); }

struct checked {
  bool passed;
  std::string out;
};

// The checks with the log in dir and the mail server on mail_port.
checked run_check(const temp_dir& dir, int mail_port) {
  settings site;
  site.request_log = log_path(dir);
  site.ok_page = "/form_ok.html";  // not /~user/ paths: they would need an account
  site.error_page = "/form_error.html";
  site.mail_port = mail_port;
  site.mail_timeout = std::chrono::milliseconds(1000);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  bool passed = run_checks(site, out);
  std::fclose(out);
  checked result{passed, std::string(text, size)};
  std::free(text);
  return result;
}

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
  smtp_script refuses_rcpt, silent;
  refuses_rcpt.reply_to["RCPT"] = "550 5.1.1 no such user\x1b[2J\r\n";
  silent.replies = 0;
  const std::string log_ok = "ok    request log", log_failure = "FAIL  request log",
                    mail_failure = "FAIL  mail server";
  struct row {
    const char* what;
    made log;
    smtp_script server;
    bool listening;
    const std::string& line;
    std::string want;  // the start of what the line says; @ stands for the folder
  } rows[] = {
      {"all good", made::file, cooperative, true, log_ok,
       "a regular file, writable, lockable, not world-writable\n"},
      {"a log not made yet", made::folder, cooperative, true, log_ok,
       "not there yet; this user may make it, and the first submission will\n"},
      {"no log folder", made::nothing, cooperative, true, log_failure,
       "folder @/log: No such file or directory; make it"},
      {"a world-writable log", made::world_writable, cooperative, true, log_failure,
       "world-writable"},
      {"a folder as log", made::subfolder, cooperative, true, log_failure, "not a regular file"},
      {"a FIFO as log", made::fifo, cooperative, true, log_failure, "not a regular file"},
      {"a log locked", made::locked_file, cooperative, true, log_failure,
       "locked by another process"},
      {"nothing listening", made::file, cooperative, false, mail_failure, "no connection"},
      {"RCPT TO refused", made::file, refuses_rcpt, true, mail_failure,
       "RCPT TO: 550 5.1.1 no such user"},
      {"a server that never answers", made::file, silent, true, mail_failure,
       "greeting: no reply within the time limit"},
  };
  for (const row& r : rows) {
    temp_dir dir;
    int held = make_log(dir, r.log);
    const std::string before = log_state(dir);
    test_support::script_server server(r.server);
    test_support::closed_port nobody;
    int port = r.listening ? server.port() : nobody.port();
    checked answer = run_check(dir, port);
    if (held >= 0) close(held);
    server.stop();

    std::string subject = &r.line == &mail_failure ? "localhost:" + std::to_string(port)
                                                   : log_path(dir);
    std::string want = r.want;
    if (want.find('@') != std::string::npos) want.replace(want.find('@'), 1, dir.path());
    want = "\n" + r.line + " " + subject + ": " + want;
    const bool fails = r.line.find("FAIL") != std::string::npos;
    EXPECT_EQ(answer.passed, !fails) << r.what << "\n" << answer.out;
    EXPECT_NE(answer.out.find(want), std::string::npos) << r.what << ": have\n"
                                                        << answer.out << "want\n"
                                                        << want;
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
  checked answer = run_check(dir, server.port());
  EXPECT_TRUE(answer.passed) << answer.out;
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
