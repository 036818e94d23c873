// Well-formed UTF-8 as Unicode defines it (3.9, table 3-7): what a value
// holds of letters outside ASCII where the build keeps them, and what JSON
// wants of the values it carries.
#pragma once

#include <cstddef>
#include <string_view>

namespace log_tools {

// The first UTF-8 sequence of text, which starts with a byte from 0x80 up:
// its size and whether it is well-formed, or else the size of its maximal
// ill-formed subpart, the bytes that one U+FFFD stands for (Unicode 3.9).
struct utf8_sequence {
  std::size_t size;
  bool well_formed;
};

inline utf8_sequence first_sequence(std::string_view text) {
  auto lead = static_cast<unsigned char>(text[0]);
  std::size_t size = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  if (size == 1) return {1, false};  // a continuation byte, or a lead no sequence starts with
  // The second byte's range is narrower after these leads: no overlong
  // form, no surrogate, nothing past U+10FFFF.
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  for (std::size_t i = 1; i < size; ++i) {
    auto byte = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
    if (byte < low || byte > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {size, true};
}

}  // namespace log_tools
