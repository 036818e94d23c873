#include "ostrel/purge.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "log_tools/log_file.hpp"
#include "mail_tools/outbox.hpp"
#include "ostrel/one_line.hpp"

namespace {

using log_tools::failure;

// Exit statuses.
constexpr int done = 0;
constexpr int not_done = 1;
constexpr int usage_error = 2;

// Submissions wait for a log while the purge holds it; the purge may wait
// longer for a lock that a backup or ostrel-resend holds: no visitor waits
// on it.
constexpr std::chrono::seconds lock_wait{60};

constexpr std::int64_t seconds_a_day = 86400;
// --older-than takes at most this many digits: no overflow, and 999999
// days is older than any log.
constexpr std::size_t longest_days = 6;

constexpr char usage_text[] =
    "usage: ostrel-purge [--dry-run] [--address ADDRESS] [--older-than DAYS] | --help";

constexpr char help_text[] =
    R"(usage: ostrel-purge [--dry-run] [--address ADDRESS] [--older-than DAYS]
       ostrel-purge --help

Removes records from what ostrel keeps, with the settings this build of
ostrel was made with: the request log, the spam log and the outbox, where
the build names them. Run it as root, which can write beside the logs and
give the new ones their old owner and group:

  ostrel-purge --address ann@example.org
  ostrel-purge --older-than 365

