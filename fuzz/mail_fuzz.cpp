// Fuzz target of the mail that the SMTP sender writes. The sender runs for
// real against a stand-in for the TCP stream, defined below in place of
// net_tools' own (this target does not link net_tools): a small model of a
// server that records every byte written and answers each command, in one
// line or several, answering the step it was told to with a refusal or a
// bad reply. The record is then read as an SMTP server would read it.
//
// Input: a flags byte (bit 0: the connection is not made; the other bits, when
// not 0, the number of reply bytes after which the connection is lost), a
// reply byte (bits 0-2: the step whose reply is bad, 0 for none, then
// greeting, HELO, MAIL FROM, RCPT TO, DATA, end of data, QUIT; bit 3: every
// reply in two lines; bits 4-5: what the bad reply is: a refusal, a code with
// letters, two codes in one reply, a line too long), then server, from, to,
// cc, bcc and subject, each ended by a NUL byte; the rest is the body.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/check.hpp"
#include "mail_tools/smtp.hpp"

namespace {

enum step { none, greeting, helo, mail_from, rcpt_to, data, end_of_data, quit };
enum bad_reply { refusal, letters_in_code, mixed_codes, line_too_long };

struct wire_record {
  bool refuse = false;         // the next connection fails
  std::size_t lose_after = 0;  // reply bytes until the connection is lost; 0: never
  int refused_step = none;
  int bad = refusal;
  bool multi_line = false;
  int connections = 0;
  std::string sent;
  std::string line;  // the client's line so far
  bool in_data = false;
  std::string due;            // reply bytes the client has yet to read
  std::size_t replied = 0;    // reply bytes it has read
  bool talked_early = false;  // wrote before it had read a whole reply
  bool read_unasked = false;  // waited for a reply that was never due
};
wire_record wire;

void queue_reply(int at) {
  const std::string code = at == greeting ? "220" : at == data ? "354" : at == quit ? "221" : "250";
  if (at == wire.refused_step && wire.bad != refusal) {
    wire.due += wire.bad == letters_in_code ? code.substr(0, 1) + "x" + code.substr(2) + " bad\r\n"
                : wire.bad == mixed_codes   ? code + "-first line\r\n554 last line\r\n"
                                            : code + " " + std::string(600, 'x') + "\r\n";
    return;
  }
  std::string shown = at == wire.refused_step ? "554" : code;
  if (wire.multi_line) wire.due += shown + "-first line\r\n";
  wire.due += shown + " last line\r\n";
  if (at == data && at != wire.refused_step) wire.in_data = true;
}

int command_step(const std::string& line) {
  for (auto [verb, at] : {std::pair{"HELO ", helo},
                          {"MAIL FROM: ", mail_from},
                          {"RCPT TO: ", rcpt_to},
                          {"DATA\r\n", data},
                          {"QUIT\r\n", quit}})
    if (line.rfind(verb, 0) == 0) return at;
  return none;
}

// What the model server makes of the bytes the client writes.
void server_reads(const std::string& text) {
  if (!wire.due.empty()) wire.talked_early = true;
  wire.sent += text;
  for (char c : text) {
    wire.line += c;
    if (c != '\n') continue;
    if (wire.in_data) {
      if (wire.line == ".\r\n") {
        wire.in_data = false;
        queue_reply(end_of_data);
      }
    } else {
      int at = command_step(wire.line);
      if (at != none) queue_reply(at);
    }
    wire.line.clear();
  }
}

}  // namespace

