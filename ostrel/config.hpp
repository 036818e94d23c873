// Every setting, limit and fixed text of the program, in one place.
//
// The settings in the #ifndef blocks can be given when the build is
// configured (cmake -DOSTREL_LOG_PATH=... and so on); these are their
// defaults, and the build prints the values it uses. The constants after
// them are fixed. Those whose place a component's public interface fixes
// are named at the end, with where they live.
#pragma once

#include <cstddef>
#include <string>

// --- Where the site keeps things ---------------------------------------------
#ifndef OSTREL_LOG_PATH
#define OSTREL_LOG_PATH "/home/ruvak/ostrel/request_form.log"  // the site owner's request log
#endif
#ifndef OSTREL_OK_PAGE
#define OSTREL_OK_PAGE "/~ruvak/form_ok.html"  // thank-you page, served by the web server
#endif
#ifndef OSTREL_ERROR_PAGE
#define OSTREL_ERROR_PAGE "/~ruvak/form_error.html"  // one page for every refusal
#endif

// --- The mail ----------------------------------------------------------------
#ifndef OSTREL_MAIL_HOST
#define OSTREL_MAIL_HOST "localhost"  // the mail server runs on this machine
#endif
#ifndef OSTREL_MAIL_PORT
#define OSTREL_MAIL_PORT 2600  // where that mail server listens for us
#endif
#ifndef OSTREL_OWNER_ADDRESS
#define OSTREL_OWNER_ADDRESS "webmaster@localhost"  // receives every notification
#endif

// --- What a submission may hold, in bytes --------------------------------------
#ifndef OSTREL_REQUEST_LIMIT
#define OSTREL_REQUEST_LIMIT 3000  // the raw request text, as sent; longer is not read at all
#endif
#ifndef OSTREL_NAME_LIMIT
#define OSTREL_NAME_LIMIT 512  // each field counted after cleaning
#endif
#ifndef OSTREL_SUBJECT_LIMIT
#define OSTREL_SUBJECT_LIMIT 512
#endif
#ifndef OSTREL_MESSAGE_LIMIT
#define OSTREL_MESSAGE_LIMIT 1024
#endif

// --- How long anything may take, in milliseconds -------------------------------
#ifndef OSTREL_BODY_TIMEOUT_MS
#define OSTREL_BODY_TIMEOUT_MS 30000  // a client that stops sending its form must not hold a process
#endif
#ifndef OSTREL_LOG_LOCK_TIMEOUT_MS
#define OSTREL_LOG_LOCK_TIMEOUT_MS 3000  // a backup holding the log must not hold requests
#endif
#ifndef OSTREL_MAIL_TIMEOUT_MS
#define OSTREL_MAIL_TIMEOUT_MS 10000  // both mails: a stalled server must not hold the answer
#endif

// --- Defences against bots on a public form, each off unless the build turns it on
#ifndef OSTREL_HONEYPOT_FIELD
#define OSTREL_HONEYPOT_FIELD ""  // a hidden field that people leave empty; "": none
#endif
#ifndef OSTREL_POST_ONLY
#define OSTREL_POST_ONLY 0  // 1: refuse submissions by GET, which any page's <img> can make
#endif
#ifndef OSTREL_SAME_SITE
#define OSTREL_SAME_SITE 0  // 1: refuse submissions that another site's page sent
#endif
// The origins that are this site, separated by spaces ("https://example.org
// https://www.example.org"); naming them turns the same-site check on and
// compares with them instead of the Host the request names, which a page on
// any name that resolves to this server can set (DNS rebinding), and which a
// proxy that ends TLS reports with the wrong scheme.
#ifndef OSTREL_SITE_ORIGINS
#define OSTREL_SITE_ORIGINS ""  // "": the request's own Host is the site
#endif

namespace config {
constexpr const char* request_log = OSTREL_LOG_PATH;
constexpr const char* ok_page = OSTREL_OK_PAGE;
constexpr const char* error_page = OSTREL_ERROR_PAGE;

constexpr const char* mail_host = OSTREL_MAIL_HOST;
constexpr int mail_port = OSTREL_MAIL_PORT;
constexpr const char* owner_address = OSTREL_OWNER_ADDRESS;

constexpr int request_limit = OSTREL_REQUEST_LIMIT;
constexpr std::size_t name_limit = OSTREL_NAME_LIMIT;
constexpr std::size_t subject_limit = OSTREL_SUBJECT_LIMIT;
constexpr std::size_t message_limit = OSTREL_MESSAGE_LIMIT;

constexpr int body_timeout_ms = OSTREL_BODY_TIMEOUT_MS;
constexpr int log_lock_timeout_ms = OSTREL_LOG_LOCK_TIMEOUT_MS;
constexpr int mail_timeout_ms = OSTREL_MAIL_TIMEOUT_MS;

constexpr const char* honeypot_field = OSTREL_HONEYPOT_FIELD;
constexpr bool post_only = OSTREL_POST_ONLY;
constexpr const char* site_origins = OSTREL_SITE_ORIGINS;
constexpr bool same_site = OSTREL_SAME_SITE != 0 || *site_origins != '\0';

// --- Fixed ---------------------------------------------------------------------
// The most of a mail server's reply or a request header quoted on standard error.
constexpr std::size_t reported_text_limit = 300;
// The longest page path of a redirect; the answer is built without allocating.
constexpr std::size_t longest_page = 1024;
static_assert(std::char_traits<char>::length(ok_page) <= longest_page &&
                  std::char_traits<char>::length(error_page) <= longest_page,
              "OSTREL_OK_PAGE and OSTREL_ERROR_PAGE: at most 1024 bytes");
// How a submission waits for a lock held on the log: pauses that double
// from the first to the longest, until log_lock_timeout_ms.
constexpr int lock_first_pause_us = 500;
constexpr int lock_longest_pause_us = 20000;
// The thank-you mail, the same for everyone.
constexpr const char* thank_you_subject = "Thank you...";
constexpr const char* thank_you_text = "Thank you for filling out the request form...";
}  // namespace config

// --- Named here, fixed where a component's public interface puts them -----------
// The decoder's six fault texts and their streams:
//   fault_text, cgi_tools/cgi.hpp ("Must run as a cgi...", "CONTENT_LENGTH = null"
//   go to standard error without the "ostrel: " of the program's own lines)
// The wait for a POST body when the caller names none (30 s):
//   cgi_tools::body_time_limit, cgi_tools/cgi.hpp (the program names body_timeout_ms)
// A line of a mail's body, 998 octets (RFC 5322 2.1.1): mail_tools::longest_line
// A reply line from the mail server, 512 octets; a reply, 32 lines; what is
// kept of it, 512 bytes (RFC 5321 4.5.3.1.5, 4.2.1): mail_tools::longest_reply_line,
//   most_reply_lines, kept_reply_text, mail_tools/smtp.hpp
// The wait for the reply to QUIT, 1 s: mail_tools::quit_wait
// A dialogue whose caller names no limit, 10 s: mail_tools::dialogue_limit
//   (the program always names mail_timeout_ms)
// The most one read takes off a connection, 1024 bytes: net_tools::tcp_stream::read_size
// How far past its deadline a wait may end, 10 ms: timeout_slack, net_tools/tcp_stream.cpp
