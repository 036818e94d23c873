// The outbox: a folder where a mail the mail server did not take is kept
// whole, one file per mail, until it is sent again. Each file is plain text
// a person can read with a pager: the envelope, a line that says when and
// why it was kept, an empty line, then the mail data as the wire carries it
// (a leading dot doubled), its lines ended by LF where the wire has CR LF.
#ifndef MAIL_TOOLS_OUTBOX_HPP
#define MAIL_TOOLS_OUTBOX_HPP

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_tools/log_file.hpp"

namespace mail_tools {

// A kept mail's file name ends so; anything else in the folder (a file on
// its way in, a folder of mails refused for good) is not one.
inline constexpr std::string_view kept_suffix = ".mail";

// Whether a file of the outbox's is a kept mail: named so, and not one on
// its way in (written under a name that starts with a dot).
inline bool is_kept_name(std::string_view name) {
  return !name.empty() && name[0] != '.' && name.size() > kept_suffix.size() &&
         name.substr(name.size() - kept_suffix.size()) == kept_suffix;
}

namespace detail {

// The kept mails' names in folder, sorted, and folder closed.
inline void read_kept_names(DIR* folder, std::vector<std::string>& names) {
  while (const dirent* entry = ::readdir(folder))
    if (is_kept_name(entry->d_name)) names.emplace_back(entry->d_name);
  ::closedir(folder);
  std::sort(names.begin(), names.end());
}

}  // namespace detail

// The names of the kept mails in a folder, oldest first: each starts with
// the second it was kept in (ten digits until 2286), so they sort as their
// times do. Gives errno when the folder cannot be read, else 0.
inline int kept_names(const std::string& folder, std::vector<std::string>& names) {
  DIR* list = ::opendir(folder.c_str());
  if (!list) return errno;
  detail::read_kept_names(list, names);
  return 0;
}

// The same of a folder held open, under a lock taken on it.
inline int kept_names(int folder_fd, std::vector<std::string>& names) {
  const int copy = ::dup(folder_fd);
  if (copy < 0) return errno;
  DIR* list = ::fdopendir(copy);
  if (!list) {
    const int error = errno;
    ::close(copy);
    return error;
  }
  detail::read_kept_names(list, names);
  return 0;
}

// The second a mail was kept in, from the start of its name; nothing when
// the name does not start with one.
inline std::optional<std::int64_t> kept_at(std::string_view name) {
  const std::size_t digits = std::min(name.find_first_not_of("0123456789"), std::size_t{18});
  if (digits == 0) return {};
  std::int64_t seconds = 0;
  for (char digit : name.substr(0, digits)) seconds = seconds * 10 + (digit - '0');
  return seconds;
}

// Beside a mail refused for good, the file that says when and why: the
// mail's name or path with .reply for .mail.
inline std::string reply_of(std::string_view mail) {
  return std::string(mail.substr(0, mail.size() - kept_suffix.size())) + ".reply";
}

struct kept_mail {
  std::string from, to;  // the envelope: MAIL FROM, RCPT TO
  std::string data;      // as the wire carries it, CR LF lines, the end-of-data line aside
  std::string why;       // when and why it was kept, for the person who reads it
};

// The text of a kept mail's file.
inline std::string kept_text(const kept_mail& mail) {
  std::string text =
      "MAIL FROM: " + mail.from + "\nRCPT TO: " + mail.to + "\nKept: " + mail.why + "\n\n";
  for (std::size_t at = 0; at < mail.data.size(); ++at)
    if (!(mail.data[at] == '\r' && at + 1 < mail.data.size() && mail.data[at + 1] == '\n'))
      text += mail.data[at];
  return text;
}

// A kept mail from its file's text; nothing when the text is not one.
inline std::optional<kept_mail> kept_from_text(std::string_view text) {
  auto take_line = [&text](std::string_view start, std::string& into) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos || text.substr(0, start.size()) != start) return false;
    into = std::string(text.substr(start.size(), end - start.size()));
    text.remove_prefix(end + 1);
    return true;
  };
  kept_mail mail;
  if (!take_line("MAIL FROM: ", mail.from) || !take_line("RCPT TO: ", mail.to) ||
      !take_line("Kept: ", mail.why) || text.substr(0, 1) != "\n")
    return {};
  for (char c : text.substr(1)) {
    if (c == '\n') mail.data += '\r';
    mail.data += c;
  }
  return mail;
}

namespace detail {

// A name no other process of this machine makes: the seconds since 1970,
// this process, and a count within it. Names sort by the time a mail was
// kept (ten digits until the year 2286).
inline std::string unique_name() {
  static unsigned count = 0;
  return std::to_string(std::time(nullptr)) + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(++count);
}

}  // namespace detail

// Keeps the mail in folder (made, mode 0700, when it is missing), whole or
// not at all: written under a name that no reader takes, flushed to disk,
// then renamed, as maildir does, and the rename flushed too. Sets path to
// the file's; gives why the mail could not be kept, or nothing.
inline std::optional<std::string> keep(const std::string& folder, const kept_mail& mail,
                                       std::string& path) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::strerror(errno);
  const std::string name = detail::unique_name();
  const std::string part = folder + "/." + name;
  path = folder + "/" + name + std::string(kept_suffix);
  // People's names, addresses and messages: no one else's to read, whatever the umask.
  int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
  if (fd < 0) return std::strerror(errno);
  const std::string text = kept_text(mail);
  bool written = log_tools::write_fully(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  int error = errno;
  ::close(fd);
  if (written && ::rename(part.c_str(), path.c_str()) == 0) {
    // The rename is on disk once the folder is: a crash then keeps the mail.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return {};
  }
  if (written) error = errno;
  ::unlink(part.c_str());
  return std::strerror(error ? error : EIO);
}

}  // namespace mail_tools

#endif
