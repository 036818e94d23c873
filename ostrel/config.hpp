// The build's settings as one value: each setting given when the build was
// configured (cmake -DOSTREL_LOG_PATH=... and so on, which the build passes
// on as a definition of the same name) takes the place of its default in
// settings.hpp, where every default stands with its reason. Only a
// program's main includes this file: the values are compiled in, and there
// is no configuration file.
#pragma once

#include <chrono>
#include <string>

#include "ostrel/settings.hpp"

namespace config {

// The error page, and whether the build answers in JSON, without making
// the settings value: the answer when memory has run out.
#ifdef OSTREL_ERROR_PAGE
constexpr const char* error_page = OSTREL_ERROR_PAGE;
#else
constexpr const char* error_page = settings::default_error_page;
#endif
#ifdef OSTREL_JSON
constexpr bool json = OSTREL_JSON != 0;
#else
constexpr bool json = false;
#endif

inline settings built() {
  settings site;
#ifdef OSTREL_LOG_PATH
  site.request_log = OSTREL_LOG_PATH;
#endif
#ifdef OSTREL_OK_PAGE
  site.ok_page = OSTREL_OK_PAGE;
#endif
  site.error_page = error_page;
#ifdef OSTREL_MAIL_HOST
  site.mail_host = OSTREL_MAIL_HOST;
#endif
#ifdef OSTREL_MAIL_PORT
  site.mail_port = OSTREL_MAIL_PORT;
#endif
#ifdef OSTREL_OWNER_ADDRESS
  site.owner_address = OSTREL_OWNER_ADDRESS;
#endif
#ifdef OSTREL_NOTIFY_FROM_OWNER
  site.notify_from_owner = OSTREL_NOTIFY_FROM_OWNER != 0;
#endif
#ifdef OSTREL_THANK_YOU
  site.thank_you = OSTREL_THANK_YOU != 0;
#endif
#ifdef OSTREL_UTF8
  site.utf8 = OSTREL_UTF8 != 0;
#endif
#ifdef OSTREL_REQUEST_LIMIT
  site.request_limit = OSTREL_REQUEST_LIMIT;
#endif
#ifdef OSTREL_NAME_LIMIT
  site.name_limit = OSTREL_NAME_LIMIT;
#endif
#ifdef OSTREL_SUBJECT_LIMIT
  site.subject_limit = OSTREL_SUBJECT_LIMIT;
#endif
#ifdef OSTREL_MESSAGE_LIMIT
  site.message_limit = OSTREL_MESSAGE_LIMIT;
#endif
#ifdef OSTREL_LOG_TIME
  site.log_time = OSTREL_LOG_TIME != 0;
#endif
#ifdef OSTREL_OUTBOX
  site.outbox = OSTREL_OUTBOX;
#endif
  site.json = json;
#ifdef OSTREL_BODY_TIMEOUT_MS
  site.body_timeout = std::chrono::milliseconds(OSTREL_BODY_TIMEOUT_MS);
#endif
#ifdef OSTREL_LOG_LOCK_TIMEOUT_MS
  site.log_lock_timeout = std::chrono::milliseconds(OSTREL_LOG_LOCK_TIMEOUT_MS);
#endif
#ifdef OSTREL_MAIL_TIMEOUT_MS
  site.mail_timeout = std::chrono::milliseconds(OSTREL_MAIL_TIMEOUT_MS);
#endif
#ifdef OSTREL_HONEYPOT_FIELD
  site.honeypot_field = OSTREL_HONEYPOT_FIELD;
#endif
#ifdef OSTREL_POST_ONLY
  site.post_only = OSTREL_POST_ONLY != 0;
#endif
#ifdef OSTREL_SAME_SITE
  site.same_site = OSTREL_SAME_SITE != 0;
#endif
#ifdef OSTREL_SITE_ORIGINS
  site.site_origins = OSTREL_SITE_ORIGINS;
  site.same_site = site.same_site || !site.site_origins.empty();  // naming them turns it on
#endif
#ifdef OSTREL_SPAM_LOG
  site.spam_log = OSTREL_SPAM_LOG;
#endif
#ifdef OSTREL_MAX_LINKS
  site.max_links = OSTREL_MAX_LINKS;
#endif
  return site;
}

// Checked when the build is configured, before any program runs.
#ifdef OSTREL_OK_PAGE
static_assert(sizeof OSTREL_OK_PAGE - 1 <= settings::longest_page,
              "OSTREL_OK_PAGE: at most 1024 bytes");
#endif
#ifdef OSTREL_ERROR_PAGE
static_assert(sizeof OSTREL_ERROR_PAGE - 1 <= settings::longest_page,
              "OSTREL_ERROR_PAGE: at most 1024 bytes");
#endif

}  // namespace config

// --- Limits fixed where a component's public interface puts them ---------------
// The decoder's six fault texts and their streams:
//   fault_text, cgi_tools/cgi.hpp ("Must run as a cgi...", "CONTENT_LENGTH = null"
//   go to standard error without the "ostrel: " of the program's own lines)
// The wait for a POST body when the caller names none (30 s):
//   cgi_tools::body_time_limit, cgi_tools/cgi.hpp (the program names body_timeout)
// A line of a mail's body, 998 octets (RFC 5322 2.1.1): mail_tools::longest_line
// A quoted-printable body line, 76 octets; an encoded-word, 75; a line of an
// encoded subject, 78 (RFC 2045 6.7, RFC 2047 2, RFC 5322 2.1.1):
//   mail_tools::longest_encoded_line, longest_encoded_word, longest_header_line
// A reply line from the mail server, 512 octets; a reply, 32 lines; what is
// kept of it, 512 bytes (RFC 5321 4.5.3.1.5, 4.2.1): mail_tools::longest_reply_line,
//   most_reply_lines, kept_reply_text, mail_tools/smtp.hpp
// The wait for the reply to QUIT, 1 s: mail_tools::quit_wait
// A dialogue whose caller names no limit, 10 s: mail_tools::dialogue_limit
//   (the program always names mail_timeout)
// The most one read takes off a connection, 1024 bytes: net_tools::tcp_stream::read_size
// How far past its deadline a wait may end, 10 ms: timeout_slack, net_tools/tcp_stream.cpp
// The longest wait of one receive, 1 s: longest_receive_wait, net_tools/tcp_stream.cpp
// Text quoted on standard error, 300 bytes: reported_text_limit, ostrel/one_line.hpp
// A writer's pauses while a log is locked, 0.5 to 20 ms: lock_first_pause,
//   lock_longest_pause, log_tools/log_file.hpp
// How long a kept mail is sent again before it goes to failed/, 5 days
//   (RFC 5321 4.5.4.1): kept_at_most, ostrel/resend.hpp
