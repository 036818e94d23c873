#include "ostrel/check.hpp"

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
#include "ostrel/one_line.hpp"

namespace {

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
outcome open_and_lock(const std::string& log, uid_t owner, const settings& site) {
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
                  std::to_string(site.log_lock_timeout.count()) +
                  " ms; find the process (lslocks) and end what holds it");
  return failed("cannot be locked: " + error_text(error));
}

outcome check_log(const std::string& log, const settings& site) {
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
  return open_and_lock(log, file.st_uid, site);
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
outcome check_page(const std::string& page) {
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

// The dialogue of a mail from the owner to the owner up to its recipient,
// in ostrel's own words and within its time limit, then RSET: no mail is
// sent.
outcome check_mail_server(const settings& site) {
  mail_tools::smtp probe;
  probe.server = site.mail_host;
  probe.port = site.mail_port;
  probe.from = probe.to = site.owner_address;
  if (probe.try_envelope(std::chrono::steady_clock::now() + site.mail_timeout))
    return passed("greets, and accepts HELO, MAIL FROM and RCPT TO with " + site.owner_address);
  std::string why = one_line(*probe.failure);
  if (!probe.connected)
    return failed(why + "; give the mail server a listener there (README: Deployment, 5)");
  return failed(why + "; it must take mail for and from " + site.owner_address +
                " from this machine, unauthenticated, without angle brackets (README: "
                "Deployment, 5)");
}

const char* status_word(verdict how) {
  if (how == verdict::ok) return "ok    ";
  return how == verdict::fail ? "FAIL  " : "skip  ";
}

// One line per check; true unless it failed.
bool show(std::FILE* out, const char* what, const std::string& subject, const outcome& result) {
  std::fprintf(out, "%s%s %s: %s\n", status_word(result.how), what, subject.c_str(),
               result.text.c_str());
  std::fflush(out);
  return result.how != verdict::fail;
}

std::string mail_server(const settings& site) {
  return site.mail_host + ":" + std::to_string(site.mail_port);
}

void show_settings(std::FILE* out, const settings& site) {
  std::string user = user_name(geteuid());
  // Root passes checks of access that the web server's user fails.
  if (geteuid() == 0)
    user += ", who may do what the web server's user may not: run this as that user";
  std::fprintf(
      out,
      "ostrel-check: the settings ostrel was built with, checked as %s\n"
      "  request log     %s\n"
      "  thank-you page  %s\n"
      "  error page      %s\n"
      "  mail server     %s, time limit %lld ms\n"
      "  owner           %s\n\n",
      user.c_str(), site.request_log.c_str(), site.ok_page.c_str(), site.error_page.c_str(),
      mail_server(site).c_str(), static_cast<long long>(site.mail_timeout.count()),
      site.owner_address.c_str());
}

// A static program cannot use the NSS modules that nsswitch.conf may name
// beside files (glibc's static dlopen of libnss_systemd crashes), so
// accounts come from /etc/passwd and /etc/group alone, in every build.
void accounts_from_files() {
  __nss_configure_lookup("passwd", "files");
  __nss_configure_lookup("group", "files");
}

}  // namespace

bool run_checks(const settings& site, std::FILE* out) {
  accounts_from_files();
  show_settings(out, site);
  bool passed = show(out, "request log", site.request_log, check_log(site.request_log, site));
  passed = show(out, "thank-you page", site.ok_page, check_page(site.ok_page)) && passed;
  passed = show(out, "error page", site.error_page, check_page(site.error_page)) && passed;
  passed = show(out, "mail server", mail_server(site), check_mail_server(site)) && passed;
  return passed;
}
