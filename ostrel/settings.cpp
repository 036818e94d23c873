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
  const settings site = config::built();
  text("request_log", site.request_log.c_str(), true);
  text("ok_page", site.ok_page.c_str());
  text("error_page", site.error_page.c_str());
  text("mail_host", site.mail_host.c_str());
  number("mail_port", site.mail_port);
  text("owner_address", site.owner_address.c_str());
  flag("notify_from_owner", site.notify_from_owner);
  flag("thank_you", site.thank_you);
  flag("utf8", site.utf8);
  number("request_limit", site.request_limit);
  number("name_limit", static_cast<long>(site.name_limit));
  number("subject_limit", static_cast<long>(site.subject_limit));
  number("message_limit", static_cast<long>(site.message_limit));
  number("longest_address", static_cast<long>(site.longest_address));
  flag("log_time", site.log_time);
  text("outbox", site.outbox.c_str());
  flag("json", site.json);
  number("mail_timeout_ms", static_cast<long>(site.mail_timeout.count()));
  number("log_lock_timeout_ms", static_cast<long>(site.log_lock_timeout.count()));
  number("body_timeout_ms", static_cast<long>(site.body_timeout.count()));
  text("honeypot_field", site.honeypot_field.c_str());
  number("max_links", site.max_links);
  text("spam_log", site.spam_log.c_str());
  flag("post_only", site.post_only);
  flag("same_site", site.same_site);
  text("site_origins", site.site_origins.c_str());
  std::puts("}");
  return 0;
}
