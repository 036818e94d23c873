// mail_tools mime: text with bytes from 0x80 up, UTF-8, carried over a 7-bit
// transport: the body quoted-printable, a header value as encoded-words.
#ifndef MAIL_TOOLS_MIME_HPP
#define MAIL_TOOLS_MIME_HPP

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace mail_tools {

// The header lines that make the body UTF-8 text sent quoted-printable.
inline constexpr char utf8_text_headers[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";

// RFC 2045 6.7 (5): an encoded line is at most 76 characters, a soft break's "=" included.
inline constexpr std::size_t longest_encoded_line = 76;
// RFC 2047 2: an encoded-word is at most 75 octets.
inline constexpr std::size_t longest_encoded_word = 75;
// RFC 5322 2.1.1: a header line should be at most 78 octets before its CR LF.
inline constexpr std::size_t longest_header_line = 78;

// True when text holds a byte from 0x80 up, which a 7-bit transport cannot carry.
inline bool has_8bit(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

// RFC 2045 6.7 (2), (3): printable ASCII but "=" may stand for itself, and so
// may a space or tab, unless it ends a line, where a transport may strip it.
inline bool stands_for_itself(char c, bool ends_line) {
  if (c == ' ' || c == '\t') return !ends_line;
  return c >= '!' && c <= '~' && c != '=';
}

// The body as RFC 2045 6.7 quoted-printable: its own line breaks, each CR LF,
// lone CR or lone LF, as CR LF hard breaks; lines cut by soft breaks to at
// most 76 characters, never inside an =XY; printable ASCII left readable.
inline std::string quoted_printable(std::string_view body) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      column = 0;
      continue;
    }
    const bool ends_line = i + 1 == body.size() || body[i + 1] == '\r' || body[i + 1] == '\n';
    const bool plain = stands_for_itself(c, ends_line);
    const std::size_t width = plain ? 1 : 3;
    // Only a line's last piece may take the place of a soft break's "=".
    if (column + width > longest_encoded_line - (ends_line ? 0 : 1)) {
      out += "=\r\n";
      column = 0;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (plain)
      out += c;
    else
      out += {'=', hex[byte >> 4], hex[byte & 15]};
    column += width;
  }
  return out;
}

// How many bytes from at make one character: a UTF-8 lead byte with all the
// continuation bytes it announces, else the byte at at alone.
inline std::size_t character_size(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t size = lead < 0xC0   ? 1
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF8 ? 4
                                         : 1;
  if (at + size > text.size()) return 1;
  for (std::size_t i = 1; i < size; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 1;
  return size;
}

// RFC 2045 6.8: each three bytes as four characters, "=" filling the last four.
inline std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned long group = 0;
    for (std::size_t k = i; k < i + 3; ++k)
      group = group << 8 | (k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u);
    const std::size_t shown = bytes.size() - i > 2 ? 4 : bytes.size() - i + 1;
    for (std::size_t k = 0; k < 4; ++k)
      out += k < shown ? alphabet[group >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

// The header "name: value", the value written whole as RFC 2047 encoded-words
// of whole UTF-8 characters, folded with CR LF SP so that no line is over 78
// octets (name must leave a word room). Readers ignore the white space between
// adjacent encoded-words (RFC 2047 6.2), so the words give back the value.
// B rather than Q: a word's length follows from its byte count alone.
inline std::string encoded_header(std::string_view name, std::string_view value) {
  static constexpr std::string_view start = "=?UTF-8?B?", end = "?=";
  std::string out = std::string(name) + ": ";
  std::size_t used = out.size();  // octets already on the line
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t room = std::min(longest_encoded_word, longest_header_line - used);
    const std::size_t most = (room - start.size() - end.size()) / 4 * 3;
    std::size_t size = character_size(value, at);
    while (at + size < value.size() && size + character_size(value, at + size) <= most)
      size += character_size(value, at + size);
    if (at > 0) out += "\r\n ";
    out.append(start).append(base64(value.substr(at, size))).append(end);
    at += size;
    used = 1;
  }
  return out;
}

}  // namespace mail_tools

#endif
