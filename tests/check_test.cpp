// ostrel-check's checks on a temporary folder and against a scripted mail
// server on a free port: the line of the check that a deployment fault
// fails, the result, and what goes to the mail server; its arguments
// through the program.
#include "ostrel/check.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "support/cgi_run.hpp"
#include "support/script_server.hpp"

namespace {

using test_support::smtp_script;

std::string log_path(const temp_dir& dir) { return dir.file("log/request_form.log"); }

struct checked {
  bool passed;
  std::string out;
};

// The checks with the logs and the outbox in dir, the mail server on
// mail_port, and a file size limit in force while they run.
checked run_check(const temp_dir& dir, int mail_port, rlim_t file_size_limit = RLIM_INFINITY,
                  const std::string& origins = "") {
  settings site;
  site.site_origins = origins;
  site.request_log = log_path(dir);
  site.spam_log = dir.file("spam.log");
  site.outbox = dir.file("outbox");
  site.ok_page = "/form_ok.html";  // not /~user/ paths: they would need an account
  site.error_page = "/form_error.html";
  site.mail_port = mail_port;
  site.mail_timeout = std::chrono::milliseconds(1000);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit lowered{file_size_limit, before.rlim_max};
  setrlimit(RLIMIT_FSIZE, &lowered);
  bool passed = run_checks(site, out);
  setrlimit(RLIMIT_FSIZE, &before);
  std::fclose(out);
  checked result{passed, std::string(text, size)};
  std::free(text);
  return result;
}

enum class made {
  nothing,
  folder,
  file,
  world_writable,
  readable,
  subfolder,
  fifo,
  locked_file,
  unwritable_spam_log,
  linked_spam_log,
  outbox_file,
  old_mail,
  refused_mail
};

// What the row's spam log or outbox is, beside a good request log.
void make_other(const temp_dir& dir, made what) {
  const std::string spam_log = dir.file("spam.log"), outbox = dir.file("outbox");
  if (what == made::unwritable_spam_log) {
    write_file(spam_log, "");
    chmod(spam_log.c_str(), 0440);
    chmod(dir.path().c_str(), 0770);  // for nobody, in root's group
  }
  if (what == made::linked_spam_log) symlink("elsewhere.log", spam_log.c_str());
  if (what == made::outbox_file) write_file(outbox, "");
  if (what == made::old_mail || what == made::refused_mail) mkdir(outbox.c_str(), 0700);
  if (what == made::old_mail) {
    const std::string mail = outbox + "/1-1-1.mail";
    write_file(mail, "");
    timespec two_hours_ago[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
    utimensat(AT_FDCWD, mail.c_str(), two_hours_ago, 0);
  }
  if (what == made::refused_mail) {
    mkdir((outbox + "/failed").c_str(), 0700);
    write_file(outbox + "/failed/1-1-1.mail", "");
    write_file(outbox + "/failed/1-1-1.reply", "");  // not another mail
  }
}

// The log folder and what stands for the log in it, as a row wants them;
// gives the descriptor that holds the lock of a locked log, else -1.
int make_log(const temp_dir& dir, made what) {
  if (what == made::nothing) return -1;
  mkdir(dir.file("log").c_str(), 0750);
  const std::string log = log_path(dir);
  if (what == made::subfolder) mkdir(log.c_str(), 0750);
  if (what == made::fifo) mkfifo(log.c_str(), 0660);
  if (what == made::folder || what == made::subfolder || what == made::fifo) return -1;
  write_file(log, "\"a\",\"a@b\",\"s\",\"m\"\n");
  chmod(log.c_str(), what == made::world_writable ? 0666 : what == made::readable ? 0664 : 0660);
  make_other(dir, what);
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

// Root may write anything: a spam log that may not be written is tried as
// nobody, whom the test folder's group (root's) lets in.
bool as_nobody(made what) {
  return what == made::unwritable_spam_log && geteuid() == 0 && seteuid(65534) == 0;
}

// Each % of want stands for the folder, each # for the mail server's port.
std::string filled(std::string want, const temp_dir& dir, int port) {
  for (std::size_t at; (at = want.find_first_of("%#")) != std::string::npos;)
    want.replace(at, 1, want[at] == '%' ? dir.path() : std::to_string(port));
  return want;
}

// Every check runs; only the row's fault fails or warns, and the log stays
// as it was.
TEST(Check, Deployments) {
  const smtp_script cooperative;
  smtp_script refuses_rcpt, refuses_data, no_relay, silent;
  refuses_rcpt.reply_to["RCPT"] = "550 5.1.1 no such user\x1b[2J\r\n";
  refuses_data.reply_to["DATA"] = "554 5.7.1 too many mails\r\n";
  no_relay.reply_to["RCPT TO: postmaster@example.com"] = "554 5.7.1 Relay access denied\r\n";
  silent.replies = 0;
  struct row {
    const char* what;
    made log;
    smtp_script server;
    bool listening;
    const char* want;  // the start of the line
    rlim_t file_size_limit = RLIM_INFINITY;
  } rows[] = {
      {"all good", made::file, cooperative, true,
       "ok    acknowledgement localhost:#: greets, and takes HELO, MAIL FROM webmaster@localhost, "
       "RCPT TO postmaster@example.com and DATA\n"},
      {"a log not made yet", made::folder, cooperative, true,
       "ok    request log %/log/request_form.log: not there yet; this user may make it, and the "
       "first submission will\n"},
      {"no log folder", made::nothing, cooperative, true,
       "FAIL  request log %/log/request_form.log: folder %/log: No such file or directory; make "
       "it"},
      {"a world-writable log", made::world_writable, cooperative, true,
       "FAIL  request log %/log/request_form.log: world-writable"},
      {"a log others may read", made::readable, cooperative, true,
       "warn  request log %/log/request_form.log: open to other users"},
      {"a folder as log", made::subfolder, cooperative, true,
       "FAIL  request log %/log/request_form.log: a folder, where ostrel wants a file; move it"},
      {"a FIFO as log", made::fifo, cooperative, true,
       "FAIL  request log %/log/request_form.log: a FIFO, where ostrel wants a file; remove it"},
      {"a log locked", made::locked_file, cooperative, true,
       "FAIL  request log %/log/request_form.log: locked by another process"},
      {"a spam log this user may not write", made::unwritable_spam_log, cooperative, true,
       "FAIL  spam log %/spam.log: Permission denied; run as the web server's user"},
      {"a spam log that is a link", made::linked_spam_log, cooperative, true,
       "FAIL  spam log %/spam.log: a symbolic link"},
      {"an outbox that is a file", made::outbox_file, cooperative, true,
       "FAIL  outbox %/outbox: not a folder; move it aside"},
      {"a mail kept two hours", made::old_mail, cooperative, true,
       "FAIL  kept mail %/outbox: 1 waiting, the oldest for 2 hours; the mail server"},
      {"a mail refused for good", made::refused_mail, cooperative, true,
       "FAIL  refused mail %/outbox/failed: 1 refused for good: 1-1-1.mail; the .reply"},
      {"a file size limit below one record", made::file, cooperative, true,
       "FAIL  file size limit 1000 bytes: this process's: room for 0 more records", 1000},
      {"nothing listening", made::file, cooperative, false,
       "FAIL  owner notification localhost:#: no connection"},
      {"RCPT TO refused", made::file, refuses_rcpt, true,
       "FAIL  owner notification localhost:#: RCPT TO: 550 5.1.1 no such user"},
      {"DATA refused", made::file, refuses_data, true,
       "FAIL  owner notification localhost:#: DATA: 554 5.7.1 too many mails; it refuses"},
      {"no relay to others", made::file, no_relay, true,
       "FAIL  acknowledgement localhost:#: RCPT TO: 554 5.7.1 Relay access denied; every "
       "thank-you"},
      {"a server that never answers", made::file, silent, true,
       "FAIL  owner notification localhost:#: greeting: no reply within the time limit"},
  };
  for (const row& r : rows) {
    temp_dir dir;
    int held = make_log(dir, r.log);
    const std::string before = log_state(dir);
    // Before the server's thread starts: glibc changes every thread's
    // user with a signal, which would end the server's waits.
    bool unprivileged = as_nobody(r.log);
    test_support::script_server server(r.server, 2);
    test_support::closed_port nobody;
    int port = r.listening ? server.port() : nobody.port();
    checked answer = run_check(dir, port, r.file_size_limit);
    if (held >= 0) close(held);
    server.stop();
    if (unprivileged) {
      EXPECT_EQ(seteuid(0), 0);
    }

    const std::string want = "\n" + filled(r.want, dir, port);
    const bool fails = want.find("\nFAIL") == 0;
    EXPECT_EQ(answer.passed, !fails) << r.what << "\n" << answer.out;
    EXPECT_NE(answer.out.find(want), std::string::npos) << r.what << ": have\n"
                                                        << answer.out << "want" << want;
    int flagged = 0;
    for (const char* word : {"\nFAIL", "\nwarn"})
      for (std::size_t at = 0; (at = answer.out.find(word, at)) != std::string::npos; ++at)
        ++flagged;
    EXPECT_EQ(flagged, want.find("\nok") == 0 ? 0 : 1) << r.what << "\n" << answer.out;
    EXPECT_EQ(answer.out.find('\x1b'), std::string::npos) << r.what;
    EXPECT_EQ(log_state(dir), before) << r.what;
  }
}

// Each mail's dialogue in ostrel's own words up to DATA, never a line of
// data; pages that are not /~user/ paths are left to the web server.
TEST(Check, AllGood) {
  temp_dir dir;
  make_log(dir, made::file);
  test_support::script_server server({}, 2);
  checked answer = run_check(dir, server.port());
  EXPECT_TRUE(answer.passed) << answer.out;
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_EQ(server.sessions().at(i).received,
              "HELO localhost\r\nMAIL FROM: webmaster@localhost\r\nRCPT TO: " +
                  std::string(i == 0 ? "webmaster@localhost" : "postmaster@example.com") +
                  "\r\nDATA\r\n");
  for (const char* page : {"thank-you page /form_ok.html", "error page /form_error.html"})
    EXPECT_NE(answer.out.find(std::string("\nskip  ") + page + ": not checked: "),
              std::string::npos)
        << answer.out;
}

// Something on this machine must listen on the port of each origin the
// program is built for.
TEST(Check, SiteOrigins) {
  temp_dir dir;
  make_log(dir, made::file);
  test_support::mute_listener web;
  test_support::closed_port nobody;
  const std::string heard = "http://127.0.0.1:" + std::to_string(web.port()),
                    unheard = "https://127.0.0.1:" + std::to_string(nobody.port());
  std::string out = run_check(dir, nobody.port(), RLIM_INFINITY, heard + " " + unheard).out;
  EXPECT_NE(out.find("\nok    site origin " + heard + ": something"), std::string::npos) << out;
  EXPECT_NE(out.find("\nFAIL  site origin " + unheard + ": nothing on this machine listens"),
            std::string::npos)
      << out;
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
