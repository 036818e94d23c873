// The answer in JSON, for a page's script that sends the form itself and
// asks for it: a status and a JSON object, where a browser that sends the
// form gets the redirect.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cgi_tools/cgi.hpp"
#include "log_tools/log_record.hpp"
#include "ostrel/decision.hpp"
#include "ostrel/settings.hpp"

namespace json_answer {

namespace detail {

inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

// The quality the Accept header gives a media type (RFC 9110 12.5.1): that
// of the most specific range that matches it, "type/sub" before "type/*"
// before "*/*"; 0 when none does. Qualities are read to three decimals, in
// thousandths.
inline int quality(std::string_view accept, std::string_view type, std::string_view sub) {
  int best = 0, specificity = -1;
  while (!accept.empty()) {
    std::size_t comma = accept.find(',');
    std::string_view range = accept.substr(0, comma);
    accept.remove_prefix(comma == std::string_view::npos ? accept.size() : comma + 1);
    std::size_t semicolon = range.find(';');
    std::string_view name = trimmed(range.substr(0, semicolon));
    std::size_t slash = name.find('/');
    if (slash == std::string_view::npos) continue;
    std::string_view t = name.substr(0, slash), s = name.substr(slash + 1);
    int rank = t == "*" && s == "*" ? 0 : s == "*" && same_text(t, type) ? 1 : -1;
    if (same_text(t, type) && same_text(s, sub)) rank = 2;
    if (rank <= specificity) continue;
    int q = 1000;
    while (semicolon != std::string_view::npos) {
      range.remove_prefix(semicolon + 1);
      semicolon = range.find(';');
      std::string_view parameter = trimmed(range.substr(0, semicolon));
      if (parameter.size() < 2 || (parameter[0] | 0x20) != 'q' || parameter[1] != '=') continue;
      q = 0;
      int scale = 1000;
      for (char c : parameter.substr(2)) {
        if (c == '.') continue;
        if (c < '0' || c > '9' || scale == 0) break;
        q += (c - '0') * scale;
        scale /= 10;
      }
    }
    best = q > 1000 ? 1000 : q;
    specificity = rank;
  }
  return best;
}

}  // namespace detail

// Whether the request asks for JSON before HTML; no Accept header, a tie or
// HTML first: the redirect, as every browser gets it.
inline bool prefers_json(std::string_view accept) {
  return detail::quality(accept, "application", "json") > detail::quality(accept, "text", "html");
}

// A CGI answer with a status and a JSON object (RFC 3875 6.3.3). No cache
// may keep it, nor give it to a request that asks for HTML.
inline std::string json(const char* status, const std::string& object,
                        const char* extra_header = "") {
  return std::string("Status: ") + status +
         "\r\nContent-Type: application/json; charset=utf-8\r\nVary: Accept\r\n"
         "Cache-Control: no-store\r\n" +
         extra_header + "\r\n" + object + "\n";
}

inline std::string error(const char* status, const char* code, const char* message,
                         const char* extra_header = "") {
  return json(
      status,
      std::string("{\"ok\": false, \"error\": \"") + code + "\", \"message\": \"" + message + "\"}",
      extra_header);
}

namespace detail {

inline const char* field_name(field which) {
  const char* names[] = {"name", "email", "subject", "message"};
  return names[static_cast<int>(which)];
}

inline const char* problem_code(field_problem problem) {
  const char* codes[] = {"required", "too_long", "invalid"};
  return codes[static_cast<int>(problem)];
}

// What a page may show beside the field as it stands: plain words, no quote
// or backslash, so that they go into JSON as they are.
inline std::string message(const field_error& e, const settings& site) {
  const char* what[] = {"your name", "your email address", "a subject", "your message"};
  const std::size_t limits[] = {site.name_limit, site.longest_address, site.subject_limit,
                                site.message_limit};
  const std::size_t limit = limits[static_cast<int>(e.which)];
  if (e.problem == field_problem::required)
    return std::string("Please enter ") + what[static_cast<int>(e.which)] + ".";
  if (e.problem == field_problem::invalid)
    return "Please enter an address such as ann@example.org: only the letters a to z, digits, "
           "the signs - . + _ and an @.";
  std::string size =
      site.utf8 && e.which != field::email
          ? std::to_string(limit) + " bytes; a letter outside A to Z takes two to four"
          : std::to_string(limit) + " characters";
  return std::string("Please shorten ") + what[static_cast<int>(e.which)] + " to at most " + size +
         ".";
}

}  // namespace detail

// The JSON answer to a verdict and what became of its record.
inline std::string to_verdict(const verdict& v, const log_tools::failure& unlogged,
                              const settings& site) {
  switch (v.what) {
    case verdict::kind::accepted:
      if (unlogged)
        return error("503 Service Unavailable", "unavailable",
                     "The site cannot take requests just now. Please try again later.");
      return json("200 OK", "{\"ok\": true}");
    case verdict::kind::spam:  // a bot learns nothing
      return json("200 OK", "{\"ok\": true}");
    case verdict::kind::cross_site:
      return error("403 Forbidden", "cross_site", "This form can only be sent from its own site.");
    case verdict::kind::not_post:
      return error("405 Method Not Allowed", "method_not_allowed",
                   "This form can only be sent with its button (POST).", "Allow: POST\r\n");
    case verdict::kind::refused:
      break;
  }
  std::string errors;
  for (const field_error& e : v.errors)
    errors += std::string(errors.empty() ? "" : ", ") + "{\"field\": \"" +
              detail::field_name(e.which) + "\", \"code\": \"" + detail::problem_code(e.problem) +
              "\", \"message\": \"" + detail::message(e, site) + "\"}";
  return json("422 Unprocessable Content", "{\"ok\": false, \"errors\": [" + errors + "]}");
}

// The JSON answer to a request the decoder could not read.
inline std::string to_fault(cgi_tools::fault f) {
  switch (f) {
    case cgi_tools::fault::too_long:
    case cgi_tools::fault::query_too_long:
      return error("413 Content Too Large", "too_large", "This request is too long to be read.");
    case cgi_tools::fault::no_memory:
      return error("500 Internal Server Error", "internal",
                   "The site could not read this request.");
    default:
      return error("400 Bad Request", "incomplete_body", "This request did not arrive whole.");
  }
}

// The answer when memory has run out, built by the compiler.
inline constexpr char out_of_memory[] =
    "Status: 500 Internal Server Error\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Vary: Accept\r\nCache-Control: no-store\r\n\r\n"
    "{\"ok\": false, \"error\": \"internal\", \"message\": \"The site could not take this request "
    "just now. Please try again later.\"}\n";

}  // namespace json_answer