namespace net_tools {

tcp_stream::tcp_stream(const std::string&, int, std::chrono::steady_clock::time_point) {
  ++wire.connections;
  failed = wire.refuse;
  is_open = !wire.refuse;
  if (!failed) queue_reply(greeting);
}
tcp_stream::~tcp_stream() {}
tcp_stream::operator void*() { return failed ? nullptr : this; }
char tcp_stream::get() {
  if (failed) return '\0';
  if (wire.lose_after != 0 && wire.replied == wire.lose_after) {
    failed = true;  // as the real stream: a lost connection gives NUL and fails
    return '\0';
  }
  if (wire.due.empty()) {
    // The real stream would wait for the time limit.
    wire.read_unasked = true;
    failed = true;
    return '\0';
  }
  char c = wire.due[0];
  wire.due.erase(0, 1);
  ++wire.replied;
  return c;
}
tcp_stream& tcp_stream::operator<<(const char* text) {
  if (!failed) server_reads(text);
  return *this;
}
tcp_stream& tcp_stream::operator<<(const std::string& text) {
  if (!failed) server_reads(text);
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

bool has_line_over(const std::string& text, std::size_t limit) {
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    if (end - start > limit) return true;
  return text.size() - start > limit;
}

// RFC 2045 6.7, 6.8 read back: width bits a character, its place in alphabet.
std::string from_digits(const std::string& alphabet, unsigned width, const std::string& text) {
  std::string out;
  unsigned long bits = 0;
  unsigned held = 0;
  for (char c : text) {
    FUZZ_CHECK(alphabet.find(c) != std::string::npos);
    bits = bits << width | alphabet.find(c);
    if ((held += width) >= 8) out += static_cast<char>(bits >> (held -= 8) & 0xFF);
  }
  return out;
}

// RFC 2045 6.7: =XY in upper-case hex, a line's last "=" a soft break, all 7-bit.
std::string from_quoted_printable(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += text[i] == '=' ? 3u : 1u) {
    FUZZ_CHECK(!(text[i] & 0x80) && (text[i] != '=' || i + 2 < text.size()));
    if (text[i] != '=')
      out += text[i];
    else if (text.compare(i + 1, 2, "\r\n") != 0)
      out += from_digits("0123456789ABCDEF", 4, text.substr(i + 1, 2));
  }
  return out;
}

// RFC 2047: the subject's encoded-words, one a line, each line within 78 octets.
std::string subject_words(const std::vector<std::string>& lines, std::size_t& at) {
  std::string value;
  for (std::size_t first = at; at < lines.size() && (at == first || lines[at][0] == ' '); ++at) {
    std::string word = lines[at].substr(at == first ? 9 : 1);
    if (word.empty() && at == first) continue;  // an empty subject
    std::string text = word.size() > 12 ? word.substr(10, word.size() - 12) : "";
    FUZZ_CHECK(lines[at].size() <= 78 && word.size() <= 75 && "=?UTF-8?B?" + text + "?=" == word &&
               text.size() % 4 == 0);
    value += from_digits("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 6,
                         text.substr(0, text.find_last_not_of('=') + 1));
  }
  return value;
}

// Reads the data section as the server would: header block, then the body
// lines up to the first line ".", with a leading dot taken off each line.
void check_data(const mail_tools::smtp& mail, const std::vector<std::string>& lines,
                std::size_t data_start) {
  const std::string text = mail.subject + mail.body;
  const bool mime = std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; });
  std::vector<std::string> headers = {"From: " + mail.from, "To: " + mail.to};
  if (!mail.cc.empty()) headers.push_back("Cc: " + mail.cc);
  std::size_t at = data_start;
  for (const std::string& header : headers) FUZZ_CHECK(at < lines.size() && lines[at++] == header);
  FUZZ_CHECK(at < lines.size() && starts_with(lines[at], "Subject: "));
  if (mime) {
    FUZZ_CHECK(subject_words(lines, at) == mail_tools::header_value(mail.subject));
    for (const char* header : {"MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
                               "Content-Transfer-Encoding: quoted-printable"})
      FUZZ_CHECK(at < lines.size() && lines[at++] == header);
  } else {
    // Subject: one line, whatever line breaks the value held.
    std::string subject = lines[at++].substr(9);
    FUZZ_CHECK(without(subject, " ") == without(mail.subject, " \r\n"));
  }
  FUZZ_CHECK(at < lines.size() && lines[at++].empty());  // end of the header block

  std::string body;
  bool ended = false;
  for (; at < lines.size(); ++at) {
    if (lines[at] == ".") {
      ended = true;
      ++at;
      break;
    }
    std::string line = !lines[at].empty() && lines[at][0] == '.' ? lines[at].substr(1) : lines[at];
    FUZZ_CHECK(line.size() <= (mime ? 76 : mail_tools::longest_line));
    body += line + "\r\n";
  }
  FUZZ_CHECK(ended);
  // Only QUIT follows the end of the data: no body line reached the server as a command.
  FUZZ_CHECK(at + 1 == lines.size() && lines[at] == "QUIT");
  // The sender ends the body with one CR LF of its own. Lines over the limit
  // come as several, so then only the text between the line ends is the same.
  std::string want = with_crlf(mail.body) + "\r\n";
  if (mime)
    FUZZ_CHECK(from_quoted_printable(body) == want);
  else if (has_line_over(want, mail_tools::longest_line))
    FUZZ_CHECK(without(body, "\r\n") == without(want, "\r\n"));
  else
    FUZZ_CHECK(body == want);
}

