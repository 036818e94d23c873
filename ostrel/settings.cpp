// Prints the settings a build of the program is made with, as one JSON
// object: the build shows them when it is configured, and the pages and the
// tests take their values from it rather than copying them.
#include <cstdio>

#include "ostrel/config.hpp"

namespace {

// One line, so that the build can keep it among its cached values.
void key(const char* name, bool first) { std::printf("%s\"%s\": ", first ? "{" : ", ", name); }

void text(const char* name, const char* value, bool first = false) {
  key(name, first);
  std::putchar('"');
  for (const char* c = value; *c; ++c) {
    if (*c == '"' || *c == '\\') std::putchar('\\');
    std::putchar(*c);
  }
  std::putchar('"');
}

void number(const char* name, long value) {
  key(name, false);
  std::printf("%ld", value);
}

void flag(const char* name, bool value) {
  key(name, false);
  std::fputs(value ? "true" : "false", stdout);
}

}  // namespace

int main() {
  text("request_log", config::request_log, true);
  text("ok_page", config::ok_page);
  text("error_page", config::error_page);
  text("mail_host", config::mail_host);
  number("mail_port", config::mail_port);
  text("owner_address", config::owner_address);
  flag("notify_from_owner", config::notify_from_owner);
  flag("thank_you", config::thank_you);
  number("request_limit", config::request_limit);
  number("name_limit", static_cast<long>(config::name_limit));
  number("subject_limit", static_cast<long>(config::subject_limit));
  number("message_limit", static_cast<long>(config::message_limit));
  number("longest_address", static_cast<long>(config::longest_address));
  number("mail_timeout_ms", config::mail_timeout_ms);
  number("log_lock_timeout_ms", config::log_lock_timeout_ms);
  number("body_timeout_ms", config::body_timeout_ms);
  text("honeypot_field", config::honeypot_field);
  number("max_links", config::max_links);
  text("spam_log", config::spam_log);
  flag("post_only", config::post_only);
  flag("same_site", config::same_site);
  text("site_origins", config::site_origins);
  std::puts("}");
  return 0;
}
