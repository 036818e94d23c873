// mail_tools::smtp: one mail message, delivered in one SMTP dialogue.
#ifndef MAIL_TOOLS_SMTP_HPP
#define MAIL_TOOLS_SMTP_HPP

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "mail_tools/mime.hpp"
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

// RFC 5321 4.5.3.1.5: a reply line is at most 512 octets with its CR LF.
inline constexpr std::size_t longest_reply_line = 512;
// RFC 5321 4.2.1 sets no number of lines; greetings and HELO replies have a
// handful. A reply that goes on past this is a flood, not an answer.
inline constexpr int most_reply_lines = 32;
// How much of a reply is kept, to be quoted when it is a refusal.
inline constexpr std::size_t kept_reply_text = 512;
// RFC 5321 4.1.1.10 asks the client to wait for the reply to QUIT, but the
// mail's fate is settled by then and the next dialogue needs the time.
inline constexpr std::chrono::milliseconds quit_wait{1000};

// The reply each step waits for: a 2yz, or after DATA a 354 (RFC 5321 4.2.1, 3.3).
inline bool is_positive(int code) { return code >= 200 && code <= 299; }
inline bool is_go_ahead(int code) { return code == 354; }

// One reply as it was read: its code and text, or why there is none.
struct reply {
  enum outcome { complete, lost, too_long, malformed };
  outcome how = lost;  // lost: the connection ended, or the time ran out
  int code = 0;
  std::string text;  // its lines joined by a space, cut at kept_reply_text
};

