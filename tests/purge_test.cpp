// ostrel-purge in the test's own process, on temporary folders; a purge
// beside many submissions of the test build; a purge killed after each of
// its steps.
#include "ostrel/purge.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_tools/log_file.hpp"
#include "mail_tools/outbox.hpp"
#include "support/submission.hpp"

namespace {

const std::int64_t now = *log_tools::utc_seconds("2026-03-11T00:00:00Z");

struct purged {
  int status;
  std::string out;
};

purged purge(const settings& site, const std::vector<std::string>& arguments,
             const purge_hooks& hooks = {now, {}}) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  int status = purge_command(site, arguments, out, out, hooks);
  std::fclose(out);
  purged result{status, std::string(text, size)};
  std::free(text);
  return result;
}

settings in(const temp_dir& dir) {
  settings site;
  site.request_log = dir.file("request_form.log");
  return site;
}

const std::string ann = "\"Ann\",\"ann@example.org\",\"s\",\"m\",\"2026-01-10T00:00:00Z\"\n",
                  ann_untimed = "\"Ann\",\"Ann@Example.ORG\",\"s\",\"m\"\n",
                  bo = "\"Bo\",\"bo@example.org\",\"s\",\"m\",\"2026-03-01T00:00:00Z\"\n",
                  note = "a note by hand, ann@example.org\n", torn = "\"Cy\",\"ann@example.org\"";

// Only what goes is gone, and a log from which nothing goes is the same file.
TEST(Purge, Logs) {
  const std::string rest = note + torn, all = ann + ann_untimed + bo + rest, none = "(none)",
                    others = " kept, 2 lines that are not records kept";
  const std::string timed = ", 1 record without a time" + others, dry = " to remove (dry run), 1";
  struct row {
    std::vector<std::string> arguments;
    std::string before, after, said;
    int status = 0;
  } rows[] = {
      {{"--address", "ANN@example.org"}, all, bo + rest, "2 records removed, 1" + others},
      {{"--older-than", "30"}, all, ann_untimed + bo + rest, "1 record removed, 2 kept" + timed},
      {{"--dry-run", "--address", "ann@example.org"}, all, all, "2 records" + dry + others},
      {{"--address", "cy@example.org"}, all, all, "0 records removed, 3" + others},
      {{"--older-than", "0"}, "", "", "0 records removed, 0 kept, 0 records without a time kept"},
      {{"--address", "ann@example.org"}, none, none, "not there, 0 records removed"},
      {{"--older-than", "-1"}, all, all, "", 2},
      {{"--address"}, all, all, "", 2},
      {{"--address", "ann@example.org"}, "(folder)", "", "", 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.arguments));
    temp_dir dir;
    const settings site = in(dir);
    if (r.before == "(folder)") mkdir(site.request_log.c_str(), 0750);
    if (r.before != none) write_file(site.request_log, r.before);
    chmod(site.request_log.c_str(), 0640);
    struct stat before = {}, after = {};
    stat(site.request_log.c_str(), &before);
    purged have = purge(site, r.arguments);
    EXPECT_EQ(have.status, r.status) << have.out;
    const std::string said = r.status ? "ostrel-purge: " : site.request_log + ": " + r.said + "\n";
    EXPECT_EQ(have.out.find(said), 0u) << have.out;
    if (stat(site.request_log.c_str(), &after) != 0 || S_ISDIR(after.st_mode)) {
      EXPECT_EQ(r.after == none, !S_ISDIR(after.st_mode));
      continue;
    }
    EXPECT_EQ(read_file(site.request_log), r.after);
    EXPECT_EQ(r.after == r.before, after.st_ino == before.st_ino) << "rewritten or not";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
  }
}

mail_tools::kept_mail mail(const std::string& from, const std::string& to,
                           const std::string& headers = "") {
  return {from, to,
          "From: " + from + "\r\nTo: " + to + "\r\n" + headers + "Subject: s\r\n\r\nm\r\n", "why"};
}

// The acknowledgement, both notifications and a mail refused for good go
// with the address; by age, a mail kept long ago.
TEST(Purge, Outbox) {
  temp_dir dir;
  settings site = in(dir);
  site.outbox = dir.file("outbox");
  const std::string owner = "owner@example.org", failed = site.outbox + "/failed";
  mkdir(site.outbox.c_str(), 0700);
  mkdir(failed.c_str(), 0700);
  auto put = [](const std::string& path, const mail_tools::kept_mail& m) {
    write_file(path, mail_tools::kept_text(m));
  };
  put(site.outbox + "/1773100000-1-1.mail", mail(owner, "Ann@example.org"));
  put(site.outbox + "/1773100000-1-2.mail", mail(owner, owner, "Reply-To: <ann@EXAMPLE.org>\r\n"));
  put(site.outbox + "/1773100000-2-1.mail", mail("ann@example.org", owner));
  put(site.outbox + "/1773100000-3-1.mail", mail(owner, owner, "Reply-To: bo@example.org\r\n"));
  put(site.outbox + "/1700000000-3-1.mail", mail(owner, "bo@example.org"));
  write_file(site.outbox + "/1773100000-4-1.mail", "not a mail, ann@example.org\n");
  put(failed + "/1773100000-5-1.mail", mail(owner, "ann@example.org"));
  write_file(failed + "/1773100000-5-1.reply", "550 no such user ann@example.org\n");

  purged have = purge(site, {"--address", "ann@example.org"});
  EXPECT_EQ(have.out, site.request_log + ": not there, 0 records removed\n" + site.outbox +
                          ": 3 mails removed, 2 kept, 1 file that is not a kept mail kept\n" +
                          failed + ": 1 mail removed, 0 kept\n");
  have = purge(site, {"--older-than", "30"});
  EXPECT_EQ(have.status, 0) << have.out;
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(site.outbox))
    if (entry.is_regular_file()) left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"1773100000-3-1.mail", "1773100000-4-1.mail"}));
}

