#include "ostrel/ostrel.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "mail_tools/smtp.hpp"
#include "ostrel/config.hpp"

namespace {

constexpr std::size_t name_limit = 512;
constexpr std::size_t subject_limit = 512;
constexpr std::size_t message_limit = 1024;

// Keys for the form variable map, whose key type is a mutable C string.
char name_key[] = "name";
char email_key[] = "email";
char subject_key[] = "subject";
char message_key[] = "message";

// One line of the request log: the four values quoted, escaped and comma-separated.
std::string log_record(const std::string& name, const std::string& email,
                       const std::string& subject, const std::string& message) {
  return "\"" + csv_escape(name) + "\",\"" + csv_escape(email) + "\",\"" + csv_escape(subject) +
         "\",\"" + csv_escape(message) + "\"\n";
}

int lock_exclusive(int fd) {
  int result;
  do result = flock(fd, LOCK_EX);
  while (result != 0 && errno == EINTR);
  return result;
}

// Hands the record to the file in one write. Other submissions append to the
// same file at the same time: the lock keeps the file's end still from the
// moment it is measured until the write is done, so a failed or short write
// can be cut back to that length without touching anyone else's record.
bool write_whole(int fd, const std::string& record) {
  if (lock_exclusive(fd) != 0) return false;
  struct stat before;
  bool written = false;
  if (fstat(fd, &before) == 0) {
    ssize_t n = write(fd, record.data(), record.size());
    written = n == static_cast<ssize_t>(record.size());
    if (!written && ftruncate(fd, before.st_size) != 0) {
      // Nothing more can be done: the file keeps the cut record.
    }
  }
  flock(fd, LOCK_UN);
  return written;
}

// Appends the record to the request log whole or not at all.
bool append_to_log(const std::string& record) {
  // Past a file size limit the write must fail with EFBIG, not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  int fd = open(config::request_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool written = write_whole(fd, record);
  close(fd);
  return written;
}

mail_tools::smtp mail_to(const std::string& to, const std::string& from) {
  mail_tools::smtp mail;
  mail.server = config::mail_host;
  mail.port = config::mail_port;
  mail.to = to;
  mail.from = from;
  return mail;
}

// The owner's notification, then the submitter's acknowledgement, one after
// the other. Neither outcome changes the answer: the submission is already
// in the request log.
void send_mails(const std::string& name, const std::string& email, const std::string& subject,
                const std::string& message) {
  const std::chrono::milliseconds limit{config::mail_timeout_ms};
  mail_tools::smtp notification = mail_to(config::owner_address, email);
  notification.subject = subject;
  notification.body = name + "\r\n" + email + "\r\n" + message + "\r\n";
  notification.send(limit);

  mail_tools::smtp acknowledgement = mail_to(email, config::owner_address);
  acknowledgement.subject = "Thank you...";
  acknowledgement.body = "Thank you for filling out the request form...";
  acknowledgement.send(limit);
}

}  // namespace

Ostrel::Ostrel(const int& limit) : decoder(limit) {}

void Ostrel::run() {
  form_var_map& vars = decoder.form_vars;
  std::string name = no_null(vars[name_key]);
  std::string email = no_null(vars[email_key]);
  std::string subject = no_null(vars[subject_key]);
  std::string message = no_null(vars[message_key]);

  if (message.size() > message_limit || name.size() > name_limit || subject.size() > subject_limit)
    return write_redirect(config::error_page);
  if (name.empty() || email.empty() || subject.empty() || message.empty() || !is_good_email(email))
    return write_redirect(config::error_page);
  if (!append_to_log(log_record(name, email, subject, message)))
    return write_redirect(config::error_page);
  send_mails(name, email, subject, message);
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
    else if (c != '-' && c != '.' && !is_digit(c) && !is_alpha(c))
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
  std::fputs("Location: ", stdout);
  std::fputs(page, stdout);
  std::fputs("\r\n\r\n", stdout);
  std::fflush(stdout);
}
