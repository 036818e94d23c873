// Every setting and limit of the program, as one value. Each member starts
// at its default, with the reason for it; a build may set the first ones
// when it is configured (config.hpp turns those into this value). A
// program's main makes the value once and hands it down, and nothing below
// reads a macro or a global, so that one process can try any combination
// of settings.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

struct settings {
  // Also what main answers with when memory runs out before it has settings.
  static constexpr const char* default_error_page = "/~ruvak/form_error.html";

  // --- Where the site keeps things
  std::string request_log = "/home/ruvak/ostrel/request_form.log";  // the site owner's
  std::string ok_page = "/~ruvak/form_ok.html";  // thank-you page, served by the web server
  std::string error_page = default_error_page;   // one page for every refusal

  // --- The mail
  std::string mail_host = "localhost";                // the mail server runs on this machine
  int mail_port = 2600;                               // where that mail server listens for us
  std::string owner_address = "webmaster@localhost";  // receives every notification
  // The notification from the owner's own address, with the submitter's as
  // Reply-To. Mailbox providers refuse or file away mail whose From names a
  // domain that did not authorize this machine (DMARC), and a visitor's
  // domain never did; the owner's can (SPF, DKIM). Off: from the submitter.
  bool notify_from_owner = false;
  // The acknowledgement to the submitter. It goes to whatever address was
  // typed into the form, so anyone can make this machine mail a stranger
  // (once per submission, and only the fixed text); without it, submitters
  // get no word by mail that their request arrived.
  bool thank_you = true;

  // --- What a submission may hold, in bytes
  // Letters of every language: cleaning keeps well-formed UTF-8 but its
  // controls, and mails carry it 7-bit (MIME). Off: only tabs, line breaks
  // and printable ASCII are kept, and every byte from 0x80 up is dropped.
  bool utf8 = false;
  int request_limit = 3000;      // the raw request text, as sent; longer is not read at all
  std::size_t name_limit = 512;  // each field counted after cleaning
  std::size_t subject_limit = 512;
  std::size_t message_limit = 1024;

  // --- What is kept
  // Each record ends with the time the submission came, UTC: when an
  // enquiry came in, and what a retention period counts from. Off: the
  // record holds the four values only.
  bool log_time = false;
  // A folder where a mail the mail server did not take is kept whole, to be
  // sent again (ostrel-resend); "": none, such a mail is lost.
  std::string outbox;

  // --- The answer
  // A request that asks for JSON (its Accept header prefers it to HTML) is
  // answered with a status and a JSON object a page's script can read.
  // Off: every answer is the redirect.
  bool json = false;

  // --- How long anything may take
  // A client that stops sending its form must not hold a process.
  std::chrono::milliseconds body_timeout{30000};
  // A backup holding the log must not hold requests.
  std::chrono::milliseconds log_lock_timeout{3000};
  // Both mails: a stalled server must not hold the answer.
  std::chrono::milliseconds mail_timeout{10000};

  // --- Defences against bots on a public form, each off unless the build turns it on
  std::string honeypot_field;  // a hidden field that people leave empty; "": none
  bool post_only = false;      // refuse submissions by GET, which any page's <img> can make
  bool same_site = false;      // refuse submissions that another site's page sent
  // The origins that are this site, separated by spaces ("https://example.org
  // https://www.example.org"), compared with in place of the Host the
  // request names, which a page on any name that resolves to this server
  // can set (DNS rebinding), and which a proxy that ends TLS reports with
  // the wrong scheme. "": the request's own Host is the site.
  std::string site_origins;
  // Submissions taken for spam (the hidden field filled in, too many links)
  // are kept in this log, in the request log's format, instead of being
  // thrown away: a person taken for a bot can be found there. "": dropped,
  // with a line on standard error only.
  std::string spam_log;
  // A submission whose name, subject and message together hold more links
  // (http://, https://, www.) than this is taken for spam; -1: no limit.
  int max_links = -1;

  // --- Fixed
  // RFC 5321 4.5.3.1.3: a path is at most 256 octets with its angle
  // brackets; a longer address cannot exist, and mail servers refuse it.
  std::size_t longest_address = 254;
  // The thank-you mail, the same for everyone.
  std::string thank_you_subject = "Thank you...";
  std::string thank_you_text = "Thank you for filling out the request form...";
  // The longest page path of a redirect: the answer is built without
  // allocating, so that it goes out when memory has run out too.
  static constexpr std::size_t longest_page = 1024;
};