  --address ADDRESS  every record whose address is ADDRESS, any case, and
                     every kept mail from or to it: its envelope names it,
                     or a line of its header block (Reply-To: in the
                     owner's notification) has it as its whole value; in
                     the outbox's failed/ with the reply kept beside it.
  --older-than DAYS  every record that came more than DAYS days ago, and
                     every kept mail kept that long; records without a
                     time are kept, and counted.
  --dry-run          change nothing; print the counts all the same.

Submissions go on arriving while it runs. Each log is read whole under the
lock that ostrel's writers take, written anew beside the old one
(.NAME.purge), flushed to disk and renamed over it before the lock is let
go. Killed at any moment, it leaves the old log or the new one, and at
most the .purge file, which the next run removes. A log from which nothing
goes is left as it is. A line that is not a record is kept as it is.

It prints one line per file: how many records or mails it removed and
kept.

Exit status: 0 done, 1 a file could not be read or rewritten, 2 a usage
error.
)";

struct order {
  std::string address;                          // "": not by address
  std::optional<std::int64_t> received_before;  // by age: seconds since 1970
  bool dry_run = false;
};

struct tally {
  std::size_t removed = 0, kept = 0, timeless = 0, foreign = 0;
};

void say(std::FILE* to, const std::string& line) {
  std::fprintf(to, "%s\n", line.c_str());
  std::fflush(to);
}

bool complain(std::FILE* errors, const std::string& text) {
  say(errors, "ostrel-purge: " + text);
  return false;
}

std::string error_of(const std::string& what) { return what + ": " + std::strerror(errno); }

void after(const purge_hooks& hooks, purge_step step) {
  if (hooks.after) hooks.after(step);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_address(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a file or folder holds, in the words of one line of the output.
struct nouns {
  const char *one, *many, *other_one, *other_many;
};
constexpr nouns records{"record", "records", "line that is not a record",
                        "lines that are not records"};
constexpr nouns mails{"mail", "mails", "file that is not a kept mail",
                      "files that are not kept mails"};

// "2 records removed, 40 kept", and what else was kept where there is any.
std::string counts(const tally& t, const order& o, const nouns& n) {
  std::string line = counted(t.removed, n.one, n.many) +
                     (o.dry_run ? " to remove (dry run)" : " removed") + ", " +
                     std::to_string(t.kept) + " kept";
  if (o.received_before && &n == &records)
    line += ", " + counted(t.timeless, "record without a time", "records without a time") + " kept";
  if (t.foreign) line += ", " + counted(t.foreign, n.other_one, n.other_many) + " kept";
  return line;
}

// --- The logs

// Whether the record goes: by its address, or by its time. A record
// without a time stays, and is counted, when the order goes by age.
bool goes(const log_tools::fields& record, const order& o, tally& t) {
  if (!o.address.empty() && same_address(log_tools::unescape(record[1]), o.address)) return true;
  if (!o.received_before) return false;
  std::optional<std::int64_t> when = log_tools::utc_seconds(record[log_tools::received]);
  if (!when) ++t.timeless;
  return when && *when < *o.received_before;
}

// The log's text without the records that go. Every other line stays as
// it is, with its line end: one that is not a record (edited by hand, or
// the last one torn, without its LF) is no one's to drop. A CR before the
// LF is a line end that an editor left, never part of a record.
std::string kept_lines(std::string_view text, const order& o, tally& t) {
  std::string kept;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const bool whole = end != std::string_view::npos;
    const std::string_view line = text.substr(0, whole ? end + 1 : text.size());
    text.remove_prefix(line.size());
    std::string_view body = line.substr(0, whole ? end : 0);
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    log_tools::fields record;
    if (!whole || log_tools::split_record(body, record)) {
      ++t.foreign;
    } else if (goes(record, o, t)) {
      ++t.removed;
      continue;
    } else {
      ++t.kept;
    }
    kept += line;
  }
  return kept;
}

// One name beside each log, so that a purge killed while it wrote there
// leaves one file, which the next purge of that log removes.
std::string temporary_of(const std::string& path) {
  const std::size_t name = path.rfind('/') + 1;  // 0 without a slash
  return path.substr(0, name) + "." + path.substr(name) + ".purge";
}

// The new log, made with the old one's owner, group and mode, so that the
// web server's user appends to it as before; written and flushed to disk.
// A new log that the web server could not append to would turn every
// submission into the error page: without them, nothing is replaced.
failure write_beside(const std::string& temp, const struct stat& old, const std::string& text,
                     const purge_hooks& hooks) {
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return error_of("cannot make " + temp);
  failure why;
  if (::fchown(fd, old.st_uid, old.st_gid) != 0)
    why = error_of("cannot give " + temp + " the log's owner and group");
  else if (::fchmod(fd, old.st_mode & 07777) != 0)
    why = error_of("cannot give " + temp + " the log's mode");
  if (!why) {
    after(hooks, purge_step::made);
    if (failure written = log_tools::write_all(fd, text))
      why = "cannot write " + temp + ": " + *written;
  }
  if (!why) {
    after(hooks, purge_step::written);
    if (::fsync(fd) != 0) why = error_of("cannot flush " + temp);
  }
  if (::close(fd) != 0 && !why) why = error_of("cannot write " + temp);
  return why;
}

// A rename is on disk once its folder is.
failure flush_folder(const std::string& path) {
  const std::string folder = log_tools::folder_of(path);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return error_of("cannot flush " + folder);
  failure why;
  if (::fsync(fd) != 0) why = error_of("cannot flush " + folder);
  ::close(fd);
  return why;
}

failure replace(const std::string& path, const struct stat& old, const std::string& text,
                const purge_hooks& hooks) {
  const std::string temp = temporary_of(path);
  failure why = write_beside(temp, old, text, hooks);
  if (!why) {
    after(hooks, purge_step::flushed);
    if (::rename(temp.c_str(), path.c_str()) != 0) why = error_of("cannot rename " + temp);
  }
  if (why) {
    ::unlink(temp.c_str());
    return *why + "; " + path + " is left as it was";
  }
  after(hooks, purge_step::renamed);
  why = flush_folder(path);
  if (!why) after(hooks, purge_step::folder_flushed);
  return why;
}

// With the lock of the file at path held on fd: the file read whole, and
// put in place anew without the records that go, if any go.
failure purge_locked(int fd, const std::string& path, const order& o, const purge_hooks& hooks,
                     tally& t) {
  struct stat old;
  if (::fstat(fd, &old) != 0) return error_of("cannot read " + path);
  // Opening for reading does not refuse a FIFO or a device.
  if (!S_ISREG(old.st_mode)) return "cannot read " + path + ": not a regular file";
  std::string text;
  if (failure why = log_tools::read_all(fd, text)) return "cannot read " + path + ": " + *why;
  after(hooks, purge_step::read);
  const std::string kept = kept_lines(text, o, t);
  if (o.dry_run) return {};
  const std::string temp = temporary_of(path);
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return error_of("cannot remove " + temp);
  if (t.removed == 0) return {};
  return replace(path, old, kept, hooks);
}

bool missing(const std::string& path) {
  struct stat file;
  return ::lstat(path.c_str(), &file) != 0 && errno == ENOENT;
}

// The log at path without the records that go, under the lock that its
// writers take: a writer that opened the old file and waited for the lock
// finds that the file it holds has no name left, and opens the one at the
// path (log_tools::open_locked).
bool purge_log(const std::string& path, const order& o, const purge_hooks& hooks, std::FILE* out,
               std::FILE* errors) {
  int fd;
  struct stat opened;
  if (failure why = log_tools::open_locked(path, lock_wait, fd, opened, log_tools::to_read)) {
    if (!missing(path)) return complain(errors, "cannot read " + path + ": " + *why);
    say(out, path + ": not there, 0 records removed");
    return true;
  }
  tally t;
  failure why = purge_locked(fd, path, o, hooks, t);
  ::close(fd);  // and with it the lock, once the new log is in place
  if (why) return complain(errors, *why);
  say(out, path + ": " + counts(t, o, records));
  return true;
}

// --- The outbox

// Whether the mail is from or to the address: its envelope names it, or a
// line of its header block has it as its whole value, with or without
// angle brackets. The notification sent from the owner names the visitor
// in its Reply-To: line only.
bool names(const mail_tools::kept_mail& mail, std::string_view address) {
  if (same_address(mail.from, address) || same_address(mail.to, address)) return true;
  std::string_view headers(mail.data);
  headers = headers.substr(0, headers.find("\r\n\r\n"));
  while (!headers.empty()) {
    std::string_view line = headers.substr(0, headers.find("\r\n"));
    headers.remove_prefix(std::min(headers.size(), line.size() + 2));
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
    value = value.substr(0, value.find_last_not_of(" \t") + 1);
    if (value.size() >= 2 && value.front() == '<' && value.back() == '>')
      value = value.substr(1, value.size() - 2);
    if (same_address(value, address)) return true;
  }
  return false;
}

bool mail_goes(const std::string& name, const mail_tools::kept_mail& mail, const order& o) {
  if (!o.address.empty() && names(mail, o.address)) return true;
  std::optional<std::int64_t> when = mail_tools::kept_at(name);
  return o.received_before && when && *when < *o.received_before;
}

failure read_file(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return error_of("cannot read " + path);
  failure why = log_tools::read_all(fd, text);
  ::close(fd);
  if (why) return "cannot read " + path + ": " + *why;
  return {};
}

// The reply beside a mail in failed/ goes first: killed between the two,
// the purge leaves the mail, which the next run finds again.
failure remove_mail(const std::string& folder, const std::string& name) {
  const std::string reply = folder + "/" + mail_tools::reply_of(name);
  if (::unlink(reply.c_str()) != 0 && errno != ENOENT) return error_of("cannot remove " + reply);
  if (::unlink((folder + "/" + name).c_str()) != 0)
    return error_of("cannot remove " + folder + "/" + name);
  return {};
}

bool purge_mails(const std::string& folder, const order& o, std::FILE* out, std::FILE* errors) {
  if (missing(folder)) {
    say(out, folder + ": not there, 0 mails removed");
    return true;
  }
  std::vector<std::string> kept;
  if (int error = mail_tools::kept_names(folder, kept))
    return complain(errors, "cannot read " + folder + ": " + std::strerror(error));
  tally t;
  bool all = true;
  for (const std::string& name : kept) {
    std::string text;
    std::optional<mail_tools::kept_mail> mail;
    failure why = read_file(folder + "/" + name, text);
    if (!why) mail = mail_tools::kept_from_text(text);
    if (why)
      all = complain(errors, *why);
    else if (!mail)
      ++t.foreign;
    else if (!mail_goes(name, *mail, o))
      ++t.kept;
    else if (failure gone = o.dry_run ? failure{} : remove_mail(folder, name))
      all = complain(errors, *gone);
    else
      ++t.removed;
  }
  say(out, folder + ": " + counts(t, o, mails));
  return all;
}

// Under the outbox's lock, which ostrel-resend holds while it sends or
// moves mails into failed/.
bool purge_outbox(const std::string& outbox, const order& o, std::FILE* out, std::FILE* errors) {
  int fd = ::open(outbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    say(out, outbox + ": not there, 0 mails removed");
    return true;
  }
  if (fd < 0) return complain(errors, error_of("cannot read " + outbox));
  if (failure why = log_tools::lock_exclusive(fd, lock_wait)) {
    ::close(fd);
    return complain(errors, "cannot lock " + outbox + ": " + *why);
  }
  bool all = purge_mails(outbox, o, out, errors);
  all = purge_mails(outbox + "/failed", o, out, errors) && all;
  ::close(fd);
  return all;
}

// --- The arguments

// The moment before which records are older than days, or nothing when
// days is no whole number.
std::optional<std::int64_t> older_than(const std::string& days, std::int64_t now) {
  if (days.empty() || days.size() > longest_days ||
      days.find_first_not_of("0123456789") != std::string::npos)
    return {};
  return now - std::stoll(days) * seconds_a_day;
}

// Why the arguments are no order, or "".
std::string read_order(const std::vector<std::string>& arguments, std::int64_t now, order& o) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--dry-run") {
      o.dry_run = true;
      continue;
    }
    if (option != "--address" && option != "--older-than")
      return "unknown argument " + one_line(option);
    if (++i == arguments.size()) return option + " wants a value";
    if (option == "--address")
      o.address = arguments[i];
    else
      o.received_before = older_than(arguments[i], now);
    if (option == "--address" && o.address.empty()) return "--address wants an address";
    if (option == "--older-than" && !o.received_before)
      return "--older-than wants a whole number of days, not " + one_line(arguments[i]);
  }
  if (o.address.empty() && !o.received_before)
    return "nothing to purge: give --address or --older-than";
  return "";
}

}  // namespace

int purge_command(const settings& site, const std::vector<std::string>& arguments, std::FILE* out,
                  std::FILE* errors, const purge_hooks& hooks) {
  if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end())
    return std::fputs(help_text, out) < 0 ? not_done : done;
  order o;
  const std::int64_t now = hooks.now >= 0 ? hooks.now : std::time(nullptr);
  if (std::string why = read_order(arguments, now, o); !why.empty()) {
    complain(errors, why + "; " + usage_text);
    return usage_error;
  }
  bool all = purge_log(site.request_log, o, hooks, out, errors);
  if (!site.spam_log.empty()) all = purge_log(site.spam_log, o, hooks, out, errors) && all;
  if (!site.outbox.empty()) all = purge_outbox(site.outbox, o, out, errors) && all;
  return all ? done : not_done;
}
