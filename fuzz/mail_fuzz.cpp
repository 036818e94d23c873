// Fuzz target of the mail that the SMTP sender writes. The sender runs for
// real against a stand-in for the TCP stream, defined below in place of
// net_tools' own (this target does not link net_tools), which records every
// byte written and answers each line with "250 ok". The record is then read
// as an SMTP server would read it.
//
// Input: a flags byte (bit 0: the connection is not made; the other bits, when
// not 0, the number of reply bytes after which the connection is lost), then
// server, from, to, cc, bcc and subject, each ended by a NUL byte; the rest is
// the body.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/check.hpp"
#include "mail_tools/smtp.hpp"

namespace {

struct wire_record {
  bool refuse = false;         // the next connection fails
  std::size_t lose_after = 0;  // reply bytes until the connection is lost; 0: never
  int connections = 0;
  std::string sent;
  std::size_t reply_at = 0;
};
wire_record wire;

const std::string reply = "250 ok\r\n";

}  // namespace

namespace net_tools {

tcp_stream::tcp_stream(const std::string&, int, std::chrono::steady_clock::time_point) {
  ++wire.connections;
  failed = wire.refuse;
  is_open = !wire.refuse;
}
tcp_stream::~tcp_stream() {}
tcp_stream::operator void*() { return failed ? nullptr : this; }
char tcp_stream::get() {
  if (failed) return '\0';
  if (wire.lose_after != 0 && wire.reply_at == wire.lose_after) {
    failed = true;  // as the real stream: a lost connection gives NUL and fails
    return '\0';
  }
  return reply[wire.reply_at++ % reply.size()];
}
tcp_stream& tcp_stream::operator<<(const char* text) {
  if (!failed) wire.sent += text;
  return *this;
}
tcp_stream& tcp_stream::operator<<(const std::string& text) {
  if (!failed) wire.sent += text;
  return *this;
}
void tcp_stream::close() { is_open = false; }

}  // namespace net_tools

namespace {

// The lines of the wire, split at CR LF; a bare CR or LF fails the check.
std::vector<std::string> wire_lines(const std::string& sent) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] == '\r') {
      FUZZ_CHECK(i + 1 < sent.size() && sent[i + 1] == '\n');
      lines.push_back(line);
      line.clear();
      ++i;
    } else {
      FUZZ_CHECK(sent[i] != '\n');
      line += sent[i];
    }
  }
  FUZZ_CHECK(line.empty());  // the last thing written ends its line
  return lines;
}

// The body as the receiver should get it back: each CR LF, CR or LF one CR LF.
std::string with_crlf(const std::string& body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' || body[i] == '\n') {
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
    } else {
      out += body[i];
    }
  }
  return out;
}

std::string without(const std::string& text, const char* bytes) {
  std::string out;
  for (char c : text)
    if (std::string(bytes).find(c) == std::string::npos) out += c;
  return out;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Reads the data section as the server would: header block, then the body
// lines up to the first line ".", with a leading dot taken off each line.
void check_data(const mail_tools::smtp& mail, const std::vector<std::string>& lines,
                std::size_t data_start) {
  std::vector<std::string> headers = {"From: " + mail.from, "To: " + mail.to};
  if (!mail.cc.empty()) headers.push_back("Cc: " + mail.cc);
  std::size_t at = data_start;
  for (const std::string& header : headers) FUZZ_CHECK(at < lines.size() && lines[at++] == header);
  // Subject: one line, whatever line breaks the value held.
  FUZZ_CHECK(at < lines.size() && starts_with(lines[at], "Subject: "));
  std::string subject = lines[at++].substr(9);
  FUZZ_CHECK(without(subject, " ") == without(mail.subject, " \r\n"));
  FUZZ_CHECK(at < lines.size() && lines[at++].empty());  // end of the header block

  std::string body;
  bool ended = false;
  for (; at < lines.size(); ++at) {
    if (lines[at] == ".") {
      ended = true;
      ++at;
      break;
    }
    const std::string& line = lines[at];
    body += (!line.empty() && line[0] == '.' ? line.substr(1) : line) + "\r\n";
  }
  FUZZ_CHECK(ended);
  // Only QUIT follows the end of the data: no body line reached the server as a command.
  FUZZ_CHECK(at + 1 == lines.size() && lines[at] == "QUIT");
  // The sender ends the body with one CR LF of its own.
  FUZZ_CHECK(body == with_crlf(mail.body) + "\r\n");
}

void check_mail(mail_tools::smtp& mail, bool refuse, std::size_t lose_after) {
  wire = wire_record();
  wire.refuse = refuse;
  bool sent = mail.send();
  wire_record whole = wire;
  if (lose_after != 0 && !refuse) {
    // A connection lost midway: the dialogue still ends with true, having
    // written no more than the start of what a whole dialogue writes.
    wire = wire_record();
    wire.lose_after = lose_after;
    bool sent_lost = mail.send();
    FUZZ_CHECK(sent_lost == sent);
    FUZZ_CHECK(whole.sent.compare(0, wire.sent.size(), wire.sent) == 0);
    wire = whole;
  }

  bool envelope_break = false;
  for (const std::string* value : {&mail.server, &mail.from, &mail.to, &mail.cc, &mail.bcc})
    envelope_break = envelope_break || value->find_first_of("\r\n") != std::string::npos;
  if (envelope_break || refuse) {
    // A command would split, or there is no connection: nothing is written.
    FUZZ_CHECK(!sent);
    FUZZ_CHECK(wire.sent.empty());
    return;
  }
  FUZZ_CHECK(sent);
  FUZZ_CHECK(wire.connections == 1);

  std::vector<std::string> lines = wire_lines(wire.sent);
  std::vector<std::string> envelope = {"HELO " + mail.server, "MAIL FROM: " + mail.from,
                                       "RCPT TO: " + mail.to};
  if (!mail.cc.empty()) envelope.push_back("RCPT TO: " + mail.cc);
  if (!mail.bcc.empty()) envelope.push_back("RCPT TO: " + mail.bcc);
  envelope.push_back("DATA");
  FUZZ_CHECK(lines.size() > envelope.size());
  for (std::size_t i = 0; i < envelope.size(); ++i) FUZZ_CHECK(lines[i] == envelope[i]);
  check_data(mail, lines, envelope.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  bool refuse = data[0] & 1;
  std::size_t lose_after = data[0] >> 1;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  mail_tools::smtp mail;
  std::string* fields[] = {&mail.server, &mail.from, &mail.to, &mail.cc, &mail.bcc, &mail.subject};
  std::size_t at = 0;
  for (std::string* field : fields) {
    std::size_t end = rest.find('\0', at);
    if (end == std::string::npos) end = rest.size();
    *field = rest.substr(at, end - at);
    at = end < rest.size() ? end + 1 : end;
  }
  mail.body = rest.substr(at);
  mail.port = 25;
  check_mail(mail, refuse, lose_after);
  return 0;
}