// A folder on tmpfs where there is one: each purge holds the log while it
// flushes it to disk, which a loaded disk can make longer than the 300 ms
// that the test build's writers wait; a flush to tmpfs costs nothing.
std::string quick_folder(const temp_dir& dir) {
  if (access("/dev/shm", W_OK) != 0) return dir.path();
  std::string folder = "/dev/shm/ostrel-purge-XXXXXX";
  return mkdtemp(folder.data()) ? folder : dir.path();
}

// Submissions of the test build arrive while the log is purged, each purge
// taking out a record put in for it and holding the old log, before its
// rename, until a submission has opened it (as inotify tells): that
// submission must append to the new log. Every record is there once and whole.
TEST_F(Submission, PurgedWhileSubmissionsArrive) {
  const std::string folder = quick_folder(dir);
  mkdir((folder + "/log").c_str(), 0755);
  settings site;
  site.request_log = folder + "/log/request_form.log";
  const int opens = inotify_init1(IN_CLOEXEC);
  int purges = 0, caught = 0, failures = 0;
  const purge_hooks hooks{now, [&](purge_step step) {
                            if (step == purge_step::read)
                              inotify_add_watch(opens, site.request_log.c_str(), IN_OPEN);
                            pollfd opened{opens, POLLIN, 0};
                            if (step != purge_step::flushed || poll(&opened, 1, 50) != 1) return;
                            char events[4096];
                            caught += read(opens, events, sizeof events) > 0;
                          }};
  std::atomic<bool> all_answered{false};
  std::thread purging([&] {
    for (; purges < 3 && !all_answered; ++purges) {
      if (log_tools::append_record(site.request_log, "\"G\",\"gone@example.org\",\"s\",\"m\"\n",
                                   std::chrono::seconds(10)))
        ++failures;
      failures += purge(site, {"--address", "gone@example.org"}, hooks).status != 0;
      // Room for the submissions that waited: taken again at once, the lock
      // would be the purges' alone.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::vector<cgi_process> running;
  std::multiset<std::string> want, have;
  for (int i = 0; i < 100; ++i) {
    cgi_request request = form_post(form("n" + std::to_string(i), "a@b", "s", "m"));
    request.directory = folder;
    running.push_back(start_cgi(under_test, request));
    want.insert("\"n" + std::to_string(i) + "\",\"a@b\",\"s\",\"m\"\n");
  }
  for (auto& process : running) {
    cgi_answer answer = finish_cgi(process);
    EXPECT_EQ(answer.out, ok_answer) << answer.err;
  }
  all_answered = true;
  purging.join();
  close(opens);
  EXPECT_EQ(failures, 0);
  EXPECT_GT(caught, 0) << purges << " purges";
  const std::string log = read_file(site.request_log);
  if (folder != dir.path()) std::filesystem::remove_all(folder);
  for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
    have.insert(log.substr(at, end + 1 - at));
  EXPECT_EQ(have, want);
}

// Killed after any step, the purge leaves the old log or the new one, byte
// for byte; the next run ends the work and leaves no file of its own.
TEST(Purge, KilledAfterEachStep) {
  constexpr int stopped = 42;
  const std::string before = ann + bo, after = bo;
  for (auto step = purge_step::read; step <= purge_step::folder_flushed;
       step = static_cast<purge_step>(static_cast<int>(step) + 1)) {
    SCOPED_TRACE("step " + std::to_string(static_cast<int>(step)));
    temp_dir dir;
    const settings site = in(dir);
    write_file(site.request_log, before);
    pid_t child = fork();
    if (child == 0) {
      std::FILE* quiet = std::fopen("/dev/null", "w");
      purge_command(site, {"--address", "ann@example.org"}, quiet, quiet,
                    {now, [step](purge_step at) {
                       if (at == step) _exit(stopped);
                     }});
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), stopped);
    EXPECT_EQ(read_file(site.request_log), step >= purge_step::renamed ? after : before);
    EXPECT_EQ(purge(site, {"--address", "ann@example.org"}).status, 0);
    EXPECT_EQ(read_file(site.request_log), after);
    EXPECT_NE(access(dir.file(".request_form.log.purge").c_str(), F_OK), 0);
  }
}

}  // namespace
