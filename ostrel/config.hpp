// Deployment constants. Each can be set when the build is configured
// (cmake -DOSTREL_LOG_PATH=... and so on); these are the defaults.
//
// The fixed limits and answers stay with the code that uses them
// (docs/how-it-works.md maps them all):
//   raw request text, 3000 bytes:         request_limit, ostrel/main.cpp
//   name, subject, message, 512/512/1024: name_limit and the others, ostrel/ostrel.cpp
//   both mails, waiting for the log:      mail_timeout_ms, log_lock_timeout_ms below
//     (mail_tools::dialogue_limit, ten seconds, is only the default of a
//     send() that the program never calls)
//   the redirects:                        ok_page, error_page below; write_redirect,
//                                         ostrel/ostrel.cpp, also after an exception
//                                         in ostrel/main.cpp
//   the decoder's fault texts:            fault_text, cgi_tools/cgi.hpp
#pragma once

#include <cstddef>
#include <string>

#ifndef OSTREL_LOG_PATH
#define OSTREL_LOG_PATH "/home/ruvak/ostrel/request_form.log"  // the site owner's request log
#endif
#ifndef OSTREL_OK_PAGE
#define OSTREL_OK_PAGE "/~ruvak/form_ok.html"  // thank-you page, served by the web server
#endif
#ifndef OSTREL_ERROR_PAGE
#define OSTREL_ERROR_PAGE "/~ruvak/form_error.html"  // one page for every refusal
#endif
#ifndef OSTREL_MAIL_HOST
#define OSTREL_MAIL_HOST "localhost"  // the mail server runs on this machine
#endif
#ifndef OSTREL_MAIL_PORT
#define OSTREL_MAIL_PORT 2600  // where that mail server listens for us
#endif
#ifndef OSTREL_OWNER_ADDRESS
#define OSTREL_OWNER_ADDRESS "webmaster@localhost"  // receives every notification
#endif
#ifndef OSTREL_MAIL_TIMEOUT_MS
#define OSTREL_MAIL_TIMEOUT_MS 10000  // both mails: a stalled server must not hold the answer
#endif
#ifndef OSTREL_BODY_TIMEOUT_MS
#define OSTREL_BODY_TIMEOUT_MS 30000  // a client that stops sending its form must not hold a process
#endif
#ifndef OSTREL_LOG_LOCK_TIMEOUT_MS
#define OSTREL_LOG_LOCK_TIMEOUT_MS 3000  // a backup holding the log must not hold requests
#endif
// Defences against bots on a public form, each off unless the build turns it on.
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
constexpr int mail_timeout_ms = OSTREL_MAIL_TIMEOUT_MS;
constexpr int log_lock_timeout_ms = OSTREL_LOG_LOCK_TIMEOUT_MS;
constexpr int body_timeout_ms = OSTREL_BODY_TIMEOUT_MS;
constexpr const char* honeypot_field = OSTREL_HONEYPOT_FIELD;
constexpr bool post_only = OSTREL_POST_ONLY;
constexpr const char* site_origins = OSTREL_SITE_ORIGINS;
constexpr bool same_site = OSTREL_SAME_SITE || *site_origins;
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
}  // namespace config