// RFC 5321 4.2: three digits, then a space, a hyphen or the end of the line.
// The code of a well-formed line, or -1.
inline int line_code(std::string_view line) {
  auto digit = [&](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
  if (line.size() < 3 || !digit(0) || !digit(1) || !digit(2)) return -1;
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// One reply line into line, without its line end. False when the connection
// was lost or the time ran out first; too_long when the line will not fit.
inline bool read_reply_line(net_tools::tcp_stream& stream, std::string_view& line,
                            char (&room)[longest_reply_line], bool& too_long) {
  std::size_t size = 0;
  for (;;) {
    char c = stream.get();
    if (!stream) return false;
    if (c == '\n') break;
    if (size == sizeof room - 1) {  // no room left for the line feed
      too_long = true;
      return true;
    }
    room[size++] = c;
  }
  if (size > 0 && room[size - 1] == '\r') --size;
  line = std::string_view(room, size);
  return true;
}

// Adds a line to the text of a reply, within kept_reply_text bytes.
inline void keep_text(std::string& text, std::string_view line) {
  if (!text.empty() && text.size() < kept_reply_text) text += ' ';
  text.append(line.substr(0, kept_reply_text - std::min(kept_reply_text, text.size())));
}

// One whole reply, its lines read within fixed bounds: every line of it must
// carry the same code, and "250-" goes on to another line (RFC 5321 4.2.1).
inline reply read_reply(net_tools::tcp_stream& stream) {
  reply r;
  char room[longest_reply_line];
  for (int lines = 0; lines < most_reply_lines; ++lines) {
    std::string_view line;
    bool too_long = false;
    if (!read_reply_line(stream, line, room, too_long)) return r;
    if (too_long) {
      r.how = reply::too_long;
      return r;
    }
    int code = line_code(line);
    if (code < 0 || (lines > 0 && code != r.code)) {
      r.how = reply::malformed;
      return r;
    }
    r.code = code;
    keep_text(r.text, line);
    if (line.size() < 4 || line[3] != '-') {
      r.how = reply::complete;
      return r;
    }
  }
  r.how = reply::too_long;
  return r;
}

// Why a reply that a step did not want is no good: a refusal's own text,
// else what was wrong with the reply or became of the connection.
inline std::string not_good(const reply& r, deadline_type deadline) {
  if (r.how == reply::complete) return r.text;
  if (r.how == reply::too_long) return "reply too long";
  if (r.how == reply::malformed) return "malformed reply";
  if (std::chrono::steady_clock::now() >= deadline) return "no reply within the time limit";
  return "connection lost";
}

// RFC 5321 3.1, 4.1.1.10: a client that ends a dialogue that still stands
// says QUIT and waits a little for the reply, whatever came before.
inline void quit(net_tools::tcp_stream& stream, deadline_type deadline) {
  if (!stream) return;
  stream << "QUIT\r\n";
  stream.deadline = std::min(deadline, std::chrono::steady_clock::now() + quit_wait);
  read_reply(stream);
}

class smtp {
 public:
  std::string server;
  std::string to;
  std::string cc;   // empty: none
  std::string bcc;  // empty: none; never shown in the header block
  std::string from;
  std::string reply_to;  // empty: none; else a Reply-To header line
  std::string subject;
  std::string body;
  int port;
  // When set, the mail data as it goes on the wire, the end-of-data line
  // aside, sent in place of the one made from the members above (a mail
  // kept whole, sent again).
  std::string data;
  // Why the last dialogue failed: the step and the server's reply
  // ("RCPT TO: 550 no such user"), what was wrong with the reply ("HELO:
  // malformed reply"), or what became of the connection ("no connection to
  // localhost:2600"). Nothing when the server took the message.
  std::optional<std::string> failure;
  // Whether that failure was the server's refusal, and the refusing code.
  bool refused = false;
  int refusal_code = 0;
  // Whether the last dialogue got as far as a connection.
  bool connected = false;
  // Whether it wrote the whole mail data: then a server that did not answer
  // after it may have the mail all the same.
  bool data_sent = false;

  // Delivers the message in one dialogue with server on port, ending by the
  // deadline (or within limit). The dialogue stops at the first reply that
  // is not the one its step wants. True only when the server accepted the
  // message; otherwise failure says why.
  bool send(deadline_type deadline);
  bool send(std::chrono::milliseconds limit = dialogue_limit);
  // The same up to the server's 354 after DATA, then the connection closed
  // without a line of data, which the server must take as RSET (RFC 5321
  // 3.8): whether it would take the mail's text too, without sending any.
  bool try_until_data(deadline_type deadline);

  // The mail data that send() writes after DATA, the end-of-data line aside.
  std::string wire_data() const;

 private:
  enum class purpose { deliver, try_until_data };
  bool dialogue(deadline_type deadline, purpose what);
  bool envelope(net_tools::tcp_stream& stream, deadline_type deadline);
  bool command(net_tools::tcp_stream& stream, deadline_type deadline, const std::string& text,
               const char* step, bool (*good)(int code) = is_positive);
  bool answered(net_tools::tcp_stream& stream, deadline_type deadline, const char* step,
                bool (*good)(int code));
  bool fail(std::string why);
};

inline bool smtp::send(std::chrono::milliseconds limit) {
  return send(std::chrono::steady_clock::now() + limit);
}

inline bool smtp::send(deadline_type deadline) { return dialogue(deadline, purpose::deliver); }

inline bool smtp::try_until_data(deadline_type deadline) {
  return dialogue(deadline, purpose::try_until_data);
}

inline bool smtp::dialogue(deadline_type deadline, purpose what) {
  failure.reset();
  refused = false;
  refusal_code = 0;
  connected = false;
  data_sent = false;
  for (const std::string* value : {&server, &from, &to, &cc, &bcc, &reply_to})
    if (has_line_break(*value)) return fail("a line break in the server name or an address");
  const std::string peer = server + ":" + std::to_string(port);
  if (std::chrono::steady_clock::now() >= deadline)
    return fail("no time left to connect to " + peer);

  net_tools::tcp_stream stream(server, port, deadline);
  if (!stream) return fail("no connection to " + peer);
  connected = true;
  bool good = envelope(stream, deadline);
  // RFC 5321 3.3: without a 354 the server reads what follows as commands,
  // and the message text must never reach it as such.
  if (good) good = command(stream, deadline, "DATA", "DATA", is_go_ahead);
  if (good && what == purpose::try_until_data) {
    stream.close();  // in the data now, where no command can follow
    return true;
  }
  if (good) {
    stream << (data.empty() ? wire_data() : data) + ".\r\n";
    data_sent = static_cast<bool>(stream);
    good = answered(stream, deadline, "end of data", is_positive);
  }
  quit(stream, deadline);
  stream.close();
  return good;
}

// The greeting, HELO, MAIL FROM and each RCPT TO, each waiting for its
// reply; the first reply that is not good ends them.
inline bool smtp::envelope(net_tools::tcp_stream& stream, deadline_type deadline) {
  if (!answered(stream, deadline, "greeting", is_positive) ||
      !command(stream, deadline, "HELO " + server, "HELO") ||
      !command(stream, deadline, "MAIL FROM: " + from, "MAIL FROM"))
    return false;
  for (const std::string* recipient : {&to, &cc, &bcc}) {
    if (recipient != &to && recipient->empty()) continue;
    if (!command(stream, deadline, "RCPT TO: " + *recipient, "RCPT TO")) return false;
  }
  return true;
}

inline bool smtp::command(net_tools::tcp_stream& stream, deadline_type deadline,
                          const std::string& text, const char* step, bool (*good)(int code)) {
  stream << text + "\r\n";
  return answered(stream, deadline, step, good);
}

// Whether the reply to the step is good; if not, failure says why.
inline bool smtp::answered(net_tools::tcp_stream& stream, deadline_type deadline, const char* step,
                           bool (*good)(int code)) {
  reply r = read_reply(stream);
  if (r.how == reply::complete && good(r.code)) return true;
  refused = r.how == reply::complete;
  refusal_code = refused ? r.code : 0;
  failure = std::string(step) + ": " + not_good(r, deadline);
  return false;
}

inline bool smtp::fail(std::string why) {
  failure = std::move(why);
  return false;
}

// The header block and the text, to go out in one write with the
// end-of-data line. Header lines start with their name, so none of them
// begins with ".". Text from 0x80 up goes out in 7-bit encodings: no server
// is asked whether it takes 8-bit data (RFC 6152), and one that does not
// may mangle it.
inline std::string smtp::wire_data() const {
  const bool utf8 = has_8bit(subject) || has_8bit(body);
  std::string text = "From: " + from + "\r\nTo: " + to + "\r\n";
  if (!cc.empty()) text += "Cc: " + cc + "\r\n";
  if (!reply_to.empty()) text += "Reply-To: " + reply_to + "\r\n";
  if (utf8)
    text += encoded_header("Subject", header_value(subject)) + "\r\n" + utf8_text_headers;
  else
    text += "Subject: " + header_value(subject) + "\r\n";
  text += "\r\n" + body_to_wire(utf8 ? quoted_printable(body) : body) + "\r\n";
  return text;
}

}  // namespace mail_tools

#endif
