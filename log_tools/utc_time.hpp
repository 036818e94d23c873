// A moment as UTC text, "2026-12-07T22:14:03Z" (RFC 3339), and back.
// Worked out from the seconds since 1970 rather than by gmtime and
// strftime, which bring the time zone code into a static program and with it
// scanf and the floating point parsers: a sixth more to load at each start.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace log_tools {

namespace detail {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back (H. Hinnant, "chrono-Compatible Low-Level Date Algorithms").
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct civil {
  std::int64_t year;
  unsigned month, day;
};

constexpr civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

inline void put_digits(std::string& out, std::int64_t value, int width) {
  std::string digits = std::to_string(value);
  const auto size = static_cast<std::size_t>(width);
  out.append(size > digits.size() ? size - digits.size() : 0, '0');
  out += digits;
}

}  // namespace detail

// The text of a moment, given as seconds since 1970-01-01 UTC.
inline std::string utc_text(std::int64_t seconds) {
  const std::int64_t day = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t in_day = seconds - day * 86400;
  const detail::civil date = detail::civil_from_days(day);
  std::string out;
  detail::put_digits(out, date.year, 4);
  out += '-';
  detail::put_digits(out, date.month, 2);
  out += '-';
  detail::put_digits(out, date.day, 2);
  out += 'T';
  detail::put_digits(out, in_day / 3600, 2);
  out += ':';
  detail::put_digits(out, in_day / 60 % 60, 2);
  out += ':';
  detail::put_digits(out, in_day % 60, 2);
  return out + 'Z';
}

inline std::string utc_now() { return utc_text(std::time(nullptr)); }

// The seconds of a text that utc_text makes, "YYYY-MM-DDTHH:MM:SSZ";
// nothing for any other text or for a date that does not exist.
inline std::optional<std::int64_t> utc_seconds(std::string_view text) {
  if (text.size() != 20) return {};
  auto number = [&text](std::size_t at, std::size_t size) -> std::int64_t {
    std::int64_t value = 0;
    for (std::size_t i = at; i < at + size; ++i) {
      if (text[i] < '0' || text[i] > '9') return -1;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const std::pair<std::size_t, char> marks[] = {{4, '-'},  {7, '-'},  {10, 'T'},
                                                {13, ':'}, {16, ':'}, {19, 'Z'}};
  for (auto [at, mark] : marks)
    if (text[at] != mark) return {};
  const std::int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2),
                     hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return {};
  const std::int64_t days =
      detail::days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  if (detail::civil_from_days(days).day != static_cast<unsigned>(day)) return {};  // 31 April
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace log_tools
