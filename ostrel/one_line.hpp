// Text from outside made fit for one line that people read on a terminal.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

// The most of a text from outside quoted on one line.
inline constexpr std::size_t reported_text_limit = 300;

// Text from outside (a mail server's reply, a request header) made fit for
// one line of the web server's error log, which people read on terminals:
// control bytes become spaces and bytes outside ASCII are written as \xHH,
// so none of them can act as a control sequence; the text is cut at limit
// bytes, never inside an escape.
inline std::string one_line(std::string_view text, std::size_t limit = reported_text_limit) {
  static const char hex[] = "0123456789abcdef";
  std::string line;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    char escape[] = {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
    std::string_view piece = byte >= 0x80         ? std::string_view(escape, sizeof escape)
                             : std::iscntrl(byte) ? " "
                                                  : std::string_view(&c, 1);
    if (line.size() + piece.size() > limit) break;
    line += piece;
  }
  return line;
}
