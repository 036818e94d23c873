#include "ostrel/check.hpp"

#include <fcntl.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_tools/log_file.hpp"
#include "log_tools/log_record.hpp"
#include "mail_tools/outbox.hpp"
#include "mail_tools/smtp.hpp"
#include "ostrel/one_line.hpp"
#include "ostrel/same_site.hpp"

namespace {

// A warning does not fail the check: ostrel works, but should not be left so.
enum class verdict { ok, warn, fail, skip };

struct outcome {
  verdict how;
  std::string text;
};

outcome passed(std::string text) { return {verdict::ok, std::move(text)}; }
outcome warned(std::string text) { return {verdict::warn, std::move(text)}; }
outcome failed(std::string text) { return {verdict::fail, std::move(text)}; }
outcome skipped(std::string text) { return {verdict::skip, std::move(text)}; }

// Room for a thousand records: days of a busy form, time to notice before
// a submission fails. A file system with less is as good as full, for the
// mail server's queue and the system's own logs too.
constexpr std::uintmax_t room_margin = 1000;

// A mail server restarted or briefly down is back within the hour; a mail
// kept longer ago waits for a person: the server still refuses it, or
// nothing has run ostrel-resend.
constexpr std::time_t overdue_seconds = 3600;

// The refused mails a FAIL line names; the rest are counted.
constexpr std::size_t named_mails = 3;

std::string error_text(int error) { return std::strerror(error); }

std::string user_name(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? user->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
  const group* found = getgrgid(gid);
  return found ? found->gr_name : std::to_string(gid);
}

bool may_write_in(const std::string& folder) {
  return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// The longest record ostrel appends, with its LF.
std::uintmax_t record_size(const settings& site) {
  return log_tools::longest_line(static_cast<std::size_t>(site.request_limit)) + 1;
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

// The folder a file of ostrel's goes in, or why there is none.
std::optional<outcome> check_folder(const std::string& folder, struct stat& place) {
  if (stat(folder.c_str(), &place) != 0) return folder_failure(folder, errno);
  if (!S_ISDIR(place.st_mode)) return folder_failure(folder, ENOTDIR);
  return {};
}

// A log that is not there yet is made by the first submission, if this user may.
outcome log_to_come(const std::string& log, const std::string& folder, uid_t folder_owner) {
  if (may_write_in(folder))
    return passed("not there yet; this user may make it, and the first submission will");
  return failed("not there, and this user may not make it in " + folder + "; make it: touch " +
                log + "; " + grant(log, folder_owner));
}

// What stands at a log's path instead of a file, and how to put one there:
// ostrel appends to a regular file only, and never through a symbolic link,
// which would send the records wherever it points.
outcome not_a_file(const std::string& log, mode_t mode, uid_t folder_owner) {
  const std::string make = "make the file: touch " + log + "; " + grant(log, folder_owner);
  if (S_ISLNK(mode)) {
    char* target = realpath(log.c_str(), nullptr);
    std::string real = target ? target : "";
    std::free(target);
    struct stat file;
    if (!real.empty() && stat(real.c_str(), &file) == 0 && S_ISREG(file.st_mode))
      return failed("a symbolic link to " + real +
                    ", and ostrel writes through none; put that file in its place: mv " + real +
                    " " + log);
    return failed("a symbolic link, and ostrel writes through none; remove it (rm " + log +
                  "), then " + make);
  }
  if (S_ISDIR(mode))
    return failed("a folder, where ostrel wants a file; move it aside (mv " + log + " " + log +
                  ".old), then " + make);
  if (S_ISFIFO(mode) || S_ISSOCK(mode))
    return failed(std::string(S_ISFIFO(mode) ? "a FIFO" : "a socket") +
                  ", where ostrel wants a file; remove it (rm " + log + "), then " + make);
  return failed(
      "a device, and ostrel appends to a regular file only; build ostrel with "
      "another path for it");
}

outcome open_failure(const std::string& log, uid_t owner, int error) {
  std::string why = error_text(error);
  if (error == EROFS)
    return failed(why +
                  "; mount that file system read-write, or build ostrel with another "
                  "path for it");
  return failed(why + "; run as the web server's user, and give that user write access: " +
                grant(log, owner));
}

// Opened as ostrel opens it, but without O_CREAT; never written. The lock
// is ostrel's, let go at once.
outcome open_and_lock(const std::string& log, uid_t owner, const settings& site) {
  int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) return open_failure(log, owner, errno);
  bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
  int error = errno;
  if (locked) flock(fd, LOCK_UN);
  close(fd);
  if (locked) return passed("a regular file, writable, lockable, closed to other users");
  if (error == EWOULDBLOCK)
    return failed("locked by another process, and a submission gives up after " +
                  std::to_string(site.log_lock_timeout.count()) +
                  " ms; find the process (lslocks) and end what holds it");
  return failed("cannot be locked: " + error_text(error));
}

// People's names, addresses and messages are no one else's to read.
outcome kept_private(const std::string& path, mode_t mode, outcome result) {
  if (result.how != verdict::ok || !(mode & S_IRWXO)) return result;
  return warned(
      "open to other users, and it holds people's names, addresses and messages; "
      "chmod o-rwx " +
      path);
}

outcome check_log(const std::string& log, const settings& site) {
  const std::string folder = log_tools::folder_of(log);
  struct stat place;
  if (auto wrong = check_folder(folder, place)) return *wrong;
  struct stat file;
  if (lstat(log.c_str(), &file) != 0)
    return errno == ENOENT ? log_to_come(log, folder, place.st_uid) : folder_failure(folder, errno);
  // Checked before opening, so that a FIFO or a device is never opened.
  if (!S_ISREG(file.st_mode)) return not_a_file(log, file.st_mode, place.st_uid);
  if (file.st_mode & S_IWOTH)
    return failed(
        "world-writable: anyone on this machine could forge or erase records; chmod "
        "o-rwx " +
        log);
  return kept_private(log, file.st_mode, open_and_lock(log, file.st_uid, site));
}

// The outbox as ostrel keeps mails in it, and ostrel-resend reads them.
outcome check_outbox(const std::string& outbox) {
  const std::string folder = log_tools::folder_of(outbox);
  struct stat place;
  if (auto wrong = check_folder(folder, place)) return *wrong;
  const std::string make = "install -d -o " + user_name(geteuid()) + " -m 0700 " + outbox;
  struct stat box;
  if (lstat(outbox.c_str(), &box) != 0) {
    if (errno != ENOENT) return folder_failure(folder, errno);
    if (may_write_in(folder))
      return passed(
          "not there yet; this user may make it, and ostrel will when it first keeps "
          "a mail");
    return failed("not there, and this user may not make it in " + folder + "; make it: " + make);
  }
  if (S_ISLNK(box.st_mode))
    return failed(
        "a symbolic link: mails would be kept wherever it points; put the folder itself "
        "there: rm " +
        outbox + "; " + make);
  if (!S_ISDIR(box.st_mode))
    return failed("not a folder; move it aside (mv " + outbox + " " + outbox + ".old), then " +
                  make);
  if (box.st_mode & S_IWOTH)
    return failed(
        "world-writable: anyone on this machine could put in a mail for ostrel-resend "
        "to send; chmod o-rwx " +
        outbox);
  if (faccessat(AT_FDCWD, outbox.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0)
    return failed(error_text(errno) +
                  "; run as the web server's user, and make the folder "
                  "that user's: chown " +
                  user_name(geteuid()) + " " + outbox + "; chmod 0700 " + outbox);
  return kept_private(outbox, box.st_mode,
                      passed("a folder this user may keep mails in, closed to other users"));
}

std::string age_text(std::time_t seconds) {
  if (seconds < 3600) return std::to_string(seconds / 60) + " minutes";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " hours";
  return std::to_string(seconds / 86400) + " days";
}

// The mails waiting to be sent again, and how long the oldest has waited.
outcome check_waiting_mails(const std::string& outbox) {
  std::vector<std::string> names;
  if (int error = mail_tools::kept_names(outbox, names))
    return error == ENOENT ? passed("none: no outbox yet")
                           : skipped("not counted: " + error_text(error));
  std::size_t count = 0;
  std::time_t oldest = std::time(nullptr);
  struct stat file;
  for (const std::string& name : names) {
    if (lstat((outbox + "/" + name).c_str(), &file) != 0) continue;
    ++count;
    oldest = std::min(oldest, file.st_mtime);
  }
  if (count == 0) return passed("none waiting");
  const std::time_t waited = std::time(nullptr) - oldest;
  const std::string text = std::to_string(count) + " waiting, the oldest for " + age_text(waited);
  if (waited <= overdue_seconds) return passed(text + "; ostrel-resend sends them");
  return failed(text +
                "; the mail server does not take them: each file says why (its Kept: "
                "line), and so does the mail server's log; then send them: runuser -u " +
                user_name(geteuid()) + " -- ostrel-resend");
}

// Mails the mail server refused for good wait for a person.
outcome check_refused_mails(const std::string& outbox) {
  const std::string folder = outbox + "/failed";
  std::vector<std::string> names;
  // Beside each mail, its .reply says when and why it was refused.
  if (int error = mail_tools::kept_names(folder, names))
    return error == ENOENT ? passed("none") : skipped("not counted: " + error_text(error));
  if (names.empty()) return passed("none");
  std::string listed;
  for (std::size_t i = 0; i < std::min(names.size(), named_mails); ++i)
    listed += (i ? ", " : "") + one_line(names[i]);
  if (names.size() > named_mails)
    listed += " and " + std::to_string(names.size() - named_mails) + " more";
  const std::string first = folder + "/" + one_line(names[0]);
  return failed(std::to_string(names.size()) + " refused for good: " + listed +
                "; the .reply beside each says why (cat " + mail_tools::reply_of(first) +
                "); to send one again, move it back and run the sender: mv " + first + " " +
                outbox + "/; runuser -u " + user_name(geteuid()) +
                " -- ostrel-resend; else remove it: rm " + first);
}

// The folders ostrel writes in: the logs' and the outbox's.
std::vector<std::string> places(const settings& site) {
  std::vector<std::string> folders{log_tools::folder_of(site.request_log)};
  if (!site.spam_log.empty()) folders.push_back(log_tools::folder_of(site.spam_log));
  if (!site.outbox.empty()) folders.push_back(log_tools::folder_of(site.outbox));
  return folders;
}

// Free space as the web server's user gets it: f_bavail leaves out what
// the file system keeps for root.
outcome check_free_space(const struct statvfs& fs, std::uintmax_t record) {
  if (fs.f_files > 0 && fs.f_favail == 0)
    return failed("no inodes left, so no log or kept mail can be made; remove files there");
  const std::uintmax_t free = std::uintmax_t{fs.f_bavail} * fs.f_frsize;
  const std::uintmax_t records = free / record;
  const std::string text = std::to_string(free >> 20) + " MiB free, room for " +
                           std::to_string(records) + " records of up to " + std::to_string(record) +
                           " bytes";
  if (records == 0)
    return failed(text + "; every submission fails to be kept: free some space there");
  if (records < room_margin) return warned(text + "; free some space before it fills");
  return passed(text);
}

// The log with the least room left under a file size limit.
std::uintmax_t largest_log(const settings& site) {
  std::uintmax_t largest = 0;
  struct stat file;
  for (const std::string* log : {&site.request_log, &site.spam_log})
    if (!log->empty() && stat(log->c_str(), &file) == 0)
      largest = std::max(largest, static_cast<std::uintmax_t>(file.st_size));
  return largest;
}

// Past this limit a write fails (EFBIG): a record that does not fit is not
// kept. A web server's processes get the web server's own limit.
outcome check_file_size_limit(const settings& site, rlim_t limit) {
  if (limit == RLIM_INFINITY) return passed("none for this process; the web server's may differ");
  const std::uintmax_t record = record_size(site), largest = largest_log(site);
  const std::uintmax_t records = limit > largest ? (limit - largest) / record : 0;
  const std::string text = "this process's: room for " + std::to_string(records) +
                           " more records of up to " + std::to_string(record) +
                           " bytes in the largest log (" + std::to_string(largest) + " bytes)";
  const std::string raise =
      "raise it where the web server starts (LimitFSIZE= in its systemd unit, ulimit -f in its "
      "start script, /etc/security/limits.conf)";
  if (records == 0) return failed(text + "; every submission fails to be kept: " + raise);
  if (records < room_margin) return warned(text + "; " + raise);
  return passed(text);
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

// A recipient at a domain that is not the site's, as visitors' addresses
// are. RFC 2606: example.com and example.net are reserved, and no mail goes
// to them here anyway.
std::string outside_address(const std::string& owner) {
  const std::string_view domain = std::string_view(owner).substr(owner.rfind('@') + 1);
  return domain == "example.com" ? "postmaster@example.net" : "postmaster@example.com";
}

bool starts_with(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// What to do when the dialogue of a mail to `to` failed as probe says.
std::string mail_advice(const mail_tools::smtp& probe, const settings& site) {
  const std::string& why = *probe.failure;
  const std::string see = " (README: Deployment, 5)";
  if (!probe.connected) return "give the mail server a listener there, on 127.0.0.1" + see;
  if (!probe.refused)
    return "it must answer every step in well-formed replies, both mails within ostrel's mail "
           "time limit of " +
           std::to_string(site.mail_timeout.count()) + " ms" + see;
  if (starts_with(why, "DATA"))
    return "it refuses the mail's text: a throttle past its limit (the package's Exim throttle, "
           "/usr/share/ostrel/exim-ratelimit.acl, refuses at DATA; wait an hour, or raise "
           "OSTREL_EXIM_HOURLY_LIMIT) or a content check; its log says which" +
           see;
  if (starts_with(why, "RCPT TO") && probe.to != site.owner_address)
    return "every thank-you to a visitor fails: let it relay mail from 127.0.0.1 on that port to "
           "any address (Postfix: permit_mynetworks; Exim: configtype internet or smarthost)" +
           see;
  return "it must take mail for and from " + site.owner_address +
         " from this machine, unauthenticated, without angle brackets" + see;
}

// The dialogue of a mail from the owner to `to` in ostrel's own words, up
// to the server's 354 after DATA, then closed: no mail is sent.
outcome try_mail(const settings& site, const std::string& to, mail_tools::deadline_type deadline) {
  mail_tools::smtp probe;
  probe.server = site.mail_host;
  probe.port = site.mail_port;
  probe.from = site.owner_address;
  probe.to = to;
  if (probe.try_until_data(deadline))
    return passed("greets, and takes HELO, MAIL FROM " + probe.from + ", RCPT TO " + to +
                  " and DATA");
  return failed(one_line(*probe.failure) + "; " + mail_advice(probe, site));
}

const char* status_word(verdict how) {
  switch (how) {
    case verdict::ok:
      return "ok    ";
    case verdict::warn:
      return "warn  ";
    case verdict::fail:
      return "FAIL  ";
    case verdict::skip:
      break;
  }
  return "skip  ";
}

// The lines of the checks, and whether any failed.
struct report {
  std::FILE* out;
  bool passed = true;

  void line(const char* what, const std::string& subject, const outcome& result) {
    std::fprintf(out, "%s%s %s: %s\n", status_word(result.how), what, subject.c_str(),
                 result.text.c_str());
    std::fflush(out);
    passed = passed && result.how != verdict::fail;
  }
};

// Each file system once, named by the first of ostrel's folders on it. A
// folder that is not there has its own FAIL line.
void check_room(report& lines, const settings& site) {
  std::vector<dev_t> seen;
  struct stat place;
  struct statvfs fs;
  for (const std::string& folder : places(site)) {
    if (stat(folder.c_str(), &place) != 0 || statvfs(folder.c_str(), &fs) != 0 ||
        std::find(seen.begin(), seen.end(), place.st_dev) != seen.end())
      continue;
    seen.push_back(place.st_dev);
    lines.line("free space", folder, check_free_space(fs, record_size(site)));
  }
  rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
  getrlimit(RLIMIT_FSIZE, &limit);
  const std::string shown =
      limit.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_cur) + " bytes";
  lines.line("file size limit", shown, check_file_size_limit(site, limit.rlim_cur));
}

std::string mail_server(const settings& site) {
  return site.mail_host + ":" + std::to_string(site.mail_port);
}

// The thank-you goes to whatever address a visitor typed: one outside the
// site's domain, which the server must relay.
outcome try_acknowledgement(const settings& site, const outcome& notification,
                            mail_tools::deadline_type deadline) {
  if (!site.thank_you) return skipped("not tried: this build sends none (OSTREL_THANK_YOU=OFF)");
  if (notification.how != verdict::ok)
    return skipped("not tried: the owner notification failed above");
  return try_mail(site, outside_address(site.owner_address), deadline);
}

// Both mails within one time limit, as ostrel sends them.
void check_mails(report& lines, const settings& site) {
  const std::string server = mail_server(site);
  const auto deadline = std::chrono::steady_clock::now() + site.mail_timeout;
  const outcome notification = try_mail(site, site.owner_address, deadline);
  lines.line("owner notification", server, notification);
  lines.line("acknowledgement", server, try_acknowledgement(site, notification, deadline));
}

const char* or_none(const std::string& setting) {
  return setting.empty() ? "none" : setting.c_str();
}

void show_settings(std::FILE* out, const settings& site) {
  std::string user = user_name(geteuid());
  // Root passes checks of access that the web server's user fails.
  if (geteuid() == 0)
    user += ", who may do what the web server's user may not: run this as that user";
  std::fprintf(out,
               "ostrel-check: the settings ostrel was built with, checked as %s\n"
               "  request log     %s\n"
               "  spam log        %s\n"
               "  outbox          %s\n"
               "  thank-you page  %s\n"
               "  error page      %s\n"
               "  mail server     %s, time limit %lld ms for both mails\n"
               "  owner           %s\n"
               "  thank-you mail  %s\n"
               "  longest record  %ju bytes\n\n",
               user.c_str(), site.request_log.c_str(), or_none(site.spam_log), or_none(site.outbox),
               site.ok_page.c_str(), site.error_page.c_str(), mail_server(site).c_str(),
               static_cast<long long>(site.mail_timeout.count()), site.owner_address.c_str(),
               site.thank_you ? "sent" : "none", record_size(site));
}

// A static program cannot use the NSS modules that nsswitch.conf may name
// beside files (glibc's static dlopen of libnss_systemd crashes), so
// accounts come from /etc/passwd and /etc/group alone, in every build.
void accounts_from_files() {
  __nss_configure_lookup("passwd", "files");
  __nss_configure_lookup("group", "files");
}

}  // namespace

namespace {

// The TCP ports that something on this machine listens on, at any address,
// from the kernel's tables: a web server may listen on the public address
// alone, where a connection to the loopback one would find nothing.
std::vector<unsigned long> listening_ports() {
  std::vector<unsigned long> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::FILE* in = std::fopen(table, "re");
    if (!in) continue;
    char text[512];
    while (std::fgets(text, sizeof text, in)) {
      // "sl local_address rem_address st ...": "0: 0100007F:0A28 00000000:0000 0A ..."
      std::vector<std::string_view> words;
      for (std::string_view rest = text; !rest.empty();) {
        std::size_t start = rest.find_first_not_of(" \t\n");
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        std::size_t end = std::min(rest.find_first_of(" \t\n"), rest.size());
        words.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
      }
      if (words.size() < 4 || words[3] != "0A") continue;  // 0A: LISTEN
      std::size_t colon = words[1].rfind(':');
      if (colon != std::string_view::npos)
        ports.push_back(std::strtoul(std::string(words[1].substr(colon + 1)).c_str(), nullptr, 16));
    }
    std::fclose(in);
  }
  return ports;
}

// Browsers send a site's origin only to a site served there: a build for
// https://www.example.org on a machine that serves only http refuses every
// submission as another site's.
outcome check_origin(const std::string& origin, const std::vector<unsigned long>& ports) {
  same_site::origin o = same_site::of_url(origin);
  unsigned long port = std::strtoul(o.port.c_str(), nullptr, 10);
  if (port == 0) return skipped("not checked: no port is known for " + o.scheme);
  std::string where = "port " + o.port;
  if (std::find(ports.begin(), ports.end(), port) != ports.end())
    return passed("something on this machine listens on " + where);
  return failed("nothing on this machine listens on " + where +
                ", and ostrel is built for this origin: a browser sends it only from a page "
                "served there, so every submission from a page served elsewhere is refused; "
                "serve the site at " +
                origin +
                " (README: Deployment, 4), or build with the "
                "origins it is served at (-DOSTREL_SITE_ORIGINS=...). Behind a proxy that ends "
                "TLS on another machine, that machine listens in this one's place");
}

}  // namespace

bool run_checks(const settings& site, std::FILE* out) {
  accounts_from_files();
  show_settings(out, site);
  report lines{out};
  lines.line("request log", site.request_log, check_log(site.request_log, site));
  if (!site.spam_log.empty()) lines.line("spam log", site.spam_log, check_log(site.spam_log, site));
  if (!site.outbox.empty()) {
    lines.line("outbox", site.outbox, check_outbox(site.outbox));
    lines.line("kept mail", site.outbox, check_waiting_mails(site.outbox));
    lines.line("refused mail", site.outbox + "/failed", check_refused_mails(site.outbox));
  }
  check_room(lines, site);
  lines.line("thank-you page", site.ok_page, check_page(site.ok_page));
  lines.line("error page", site.error_page, check_page(site.error_page));
  check_mails(lines, site);
  std::vector<unsigned long> ports = listening_ports();
  for (std::string_view list = site.site_origins; !list.empty();) {
    std::size_t end = std::min(list.find(' '), list.size());
    std::string origin(list.substr(0, end));
    list.remove_prefix(std::min(end + 1, list.size()));
    if (!origin.empty()) lines.line("site origin", origin, check_origin(origin, ports));
  }
  return lines.passed;
}
