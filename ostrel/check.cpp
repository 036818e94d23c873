// ostrel-check: tries what ostrel will need on this machine, with the
// settings ostrel was built with (the request log, the two redirect pages,
// the mail server), so that the site owner finds a wrong setting before a
// visitor does. It sends no mail and changes nothing.
#include <fcntl.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "mail_tools/smtp.hpp"
#include "net_tools/tcp_stream"
#include "ostrel/config.hpp"
#include "ostrel/one_line.hpp"

namespace {

// Exit statuses.
constexpr int all_passed = 0;
constexpr int some_failed = 1;
constexpr int usage_error = 2;

constexpr char usage_text[] = "usage: ostrel-check [--help]\n";

constexpr char help_text[] = R"(usage: ostrel-check [--help]

Tries what ostrel needs on this machine, with the settings this build of
ostrel was made with, so that a wrong setting is found before a visitor
finds it. Run it as the web server's user, after installing:

  runuser -u www-data -- ostrel-check

It sends no mail and changes nothing. It prints the settings, then one
line per check: ok, FAIL with what to do, or skip with why.

  request log  its folder exists; the file exists, or this user may make it
               there; it is a regular file that this user can append to and
               lock as ostrel does; not everyone may write to it.
  pages        the thank-you and the error page, when their path is /~user/...:
               public_html/... in the user's home (from /etc/passwd) is
               there and this user can read it.
               Other page paths are the web server's own business: skipped.
  mail server  answers within ostrel's mail time limit and accepts HELO,
               MAIL FROM and RCPT TO with the owner's address as ostrel
               sends them; the check then says RSET and QUIT.

The settings are compiled in, so it takes no arguments but --help.

Exit status: 0 every check passed, 1 a check failed, 2 a usage error.
)";

enum class verdict { ok, fail, skip };

struct outcome {
  verdict how;
  std::string text;
};

outcome passed(std::string text) { return {verdict::ok, std::move(text)}; }
outcome failed(std::string text) { return {verdict::fail, std::move(text)}; }
outcome skipped(std::string text) { return {verdict::skip, std::move(text)}; }

std::string error_text(int error) { return std::strerror(error); }

std::string user_name(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? user->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
  const group* found = getgrgid(gid);
  return found ? found->gr_name : std::to_string(gid);
}

// The folder part of a path, as open() walks it.
std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The commands that make the log ostrel's alone: its owner's, with this
// user's group to write to it, and no one else's.
std::string grant(const std::string& log, uid_t owner) {
  return "chown " + user_name(owner) + ":" + group_name(getegid()) + " " + log + "; chmod 0660 " +
         log;
}

outcome folder_failure(const std::string& folder, int error) {
  std::string what = "folder " + folder + ": " + error_text(error) + "; ";
  if (error == ENOENT || error == ENOTDIR)
    return failed(what + "make it: install -d -o <owner> -g " + group_name(getegid()) +
                  " -m 0750 " + folder);
  return failed(what +
                "run as the web server's user, and let that user into every folder on the "
                "way (chmod 0711 ~owner)");
}

// A log that is not there yet is made by the first submission, if this user may.
outcome log_to_come(const std::string& log, const std::string& folder, uid_t folder_owner) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
    return passed("not there yet; this user may make it, and the first submission will");
  return failed("not there, and this user may not make it in " + folder + "; make it: touch " +
                log + "; " + grant(log, folder_owner));
}

// Opened as ostrel opens it, but without O_CREAT; never written. The lock
// is ostrel's, let go at once.
outcome open_and_lock(const std::string& log, uid_t owner) {
  int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    // Taken first: looking up the names for the advice sets errno.
    std::string why = error_text(errno);
    return failed(why + "; run as the web server's user, and give that user write access: " +
                  grant(log, owner));
  }
  bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
  int error = errno;
  if (locked) flock(fd, LOCK_UN);
  close(fd);
  if (locked) return passed("a regular file, writable, lockable, not world-writable");
  if (error == EWOULDBLOCK)
    return failed("locked by another process, and a submission gives up after " +
                  std::to_string(config::log_lock_timeout_ms) +
                  " ms; find the process (lslocks) and end what holds it");
  return failed("cannot be locked: " + error_text(error));
}

outcome check_log(const std::string& log) {
  const std::string folder = folder_of(log);
  struct stat place;
  if (stat(folder.c_str(), &place) != 0) return folder_failure(folder, errno);
  if (!S_ISDIR(place.st_mode)) return folder_failure(folder, ENOTDIR);
  struct stat file;
  if (stat(log.c_str(), &file) != 0)
    return errno == ENOENT ? log_to_come(log, folder, place.st_uid)
                           : failed(error_text(errno) + "; run as the web server's user");
  // Checked before opening, so that a FIFO or a device is never opened.
  if (!S_ISREG(file.st_mode))
    return failed(
        "not a regular file, and ostrel appends to nothing else; put a file there: touch " + log +
        "; " + grant(log, file.st_uid));
  if (file.st_mode & S_IWOTH)
    return failed(
        "world-writable: anyone on this machine could forge or erase records; chmod o-w " + log);
  return open_and_lock(log, file.st_uid);
}

// A page path in a user's directory: "/~user/rest".
struct user_page {
  std::string user, rest;
};

// The user and the rest of "/~user/rest", without a query or fragment.
std::optional<user_page> in_user_directory(std::string_view page) {
  if (page.substr(0, 2) != "/~") return {};
  std::size_t slash = page.find('/', 2);
  if (slash == std::string_view::npos || slash == 2) return {};
  return user_page{std::string(page.substr(2, slash - 2)),
                   std::string(page.substr(slash + 1, page.find_first_of("?#") - slash - 1))};
}

