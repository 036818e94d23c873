#include "ostrel/ostrel.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <thread>

#include "mail_tools/smtp.hpp"
#include "ostrel/config.hpp"
#include "ostrel/one_line.hpp"
#include "ostrel/same_site.hpp"

namespace {

// Writes all of text unless the descriptor fails (errno says why, 0 when it
// took nothing); allocates nothing.
bool write_fully(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;
    if (n <= 0) return false;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// What went wrong, or nothing when all went well: how the program's own
// functions answer "did it work, and if not, why".
using failure = std::optional<std::string>;

// The four fields of one submission, cleaned.
struct submission {
  std::string name, email, subject, message;
};

// Keys for the form variable map, whose key type is a mutable C string.
char name_key[] = "name";
char email_key[] = "email";
char subject_key[] = "subject";
char message_key[] = "message";

// One line of the request log: the four values quoted, escaped and comma-separated.
std::string log_record(const submission& form) {
  return "\"" + csv_escape(form.name) + "\",\"" + csv_escape(form.email) + "\",\"" +
         csv_escape(form.subject) + "\",\"" + csv_escape(form.message) + "\"\n";
}

// One line on standard error, which the web server puts into its error
// log: the program's own failures go there, never into the answer. Written
// with one write, so lines of processes that run at once stay whole.
void report(const std::string& text) {
  std::string line = "ostrel: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// A reader or a backup may hold a lock on the log for long; a submission
// waits for it only so long, then gives up.
failure lock_exclusive(int fd) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(config::log_lock_timeout_ms);
  auto pause = std::chrono::microseconds(config::lock_first_pause_us);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EWOULDBLOCK && errno != EINTR) return std::strerror(errno);
    if (clock::now() >= deadline) return "locked by another process";
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(config::lock_longest_pause_us));
  }
}

// One write, unless it comes back short at a limit of the file system:
// writing the rest then tells which limit.
failure write_all(int fd, const std::string& record) {
  if (write_fully(fd, record.data(), record.size())) return {};
  return errno ? std::strerror(errno) : "nothing written";
}

// Appends the record to a log (the request log, the spam log) whole or not
// at all. Other
// submissions append to the same file at the same time: the lock keeps the
// file's end still from the moment it is measured until the one write is
// done, so a failed or short write is cut back to that length without
// touching anyone else's record. Only a regular file will do: opening does
// not wait for a FIFO's reader, and a device or a FIFO is refused.
failure append_to_log(const char* path, const std::string& record) {
  // Past a file size limit the write must fail with EFBIG, not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  // A FIFO without a reader, or a device without its hardware, refuses
  // the open with ENXIO.
  if (fd < 0) return errno == ENXIO ? "not a regular file" : std::strerror(errno);
  failure why = lock_exclusive(fd);
  struct stat file;
  if (!why && fstat(fd, &file) != 0) why = std::strerror(errno);
  if (!why && !S_ISREG(file.st_mode)) why = "not a regular file";
  if (!why) {
    why = write_all(fd, record);
    if (why && ftruncate(fd, file.st_size) != 0) {
      // Nothing more can be done: the file keeps the cut record.
    }
  }
  close(fd);  // and with it the lock
  return why;
}

mail_tools::smtp mail_to(const std::string& to, const std::string& from) {
  mail_tools::smtp mail;
  mail.server = config::mail_host;
  mail.port = config::mail_port;
  mail.to = to;
  mail.from = from;
  return mail;
}

void report_undelivered(const char* what, const mail_tools::smtp& mail) {
  report(std::string(what) + " to " + one_line(mail.to) +
         (mail.refused ? " not accepted: " : " not sent: ") + one_line(mail.failure));
}

// The submission to the owner. Sent from the submitter's address, it fails
// the checks (DMARC) of a mailbox provider whose domain is not this
// machine's; sent from the owner's own, with the submitter's address to
// reply to, it passes where the owner's domain lets this machine send.
mail_tools::smtp notification_of(const submission& form) {
  mail_tools::smtp mail = mail_to(config::owner_address,
                                  config::notify_from_owner ? config::owner_address : form.email);
  if (config::notify_from_owner) mail.reply_to = form.email;
  mail.subject = form.subject;
  mail.body = form.name + "\r\n" + form.email + "\r\n" + form.message + "\r\n";
  return mail;
}

// The owner's notification, then the submitter's acknowledgement, one after
// the other and both within one time limit. Neither outcome changes the
// answer: the submission is already in the request log.
void send_mails(const submission& form) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(config::mail_timeout_ms);
  mail_tools::smtp notification = notification_of(form);
  if (!notification.send(deadline)) report_undelivered("owner notification", notification);
  if (!config::thank_you) return;

  mail_tools::smtp acknowledgement = mail_to(form.email, config::owner_address);
  acknowledgement.subject = config::thank_you_subject;
  acknowledgement.body = config::thank_you_text;
  if (!acknowledgement.send(deadline)) report_undelivered("acknowledgement", acknowledgement);
}

// Cleaning drops bytes; an address that lost some is another person's.
bool cleaning_kept_all(const char* raw, const std::string& cleaned) {
  return raw && std::strlen(raw) == cleaned.size();
}

