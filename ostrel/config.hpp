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
// 1: the notification comes from the owner's own address, with the
// submitter's as Reply-To. Mailbox providers refuse or file away mail whose
// From names a domain that did not authorize this machine (DMARC), and a
// visitor's domain never did; the owner's can (SPF, DKIM).
#ifndef OSTREL_NOTIFY_FROM_OWNER
#define OSTREL_NOTIFY_FROM_OWNER 0  // 0: from the submitter's address, as it always was
#endif
// 0: no thank-you at all. The thank-you goes to whatever address was typed
// into the form, so anyone can make this machine mail a stranger (once per
// submission, and only the fixed text); without it, submitters get no word
// by mail that their request arrived.
#ifndef OSTREL_THANK_YOU
#define OSTREL_THANK_YOU 1
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
#define OSTREL_BODY_TIMEOUT_MS \
  30000  // a client that stops sending its form must not hold a process
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
// Submissions taken for spam (the hidden field filled in, too many links)
// are kept in this log, in the request log's format, instead of being
// thrown away: a person taken for a bot can be found there.
#ifndef OSTREL_SPAM_LOG
#define OSTREL_SPAM_LOG ""  // "": dropped, with a line on standard error only
#endif
// A submission whose name, subject and message together hold more links
// (http://, https://, www.) than this is taken for spam; -1: no limit.
#ifndef OSTREL_MAX_LINKS
#define OSTREL_MAX_LINKS -1
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
constexpr bool notify_from_owner = OSTREL_NOTIFY_FROM_OWNER != 0;
constexpr bool thank_you = OSTREL_THANK_YOU != 0;

constexpr int request_limit = OSTREL_REQUEST_LIMIT;
constexpr std::size_t name_limit = OSTREL_NAME_LIMIT;
constexpr std::size_t subject_limit = OSTREL_SUBJECT_LIMIT;
constexpr std::size_t message_limit = OSTREL_MESSAGE_LIMIT;

constexpr int body_timeout_ms = OSTREL_BODY_TIMEOUT_MS;
constexpr int log_lock_timeout_ms = OSTREL_LOG_LOCK_TIMEOUT_MS;
constexpr int mail_timeout_ms = OSTREL_MAIL_TIMEOUT_MS;

constexpr const char* honeypot_field = OSTREL_HONEYPOT_FIELD;
constexpr bool post_only = OSTREL_POST_ONLY != 0;
constexpr const char* spam_log = OSTREL_SPAM_LOG;
constexpr int max_links = OSTREL_MAX_LINKS;
constexpr const char* site_origins = OSTREL_SITE_ORIGINS;
constexpr bool same_site = OSTREL_SAME_SITE != 0 || *site_origins != '\0';

// --- Fixed ---------------------------------------------------------------------
// RFC 5321 4.5.3.1.3: a path is at most 256 octets with its angle brackets;
// a longer address cannot exist, and mail servers refuse the command.
constexpr std::size_t longest_address = 254;
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
// A quoted-printable body line, 76 octets; an encoded-word, 75; a line of an
// encoded subject, 78 (RFC 2045 6.7, RFC 2047 2, RFC 5322 2.1.1):
//   mail_tools::longest_encoded_line, longest_encoded_word, longest_header_line
// A reply line from the mail server, 512 octets; a reply, 32 lines; what is
// kept of it, 512 bytes (RFC 5321 4.5.3.1.5, 4.2.1): mail_tools::longest_reply_line,
//   most_reply_lines, kept_reply_text, mail_tools/smtp.hpp
// The wait for the reply to QUIT, 1 s: mail_tools::quit_wait
// A dialogue whose caller names no limit, 10 s: mail_tools::dialogue_limit
//   (the program always names mail_timeout_ms)
// The most one read takes off a connection, 1024 bytes: net_tools::tcp_stream::read_size
// How far past its deadline a wait may end, 10 ms: timeout_slack, net_tools/tcp_stream.cpp
