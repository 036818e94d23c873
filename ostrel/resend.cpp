#include "ostrel/resend.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_tools/log_file.hpp"
#include "log_tools/utc_time.hpp"
#include "mail_tools/outbox.hpp"
#include "mail_tools/smtp.hpp"
#include "ostrel/one_line.hpp"

namespace {

using failure = std::optional<std::string>;

enum class fate { sent, left, moved };

// What became of one kept mail, and the rest of its line.
struct outcome {
  fate how;
  std::string said;
};

// A run may take a while against a slow server: each line goes out as it comes.
void say(std::FILE* stream, const std::string& text) {
  std::string line = "ostrel-resend: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

std::string error_text() { return std::strerror(errno); }

failure read_kept(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return error_text();
  failure why;
  struct stat file;
  if (fstat(fd, &file) != 0) why = error_text();
  if (!why && !S_ISREG(file.st_mode)) why = "not a regular file";
  if (!why) why = log_tools::read_all(fd, text);
  close(fd);
  return why;
}

failure write_reply(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0660);
  if (fd < 0) return error_text();
  failure why;
  if (!log_tools::write_fully(fd, text.data(), text.size())) why = error_text();
  close(fd);
  return why;
}

// Out of the sender's way, for a person to look into: failed/<name>.mail as
// it was kept, and beside it failed/<name>.reply, when and why. The reply
// goes first, so that no mail lies in failed/ without its reason.
outcome move_to_failed(const std::string& outbox, const std::string& name, const std::string& why) {
  const std::string failed = outbox + "/failed";
  failure problem;
  if (mkdir(failed.c_str(), 0700) != 0 && errno != EEXIST) problem = error_text();
  if (!problem)
    problem = write_reply(failed + "/" + mail_tools::reply_of(name),
                          log_tools::utc_now() + ", " + why + "\n");
  if (!problem && rename((outbox + "/" + name).c_str(), (failed + "/" + name).c_str()) != 0)
    problem = error_text();
  if (problem)
    return {fate::left,
            " left in the outbox, not moved to failed/: " + *problem + "; " + one_line(why)};
  return {fate::moved, " moved to failed/: " + one_line(why)};
}

// The same dialogue as the program's, with its time limit for one mail.
outcome send_kept(const settings& site, const std::string& name,
                  const mail_tools::kept_mail& kept) {
  mail_tools::smtp mail;
  mail.server = site.mail_host;
  mail.port = site.mail_port;
  mail.from = kept.from;
  mail.to = kept.to;
  mail.data = kept.data;
  const std::string to = " to " + one_line(kept.to);
  if (mail.send(std::chrono::steady_clock::now() + site.mail_timeout)) {
    if (unlink((site.outbox + "/" + name).c_str()) == 0) return {fate::sent, to + " sent"};
    return {fate::left, to + " sent, but left in the outbox, to be sent again: " + error_text()};
  }
  outcome result;
  // A name that does not start with the second it was kept in counts as long kept.
  const std::int64_t since = mail_tools::kept_at(name).value_or(0);
  if (mail.refused && mail.refusal_code >= 500)
    result = move_to_failed(site.outbox, name, "refused for good: " + *mail.failure);
  else if (std::time(nullptr) - since > std::chrono::seconds(kept_at_most).count())
    result =
        move_to_failed(site.outbox, name,
                       "kept since " + log_tools::utc_text(since) + ", over " +
                           std::to_string(kept_at_most.count() / 24) + " days: " + *mail.failure);
  else
    result = {fate::left, " left in the outbox: " + one_line(*mail.failure)};
  result.said = to + result.said;
  return result;
}

outcome resend_one(const settings& site, const std::string& name) {
  std::string text;
  if (failure why = read_kept(site.outbox + "/" + name, text))
    return {fate::left, " left in the outbox: cannot read it: " + *why};
  std::optional<mail_tools::kept_mail> kept = mail_tools::kept_from_text(text);
  if (!kept || kept->data.empty())
    return move_to_failed(site.outbox, name, "not a mail as ostrel keeps it");
  return send_kept(site, name, *kept);
}

}  // namespace

bool resend(const settings& site, std::FILE* out, std::FILE* errors) {
  if (site.outbox.empty()) {
    say(out, "this build keeps no outbox (OSTREL_OUTBOX): nothing to send");
    return true;
  }
  const std::string& outbox = site.outbox;
  int fd = open(outbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return true;  // the first mail kept makes it
  if (fd < 0) {
    say(errors, "cannot open the outbox " + outbox + ": " + error_text());
    return false;
  }
  // Two runs at once would send a mail twice. The second gives way rather
  // than wait: the first sends every mail there is, and under cron a stalled
  // server would otherwise stack up a waiting run every 5 minutes.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      say(out, "another ostrel-resend is sending the outbox " + outbox + "; left to it");
    else
      say(errors, "cannot lock the outbox " + outbox + ": " + error_text());
    close(fd);
    return false;
  }
  std::vector<std::string> names;
  const int unread = mail_tools::kept_names(fd, names);
  if (unread) say(errors, "cannot read the outbox " + outbox + ": " + std::strerror(unread));
  bool all_sent = !unread;
  for (const std::string& name : names) {
    outcome result = resend_one(site, name);
    say(out, one_line(name) + result.said);
    all_sent = all_sent && result.how == fate::sent;
  }
  close(fd);  // and with it the lock
  return all_sent;
}