void check_mail(mail_tools::smtp& mail, bool refuse, std::size_t lose_after, int refused_step,
                int bad, bool multi_line) {
  auto start = [&] {
    wire = wire_record();
    wire.refuse = refuse;
    wire.refused_step = refused_step;
    wire.bad = bad;
    wire.multi_line = multi_line;
  };
  start();
  bool sent = mail.send();
  // The client waits for each reply's last line before it talks again, and
  // never for a reply that is not due; a line too long it gives up on.
  FUZZ_CHECK(!wire.read_unasked);
  FUZZ_CHECK(!wire.talked_early || (bad == line_too_long && refused_step != none));
  FUZZ_CHECK(sent == !mail.failure);
  bool refused = mail.refused;
  wire_record whole = wire;
  if (lose_after != 0 && !refuse) {
    // A connection lost midway: the dialogue ends, having written no more
    // than the start of what a whole dialogue writes, and says why.
    start();
    wire.lose_after = lose_after;
    bool sent_lost = mail.send();
    FUZZ_CHECK(!sent_lost || sent);
    FUZZ_CHECK(sent_lost == !mail.failure);
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
  // Any bad reply on the way fails the send; the server's answer to QUIT does not.
  FUZZ_CHECK(sent == (refused_step == none || refused_step == quit));
  FUZZ_CHECK(refused == (!sent && bad == refusal));
  FUZZ_CHECK(wire.connections == 1);

  std::vector<std::string> lines = wire_lines(wire.sent);
  std::vector<std::string> envelope = {"HELO " + mail.server, "MAIL FROM: " + mail.from,
                                       "RCPT TO: " + mail.to};
  if (!mail.cc.empty()) envelope.push_back("RCPT TO: " + mail.cc);
  if (!mail.bcc.empty()) envelope.push_back("RCPT TO: " + mail.bcc);
  envelope.push_back("DATA");
  if (refused_step >= greeting && refused_step <= data) {
    // The dialogue stops at the bad reply: the commands up to its step, then
    // QUIT, and nothing of the message.
    std::size_t commands = refused_step == greeting  ? 0
                           : refused_step == rcpt_to ? 3
                           : refused_step == data    ? envelope.size()
                                                     : static_cast<std::size_t>(refused_step - 1);
    FUZZ_CHECK(lines.size() == commands + 1 && lines.back() == "QUIT");
    for (std::size_t i = 0; i < commands; ++i) FUZZ_CHECK(lines[i] == envelope[i]);
    return;
  }
  FUZZ_CHECK(lines.size() > envelope.size());
  for (std::size_t i = 0; i < envelope.size(); ++i) FUZZ_CHECK(lines[i] == envelope[i]);
  check_data(mail, lines, envelope.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  bool refuse = data[0] & 1;
  std::size_t lose_after = data[0] >> 1;
  int refused_step = data[1] & 7;
  bool multi_line = data[1] & 8;
  int bad = (data[1] >> 4) & 3;
  std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
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
  check_mail(mail, refuse, lose_after, refused_step, bad, multi_line);
  return 0;
}
