// The project's local SMTP server (tools/smtp_mailbox.py) as a child
// process on a loopback ephemeral port, for tests against a real server.
#ifndef TESTS_SUPPORT_MAILBOX_PROCESS_HPP
#define TESTS_SUPPORT_MAILBOX_PROCESS_HPP

#include <sys/types.h>

#include <string>
#include <vector>

#include "cgi_run.hpp"

namespace test_support {

struct received_mail {
  std::string mail_from;
  std::vector<std::string> rcpt_tos;
  std::string data;  // the bytes after the server's dot-unstuffing
};

class mailbox_process {
 public:
  // Starts the server on port (0: a free one) and waits, within a safety
  // bound, until it listens; port() is 0 if it did not come up.
  explicit mailbox_process(int port = 0);
  // SIGTERM, then waits for the child and removes its files.
  ~mailbox_process();
  mailbox_process(const mailbox_process&) = delete;
  mailbox_process& operator=(const mailbox_process&) = delete;

  int port() const { return port_; }
  // The mails received so far, in order of arrival.
  std::vector<received_mail> mails() const;

 private:
  temp_dir dir_;
  std::string json_path_ = dir_.file("mails.json");
  pid_t pid_ = -1;
  int port_ = 0;
};

// One record of the server's JSON output, or an empty mail if the line
// is not such a record.
received_mail parse_mail_record(const std::string& line);

}  // namespace test_support

#endif