// A bot fills in every field it finds, the hidden one too.
bool honeypot_filled(form_var_map& vars) {
  std::string field = config::honeypot_field;
  if (field.empty()) return false;
  auto found = vars.find(field.data());
  return found != vars.end() && found->second && *found->second;
}

// Where a link starts in text, any case: "http://", "https://", or "www."
// not already part of one of those.
std::size_t links_in(const std::string& text) {
  std::string lower = same_site::lower(text);
  std::size_t links = 0;
  for (std::size_t at = 0; at < lower.size(); ++at) {
    std::string_view rest = std::string_view(lower).substr(at);
    bool www = rest.substr(0, 4) == "www." && (at < 2 || lower.compare(at - 2, 2, "//") != 0);
    if (rest.substr(0, 7) == "http://" || rest.substr(0, 8) == "https://" || www) ++links;
  }
  return links;
}

// Why the submission is taken for spam, or nothing.
failure spam_rule(const submission& form, form_var_map& vars) {
  if (honeypot_filled(vars))
    return std::string("the hidden field \"") + config::honeypot_field + "\" was filled in";
  if (config::max_links < 0) return {};
  std::size_t links = links_in(form.name) + links_in(form.subject) + links_in(form.message);
  if (links <= static_cast<std::size_t>(config::max_links)) return {};
  return std::to_string(links) + " links, more than " + std::to_string(config::max_links);
}

// A submission taken for spam gets the answer a person would, and the bot
// learns nothing; it goes to the spam log where the build names one, so
// that a person taken for a bot can still be found there.
void set_aside(const submission& form, const std::string& rule) {
  std::string line = "submission dropped: " + rule;
  if (*config::spam_log) {
    failure why = append_to_log(config::spam_log, log_record(form));
    line += why ? std::string("; cannot append to the spam log ") + config::spam_log + ": " + *why
                : std::string("; kept in the spam log ") + config::spam_log;
  }
  report(line);
}

// The page that sent the request when it belongs to another site; empty
// when it is this site's, or when the request does not say. The site is
// the origins the build names, else the request's own.
std::string foreign_source() {
  std::string source = same_site::claimed_source();
  if (source.empty()) return "";
  same_site::origin claimed = same_site::of_url(source);
  bool ours = *config::site_origins ? same_site::listed(claimed, config::site_origins)
                                    : same_site::same(claimed, same_site::of_request());
  return ours ? "" : source;
}

}  // namespace

Ostrel::Ostrel(const int& limit)
    : decoder(limit, std::chrono::milliseconds(config::body_timeout_ms)) {}

void Ostrel::run() {
  if (config::post_only && !decoder.is_post) {
    report("submission refused: sent by " + one_line(same_site::variable("REQUEST_METHOD")) +
           ", not POST");
    return write_redirect(config::error_page);
  }
  if (config::same_site) {
    std::string foreign = foreign_source();
    if (!foreign.empty()) {
      report("submission refused: sent from another site's page, " + one_line(foreign));
      return write_redirect(config::error_page);
    }
  }
  form_var_map& vars = decoder.form_vars;
  submission form;
  form.name = no_null(vars[name_key]);
  const char* raw_email = vars[email_key];
  form.email = no_null(raw_email);
  form.subject = no_null(vars[subject_key]);
  form.message = no_null(vars[message_key]);

  if (form.message.size() > config::message_limit || form.name.size() > config::name_limit ||
      form.subject.size() > config::subject_limit)
    return write_redirect(config::error_page);
  if (form.name.empty() || form.email.empty() || form.subject.empty() || form.message.empty() ||
      form.email.size() > config::longest_address || !is_good_email(form.email) ||
      !cleaning_kept_all(raw_email, form.email))
    return write_redirect(config::error_page);
  if (failure rule = spam_rule(form, vars)) {
    set_aside(form, *rule);
    return write_redirect(config::ok_page);
  }
  if (failure why = append_to_log(config::request_log, log_record(form))) {
    report(std::string("cannot append to ") + config::request_log + ": " + *why);
    return write_redirect(config::error_page);
  }
  send_mails(form);
  write_redirect(config::ok_page);
}

std::string filter(const std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::ispunct(byte) || std::isspace(byte)) kept += c;
  }
  return kept;
}

std::string no_null(const char* value) { return value ? filter(value) : std::string(); }

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_good_email(const std::string& address) {
  bool has_at = false;
  for (char c : address) {
    if (c == '@')
      has_at = true;
    else if (c != '-' && c != '.' && c != '+' && c != '_' && !is_digit(c) && !is_alpha(c))
      return false;
  }
  return has_at;
}

std::string csv_escape(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '"')
      escaped += "\"\"";
    else if (c == '\n')
      escaped += "\\n";
    else if (c == '\r')
      escaped += "\\r";
    else
      escaped += c;
  }
  return escaped;
}

void write_redirect(const char* page) {
  // Assembled here rather than allocated: this also answers when memory has run out.
  char answer[sizeof "Location: " + config::longest_page + sizeof "\r\n\r\n"];
  std::size_t size = 0;
  for (const char* piece : {"Location: ", page, "\r\n\r\n"}) {
    std::size_t length = std::min(std::strlen(piece), sizeof answer - size);
    std::memcpy(answer + size, piece, length);
    size += length;
  }
  write_fully(STDOUT_FILENO, answer, size);
}