// Served from the user's public_html, as Apache's UserDir public_html,
// lighttpd's userdir and the README's nginx recipe do.
outcome check_page(const char* page) {
  std::optional<user_page> place = in_user_directory(page);
  if (!place)
    return skipped("not checked: not a /~user/ path, so the web server's settings say where it is");
  const std::string& user = place->user;
  const std::string& rest = place->rest;
  const passwd* owner = getpwnam(user.c_str());
  if (!owner)
    return failed("no user " + user +
                  " in /etc/passwd; make the account, or build with another path");
  const std::string file = std::string(owner->pw_dir) + "/public_html/" + rest;
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    close(fd);
    return passed(file + " is readable");
  }
  int error = errno;
  std::string why = file + ": " + error_text(error) + "; ";
  if (error == ENOENT)
    return failed(why + "put the page there (the example pages are in /usr/share/ostrel/site/)");
  return failed(why + "run as the web server's user, and let that user read it: chmod 0711 " +
                owner->pw_dir + "; chmod 0755 " + owner->pw_dir + "/public_html; chmod 0644 " +
                file);
}

// Why a reply is not the 2yz its step wants; empty when it is.
std::string refusal(const mail_tools::reply& answer, mail_tools::deadline_type deadline) {
  if (answer.how == mail_tools::reply::complete && mail_tools::is_positive(answer.code)) return "";
  return one_line(mail_tools::not_good(answer, deadline));
}

// One command, or the greeting when the command is empty, and its reply:
// "STEP: why" when the reply is not a 2yz, else empty.
std::string step(net_tools::tcp_stream& stream, mail_tools::deadline_type deadline,
                 const std::string& name, const std::string& command) {
  if (!command.empty()) stream << command + "\r\n";
  std::string why = refusal(mail_tools::read_reply(stream), deadline);
  return why.empty() ? why : name + ": " + why;
}

// The dialogue of a mail up to its recipient, in ostrel's own words, then
// RSET: no mail is sent. Gives the first refusal, or empty.
std::string try_envelope(net_tools::tcp_stream& stream, mail_tools::deadline_type deadline) {
  const std::string host = config::mail_host;
  const std::string owner = config::owner_address;
  const std::string steps[][2] = {{"greeting", ""},
                                  {"HELO", "HELO " + host},
                                  {"MAIL FROM", "MAIL FROM: " + owner},
                                  {"RCPT TO", "RCPT TO: " + owner},
                                  {"RSET", "RSET"}};
  for (const auto& [name, command] : steps) {
    std::string why = step(stream, deadline, name, command);
    if (!why.empty()) return why;
  }
  return "";
}

outcome check_mail_server() {
  const std::string host = config::mail_host;
  const std::string owner = config::owner_address;
  if (mail_tools::has_line_break(host) || mail_tools::has_line_break(owner))
    return failed("a line break in the mail host or the owner's address; build with one without");
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(config::mail_timeout_ms);
  net_tools::tcp_stream stream(host, config::mail_port, deadline);
  if (!stream)
    return failed("no connection; give the mail server a listener there (README: Deployment, 5)");
  std::string why = try_envelope(stream, deadline);
  mail_tools::quit(stream, deadline);
  if (!why.empty())
    return failed(why + "; it must take mail for and from " + owner +
                  " from this machine, unauthenticated, without angle brackets (README: "
                  "Deployment, 5)");
  return passed("greets, and accepts HELO, MAIL FROM and RCPT TO with " + owner);
}

const char* status_word(verdict how) {
  if (how == verdict::ok) return "ok    ";
  return how == verdict::fail ? "FAIL  " : "skip  ";
}

// One line per check; true unless it failed.
bool show(const char* what, const std::string& subject, const outcome& result) {
  std::printf("%s%s %s: %s\n", status_word(result.how), what, subject.c_str(), result.text.c_str());
  std::fflush(stdout);
  return result.how != verdict::fail;
}

std::string mail_server() { return config::mail_host + (":" + std::to_string(config::mail_port)); }

void show_settings() {
  std::string user = user_name(geteuid());
  // Root passes checks of access that the web server's user fails.
  if (geteuid() == 0)
    user += ", who may do what the web server's user may not: run this as that user";
  std::printf(
      "ostrel-check: the settings ostrel was built with, checked as %s\n"
      "  request log     %s\n"
      "  thank-you page  %s\n"
      "  error page      %s\n"
      "  mail server     %s, time limit %d ms\n"
      "  owner           %s\n\n",
      user.c_str(), config::request_log, config::ok_page, config::error_page, mail_server().c_str(),
      config::mail_timeout_ms, config::owner_address);
}

// A static program cannot use the NSS modules that nsswitch.conf may name
// beside files (glibc's static dlopen of libnss_systemd crashes), so
// accounts come from /etc/passwd and /etc/group alone, in every build.
void accounts_from_files() {
  __nss_configure_lookup("passwd", "files");
  __nss_configure_lookup("group", "files");
}

int run_checks() {
  accounts_from_files();
  show_settings();
  bool passed = show("request log", config::request_log, check_log(config::request_log));
  passed = show("thank-you page", config::ok_page, check_page(config::ok_page)) && passed;
  passed = show("error page", config::error_page, check_page(config::error_page)) && passed;
  passed = show("mail server", mail_server(), check_mail_server()) && passed;
  return passed ? all_passed : some_failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help")
    return std::fputs(help_text, stdout) < 0 ? usage_error : all_passed;
  if (argc != 1) {
    std::fputs(usage_text, stderr);
    return usage_error;
  }
  return run_checks();
}
