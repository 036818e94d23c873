// mail_tools::smtp: one mail message, delivered in one SMTP dialogue.
#ifndef MAIL_TOOLS_SMTP_HPP
#define MAIL_TOOLS_SMTP_HPP

#include <chrono>
#include <initializer_list>
#include <string>

#include "net_tools/tcp_stream"

namespace mail_tools {

// Longest dialogue when the caller names none: a mail server that stops
// answering must not hold the caller for ever.
inline constexpr std::chrono::milliseconds dialogue_limit{10000};

// True when text holds a CR or LF, which would end an SMTP command early.
inline bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// The value on one header line: each CR LF, lone CR or lone LF becomes one
// space, so a value can neither end its line nor start another header.
inline std::string header_value(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    out += c == '\r' || c == '\n' ? ' ' : c;
  }
  return out;
}

// The body as it goes out between the header block and the end of data:
// every line break becomes CR LF and a line that begins with "." gets one
// more in front.
inline std::string body_to_wire(const std::string& body) {
  std::string out;
  bool line_start = true;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    // RFC 5321 2.3.8: lines end in CR LF, and a bare CR or LF must not be sent.
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      line_start = true;
      continue;
    }
    // RFC 5321 4.5.2: a leading dot is doubled.
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = false;
  }
  return out;
}

// Takes one reply line, whatever it says; a lost connection ends it too.
inline void skip_reply_line(net_tools::tcp_stream& stream) {
  for (;;) {
    char c = stream.get();
    if (!stream || c == '\n') return;
  }
}

class smtp {
 public:
  std::string server;
  std::string to;
  std::string cc;   // empty: none
  std::string bcc;  // empty: none; never shown in the header block
  std::string from;
  std::string subject;
  std::string body;
  int port;

  // Delivers the message in one dialogue with server on port, ending within
  // limit. Replies are awaited but never examined. False when the
  // connection was not made or an envelope value holds a line break.
  bool send(std::chrono::milliseconds limit = dialogue_limit);
};

inline bool smtp::send(std::chrono::milliseconds limit) {
  for (const std::string* value : {&server, &from, &to, &cc, &bcc})
    if (has_line_break(*value)) return false;

  net_tools::tcp_stream stream(server, port, std::chrono::steady_clock::now() + limit);
  if (!stream) return false;
  skip_reply_line(stream);
  stream << "HELO " << server << "\r\n";
  skip_reply_line(stream);
  stream << "MAIL FROM: " << from << "\r\n";
  skip_reply_line(stream);
  stream << "RCPT TO: " << to << "\r\n";
  skip_reply_line(stream);
  if (!cc.empty()) {
    stream << "RCPT TO: " << cc << "\r\n";
    skip_reply_line(stream);
  }
  if (!bcc.empty()) {
    stream << "RCPT TO: " << bcc << "\r\n";
    skip_reply_line(stream);
  }
  stream << "DATA"
         << "\r\n";
  skip_reply_line(stream);

  // Header lines start with their name, so none of them begins with ".".
  stream << "From: " << from << "\r\n";
  stream << "To: " << to << "\r\n";
  if (!cc.empty()) stream << "Cc: " << cc << "\r\n";
  stream << "Subject: " << header_value(subject) << "\r\n\r\n";
  stream << body_to_wire(body) << "\r\n";
  stream << ".\r\n";
  skip_reply_line(stream);
  stream << "QUIT\r\n";
  skip_reply_line(stream);
  stream.close();
  return true;
}

}  // namespace mail_tools

#endif
