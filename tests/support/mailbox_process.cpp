#include "mailbox_process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifndef OSTREL_SOURCE_DIR
#error "OSTREL_SOURCE_DIR must name the source tree"
#endif

namespace test_support {

namespace {

// The Python first on PATH may lack aiosmtpd; the system one has it.
constexpr const char* python = "/usr/bin/python3";
constexpr int startup_ms = 15000;

// Reads the child's first line of output, waiting startup_ms at most.
std::string first_line(int fd) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, startup_ms) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// Just enough JSON for the records the server writes: an object whose
// values are strings or arrays of strings, non-ASCII bytes as \u00XX.
class json_reader {
 public:
  explicit json_reader(const std::string& text) : text_(text) {}

  received_mail mail() {
    received_mail m;
    if (!take('{')) return m;
    do {
      std::string key = string();
      if (!take(':')) return {};
      if (key == "rcpt_tos")
        m.rcpt_tos = strings();
      else if (key == "mail_from")
        m.mail_from = string();
      else if (key == "data")
        m.data = string();
    } while (take(','));
    return m;
  }

 private:
  bool take(char c) {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  std::vector<std::string> strings() {
    std::vector<std::string> list;
    if (take('[') && !take(']')) {
      do list.push_back(string());
      while (take(','));
      take(']');
    }
    return list;
  }

  std::string string() {
    std::string out;
    if (!take('"')) return out;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c != '\\' || pos_ >= text_.size()) {
        out += c;
        continue;
      }
      char e = text_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u':
          out += static_cast<char>(std::strtol(text_.substr(pos_, 4).c_str(), nullptr, 16));
          pos_ += 4;
          break;
        default:
          out += e;
      }
    }
    ++pos_;
    return out;
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

}  // namespace

received_mail parse_mail_record(const std::string& line) { return json_reader(line).mail(); }

mailbox_process::mailbox_process(int port) {
  std::string script = std::string(OSTREL_SOURCE_DIR) + "/tools/smtp_mailbox.py";
  std::string port_text = std::to_string(port);

  int out[2];
  if (::pipe(out) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(python, python, script.c_str(), "--host", "127.0.0.1", "--port", port_text.c_str(),
            "--json", json_path_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line = pid_ > 0 ? first_line(out[0]) : "";
  ::close(out[0]);
  std::sscanf(line.c_str(), "listening on %d", &port_);
}

mailbox_process::~mailbox_process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    // A server that ignores SIGTERM is killed after a safety bound.
    for (int tries = 0; ::waitpid(pid_, nullptr, WNOHANG) == 0; ++tries) {
      if (tries == 100) ::kill(pid_, SIGKILL);
      ::usleep(50000);
    }
  }
}

std::vector<received_mail> mailbox_process::mails() const {
  std::vector<received_mail> list;
  std::ifstream in(json_path_);
  for (std::string line; std::getline(in, line);) list.push_back(parse_mail_record(line));
  return list;
}

}  // namespace test_support
