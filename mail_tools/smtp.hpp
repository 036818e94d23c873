// mail_tools::smtp: one mail message, delivered in one SMTP dialogue.
#ifndef MAIL_TOOLS_SMTP_HPP
#define MAIL_TOOLS_SMTP_HPP

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "net_tools/tcp_stream"

namespace mail_tools {

using deadline_type = std::chrono::steady_clock::time_point;

// Longest dialogue when the caller names none: a mail server that stops
// answering must not hold the caller for ever.
inline constexpr std::chrono::milliseconds dialogue_limit{10000};

// RFC 5322 2.1.1: at most 998 octets on a line of a message, before its CR LF.
inline constexpr std::size_t longest_line = 998;

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

// One line of the body, without its line end, as it goes out: broken into
// lines of at most longest_line octets, after the last space within the
// limit where there is one, and each with a leading dot doubled (RFC 5321
// 4.5.2; the doubled dot does not count towards the limit, 4.5.3.1.6).
inline void append_wire_line(std::string& out, std::string_view line) {
  for (;;) {
    std::string_view piece = line.substr(0, longest_line);
    if (line.size() > longest_line) {
      std::size_t space = piece.rfind(' ');
      if (space != std::string_view::npos) piece = piece.substr(0, space + 1);
    }
    if (!piece.empty() && piece[0] == '.') out += '.';
    out += piece;
    line.remove_prefix(piece.size());
    if (line.empty()) return;
    out += "\r\n";
  }
}

// The body as it goes out between the header block and the end of data.
// RFC 5321 2.3.8: every line break becomes CR LF; a bare CR or LF must not
// be sent.
inline std::string body_to_wire(const std::string& body) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = body.find_first_of("\r\n", start);
    if (end == std::string::npos) end = body.size();
    append_wire_line(out, std::string_view(body).substr(start, end - start));
    if (end == body.size()) return out;
    out += "\r\n";
    start = end + (body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n' ? 2 : 1);
  }
}

// One reply line, up to its line feed, which a lost connection or the end of
// the time also ends; the line end is not kept.
inline std::string read_reply_line(net_tools::tcp_stream& stream) {
  std::string line;
  for (;;) {
    char c = stream.get();
    if (!stream || c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// RFC 5321 4.2.1: "250-" goes on to another line of the same reply; any
// other line is the last one.
inline bool continues(const std::string& line) {
  auto digit = [&](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
  return line.size() >= 4 && digit(0) && digit(1) && digit(2) && line[3] == '-';
}

// One whole reply, its lines joined by a space. Empty when the connection
// was lost or the time ran out before its last line.
inline std::string read_reply(net_tools::tcp_stream& stream) {
  std::string reply;
  for (;;) {
    std::string line = read_reply_line(stream);
    if (!stream) return "";
    reply += reply.empty() ? line : " " + line;
    if (!continues(line)) return reply;
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
  // Why the last send() returned false: the step and the server's reply
  // ("RCPT TO: 550 no such user"), or what became of the connection
  // ("no connection to localhost:2600"). Empty when the server took the message.
  std::string failure;
  // Whether that failure was the server's refusal.
  bool refused = false;

  // Delivers the message in one dialogue with server on port, ending by the
  // deadline (or within limit). True only when the server accepted the
  // message and refused nothing on the way; otherwise failure says why.
  bool send(deadline_type deadline);
  bool send(std::chrono::milliseconds limit = dialogue_limit);

 private:
  bool answered(net_tools::tcp_stream& stream, deadline_type deadline, const char* step, char good);
  bool fail(std::string why);
  std::string mail_data() const;
};

inline bool smtp::send(std::chrono::milliseconds limit) {
  return send(std::chrono::steady_clock::now() + limit);
}

inline bool smtp::send(deadline_type deadline) {
  failure.clear();
  refused = false;
  for (const std::string* value : {&server, &from, &to, &cc, &bcc})
    if (has_line_break(*value)) return fail("a line break in the server name or an address");
  const std::string peer = server + ":" + std::to_string(port);
  if (std::chrono::steady_clock::now() >= deadline)
    return fail("no time left to connect to " + peer);

  net_tools::tcp_stream stream(server, port, deadline);
  if (!stream) return fail("no connection to " + peer);
  answered(stream, deadline, "greeting", '2');
  stream << "HELO " + server + "\r\n";
  answered(stream, deadline, "HELO", '2');
  stream << "MAIL FROM: " + from + "\r\n";
  answered(stream, deadline, "MAIL FROM", '2');
  for (const std::string* recipient : {&to, &cc, &bcc}) {
    if (recipient != &to && recipient->empty()) continue;
    stream << "RCPT TO: " + *recipient + "\r\n";
    answered(stream, deadline, "RCPT TO", '2');
  }
  stream << "DATA\r\n";
  // RFC 5321 3.3: without a 354 the server reads what follows as commands,
  // and the message text must never reach it as such.
  bool accepted = false;
  if (answered(stream, deadline, "DATA", '3')) {
    stream << mail_data();
    accepted = answered(stream, deadline, "end of data", '2');
  }
  stream << "QUIT\r\n";
  read_reply(stream);
  stream.close();
  return accepted && failure.empty();
}

// Whether the reply to the step begins with the good digit. The first step
// that fails is the one that failure names.
inline bool smtp::answered(net_tools::tcp_stream& stream, deadline_type deadline, const char* step,
                           char good) {
  std::string reply = read_reply(stream);
  if (!reply.empty() && reply[0] == good) return true;
  if (!failure.empty()) return false;
  if (!reply.empty()) {
    failure = std::string(step) + ": " + reply;
    refused = true;
  } else if (std::chrono::steady_clock::now() >= deadline) {
    failure = std::string(step) + ": no reply within the time limit";
  } else {
    failure = std::string(step) + ": connection lost";
  }
  return false;
}

inline bool smtp::fail(std::string why) {
  failure = std::move(why);
  return false;
}

// The header block, the text and the end-of-data line, to go out in one
// write. Header lines start with their name, so none of them begins with ".".
inline std::string smtp::mail_data() const {
  std::string data = "From: " + from + "\r\nTo: " + to + "\r\n";
  if (!cc.empty()) data += "Cc: " + cc + "\r\n";
  data += "Subject: " + header_value(subject) + "\r\n\r\n";
  data += body_to_wire(body) + "\r\n.\r\n";
  return data;
}

}  // namespace mail_tools

#endif
