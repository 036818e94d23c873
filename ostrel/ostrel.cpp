#include "ostrel/ostrel.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "log_tools/log_file.hpp"
#include "log_tools/log_record.hpp"
#include "log_tools/utc_time.hpp"
#include "log_tools/utf8.hpp"
#include "mail_tools/outbox.hpp"
#include "mail_tools/smtp.hpp"
#include "ostrel/answer.hpp"
#include "ostrel/decision.hpp"
#include "ostrel/one_line.hpp"
#include "ostrel/same_site.hpp"

namespace {

using failure = log_tools::failure;

// --- The decision: the request and the settings in, the verdict out ----------

// The four fields of one submission, cleaned.
struct submission {
  std::string name, email, subject, message;
};

std::string ascii_kept(std::string_view text);

std::string cleaned(std::string_view raw, const settings& site) {
  return site.utf8 ? filter_utf8(raw) : ascii_kept(raw);
}

// A name, subject or message: there, and within its limit.
void check_text(std::vector<field_error>& errors, field which, const std::string& value,
                std::size_t limit) {
  if (value.empty())
    errors.push_back({which, field_problem::required});
  else if (value.size() > limit)
    errors.push_back({which, field_problem::too_long});
}

// The address must pass the character check as typed: cleaning drops
// bytes, and an address that lost some is another person's.
void check_address(std::vector<field_error>& errors, const std::string& address,
                   std::string_view raw, const settings& site) {
  if (address.empty())
    errors.push_back({field::email, field_problem::required});
  else if (address.size() > site.longest_address)
    errors.push_back({field::email, field_problem::too_long});
  else if (!is_good_email(address) || raw.size() != address.size())
    errors.push_back({field::email, field_problem::invalid});
}

std::vector<field_error> field_errors(const submission& form, const form_request& request,
                                      const settings& site) {
  std::vector<field_error> errors;
  check_text(errors, field::name, form.name, site.name_limit);
  check_address(errors, form.email, request.email, site);
  check_text(errors, field::subject, form.subject, site.subject_limit);
  check_text(errors, field::message, form.message, site.message_limit);
  return errors;
}

// Whether a link starts at text[at], as a mail client makes it clickable:
// "http://", "https://" or "ftp://", any case, or "www." at the start of a
// word (after a byte that is no letter or digit).
bool link_starts(std::string_view text, std::size_t at) {
  std::string rest = same_site::lower(text.substr(at, 8));
  for (std::string_view scheme : {"http://", "https://", "ftp://"})
    if (rest.compare(0, scheme.size(), scheme) == 0) return true;
  return rest.compare(0, 4, "www.") == 0 &&
         (at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1])));
}

// The links in text, each counted once: a link runs to the next white
// space, so neither its path nor a "www." in it is another.
std::size_t links_in(std::string_view text) {
  std::size_t links = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (!link_starts(text, at)) continue;
    ++links;
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  }
  return links;
}

// Why the submission is taken for spam, or nothing. A bot fills in every
// field it finds, the hidden one too.
failure spam_rule(const submission& form, const form_request& request, const settings& site) {
  if (!site.honeypot_field.empty() && !request.honeypot.empty())
    return "the hidden field \"" + site.honeypot_field + "\" was filled in";
  if (site.max_links < 0) return {};
  std::size_t links = links_in(form.name) + links_in(form.subject) + links_in(form.message);
  if (links <= static_cast<std::size_t>(site.max_links)) return {};
  return std::to_string(links) + " links, more than " + std::to_string(site.max_links);
}

// Whether another site's page sent the request. The site is the origins
// the build names, else the request's own; a request that does not say
// where it came from passes.
bool from_another_site(const form_request& request, const settings& site) {
  if (request.source.empty()) return false;
  same_site::origin claimed = same_site::of_url(request.source);
  return site.site_origins.empty() ? !same_site::same(claimed, request.own)
                                   : !same_site::listed(claimed, site.site_origins);
}

mail_tools::smtp mail_to(const std::string& to, const std::string& from, const settings& site) {
  mail_tools::smtp mail;
  mail.server = site.mail_host;
  mail.port = site.mail_port;
  mail.to = to;
  mail.from = from;
  return mail;
}

// The submission to the owner. Sent from the submitter's address, it fails
// the checks (DMARC) of a mailbox provider whose domain is not this
// machine's; sent from the owner's own, with the submitter's address to
// reply to, it passes where the owner's domain lets this machine send.
mail_tools::smtp notification_of(const submission& form, const settings& site) {
  mail_tools::smtp mail =
      mail_to(site.owner_address, site.notify_from_owner ? site.owner_address : form.email, site);
  if (site.notify_from_owner) mail.reply_to = form.email;
  mail.subject = form.subject;
  mail.body = form.name + "\r\n" + form.email + "\r\n" + form.message + "\r\n";
  return mail;
}

std::vector<mail_tools::smtp> mails_for(const submission& form, const settings& site) {
  std::vector<mail_tools::smtp> mails{notification_of(form, site)};
  if (!site.thank_you) return mails;
  mail_tools::smtp acknowledgement = mail_to(form.email, site.owner_address, site);
  acknowledgement.subject = site.thank_you_subject;
  acknowledgement.body = site.thank_you_text;
  mails.push_back(std::move(acknowledgement));
  return mails;
}

// The record of the four values, and with the build's log_time, of when
// the submission came.
std::string record_of(const submission& form, const form_request& request, const settings& site) {
  if (!site.log_time)
    return log_tools::record_line({form.name, form.email, form.subject, form.message});
  return log_tools::record_line(
      {form.name, form.email, form.subject, form.message, log_tools::utc_text(request.received)});
}

verdict refusal(verdict::kind what, std::string why) {
  verdict v;
  v.what = what;
  v.why = std::move(why);
  return v;
}

// --- The effects: the log, the mails, the lines on standard error -------------

// One line on standard error, which the web server puts into its error
// log: the program's own failures go there, never into the answer. Written
// with one write, so lines of processes that run at once stay whole.
void report(std::FILE* errors, const std::string& text) {
  std::string line = "ostrel: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), errors);
}

// A submission taken for spam gets the answer a person would, and the bot
// learns nothing; it goes to the spam log where the build names one, so
// that a person taken for a bot can still be found there.
void set_aside(const verdict& v, const settings& site, std::FILE* errors) {
  std::string line = "submission dropped: " + v.why;
  if (!site.spam_log.empty()) {
    failure why = log_tools::append_record(site.spam_log, v.record, site.log_lock_timeout);
    line += why ? "; cannot append to the spam log " + site.spam_log + ": " + *why
                : "; kept in the spam log " + site.spam_log;
  }
  report(errors, line);
}

// Whether a mail that was not accepted goes to the outbox. The notification
// whenever the server may not have it: better a rare duplicate than a lost
// enquiry. The acknowledgement only when it surely did not go: not when the
// whole mail went out (the server may have it), nor after a refusal for
// good (5yz, in practice of the visitor's own address).
bool worth_keeping(const mail_tools::smtp& mail, bool notification) {
  return notification || (!mail.data_sent && !(mail.refused && mail.refusal_code >= 500));
}

// What became of a mail that was not accepted, as its line says it.
std::string outcome_of(const mail_tools::smtp& mail) {
  if (mail.refused) return " not accepted: ";
  return mail.data_sent ? " outcome unknown: " : " not sent: ";
}

// Keeps the mail in the outbox; says where, or why it could not.
std::string kept_in_outbox(const mail_tools::smtp& mail, const std::string& line,
                           const settings& site) {
  std::string path;
  mail_tools::kept_mail kept{mail.from, mail.to, mail.wire_data(),
                             log_tools::utc_now() + ", " + line};
  if (auto why = mail_tools::keep(site.outbox, kept, path))
    return "; cannot keep it in the outbox " + site.outbox + ": " + *why;
  return "; kept in the outbox " + path;
}

// The owner's notification, then the submitter's acknowledgement, one after
// the other and both within one time limit. Neither outcome changes the
// answer: the submission is already in the request log. A mail the server
// did not take goes to the outbox where the build names one.
void send_mails(std::vector<mail_tools::smtp> mails, const settings& site, std::FILE* errors) {
  const auto deadline = std::chrono::steady_clock::now() + site.mail_timeout;
  for (std::size_t i = 0; i < mails.size(); ++i) {
    mail_tools::smtp& mail = mails[i];
    if (mail.send(deadline)) continue;
    std::string line = std::string(i == 0 ? "owner notification" : "acknowledgement") + " to " +
                       one_line(mail.to) + outcome_of(mail) + one_line(*mail.failure);
    if (!site.outbox.empty() && worth_keeping(mail, i == 0))
      line += kept_in_outbox(mail, line, site);
    report(errors, line);
  }
}

// Keys for the form variable map, whose key type is a mutable C string.
char name_key[] = "name";
char email_key[] = "email";
char subject_key[] = "subject";
char message_key[] = "message";

std::string_view value_or_empty(const char* value) { return value ? value : ""; }

// The request as the decision sees it: the decoder's values and the CGI
// variables that the defences read.
form_request request_of(cgi_tools::cgi<form_var_map>& decoder, const settings& site) {
  form_var_map& vars = decoder.form_vars;
  form_request request;
  request.name = value_or_empty(vars[name_key]);
  request.email = value_or_empty(vars[email_key]);
  request.subject = value_or_empty(vars[subject_key]);
  request.message = value_or_empty(vars[message_key]);
  if (!site.honeypot_field.empty()) {
    std::string key = site.honeypot_field;
    auto found = vars.find(key.data());
    if (found != vars.end()) request.honeypot = value_or_empty(found->second);
  }
  request.is_post = decoder.is_post;
  request.received = std::time(nullptr);
  read_cgi_variables(request, site,
                     [](const char* name) { return value_or_empty(std::getenv(name)); });
  return request;
}

// An answer as it stands, on standard output.
void write_text(const std::string& text) {
  log_tools::write_fully(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace

verdict decide(const form_request& request, const settings& site) {
  if (site.post_only && !request.is_post)
    return refusal(verdict::kind::not_post, "sent by " + one_line(request.method) + ", not POST");
  if (site.same_site && from_another_site(request, site))
    return refusal(verdict::kind::cross_site,
                   "sent from another site's page, " + one_line(request.source));
  submission form{cleaned(request.name, site), cleaned(request.email, site),
                  cleaned(request.subject, site), cleaned(request.message, site)};
  verdict v;
  v.errors = field_errors(form, request, site);
  if (!v.errors.empty()) return v;
  v.record = record_of(form, request, site);
  if (failure rule = spam_rule(form, request, site)) {
    v.what = verdict::kind::spam;
    v.why = *rule;
    return v;
  }
  v.what = verdict::kind::accepted;
  v.mails = mails_for(form, site);
  return v;
}

failure carry_out(const verdict& v, const settings& site, std::FILE* errors) {
  switch (v.what) {
    case verdict::kind::refused:
      return {};
    case verdict::kind::not_post:
    case verdict::kind::cross_site:
      report(errors, "submission refused: " + v.why);
      return {};
    case verdict::kind::spam:
      set_aside(v, site, errors);
      return {};
    case verdict::kind::accepted:
      break;
  }
  failure unlogged = log_tools::append_record(site.request_log, v.record, site.log_lock_timeout);
  if (unlogged) {
    report(errors, "cannot append to " + site.request_log + ": " + *unlogged);
    return unlogged;
  }
  send_mails(v.mails, site, errors);
  return {};
}

bool gets_thank_you(const verdict& v, const failure& unlogged) {
  return (v.what == verdict::kind::accepted && !unlogged) || v.what == verdict::kind::spam;
}

Ostrel::Ostrel(const int& limit, settings chosen)
    : json(chosen.json && json_answer::prefers_json(value_or_empty(std::getenv("HTTP_ACCEPT")))),
      decoder(limit, stdin, fault, chosen.body_timeout),
      site(std::move(chosen)) {
  // The fault's own text goes to the client: the owner learns of a client
  // too slow to send its form from this line.
  if (fault == cgi_tools::fault::late)
    report(stderr, "the request body did not come whole within " +
                       std::to_string(site.body_timeout.count()) + " ms");
  // Without a method this is no CGI request, and no one asked for JSON.
  if (fault != cgi_tools::fault::none && (!json || fault == cgi_tools::fault::no_method))
    cgi_tools::stop(fault);
}

void Ostrel::run() {
  if (fault != cgi_tools::fault::none) return write_text(json_answer::to_fault(fault));
  verdict v = decide(request_of(decoder, site), site);
  failure unlogged = carry_out(v, site, stderr);
  if (json) return write_text(json_answer::to_verdict(v, unlogged, site));
  write_redirect((gets_thank_you(v, unlogged) ? site.ok_page : site.error_page).c_str());
}

namespace {

// Letters, digits, punctuation and white space: tabs, line breaks and
// printable ASCII.
bool kept_ascii(unsigned char byte) {
  return std::isalnum(byte) || std::ispunct(byte) || std::isspace(byte);
}

bool between(unsigned byte, unsigned low, unsigned high) { return byte >= low && byte <= high; }

// The C1 controls, U+0080 to U+009F, and the bidirectional embeddings,
// overrides and isolates, U+202A to U+202E and U+2066 to U+2069, which can
// make a name or a subject show other text than it holds.
bool is_control(std::string_view character) {
  auto byte = [&](std::size_t i) -> unsigned { return static_cast<unsigned char>(character[i]); };
  if (character.size() == 2) return byte(0) == 0xC2 && byte(1) <= 0x9F;
  if (character.size() != 3 || byte(0) != 0xE2) return false;
  return (byte(1) == 0x80 && between(byte(2), 0xAA, 0xAE)) ||
         (byte(1) == 0x81 && between(byte(2), 0xA6, 0xA9));
}

// What filter keeps of text; the decision's fields are views into the request.
std::string ascii_kept(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text)
    if (kept_ascii(static_cast<unsigned char>(c))) kept += c;
  return kept;
}

}  // namespace

std::string filter(const std::string& text) { return ascii_kept(text); }

std::string filter_utf8(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    unsigned char byte = static_cast<unsigned char>(text[at]);
    const log_tools::utf8_sequence sequence = byte < 0x80
                                                  ? log_tools::utf8_sequence{1, true}
                                                  : log_tools::first_sequence(text.substr(at));
    if (!sequence.well_formed) {  // not a character: this byte goes, the next is looked at anew
      ++at;
      continue;
    }
    std::string_view character = text.substr(at, sequence.size);
    if (sequence.size == 1 ? kept_ascii(byte) : !is_control(character)) kept += character;
    at += sequence.size;
  }
  return kept;
}

std::string no_null(const char* value) { return value ? filter(value) : std::string(); }

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_good_email(const std::string& address) {
  bool has_at = false;
  for (char c : address) {
    if (c == '@')
      has_at = true;
    else if (c != '-' && c != '.' && c != '+' && c != '_' && !is_digit(c) && !is_alpha(c))
      return false;
  }
  return has_at;
}

std::string csv_escape(const std::string& value) { return log_tools::escape(value); }

void write_redirect(const char* page) {
  // Assembled here rather than allocated: this also answers when memory has run out.
  char answer[sizeof "Location: " + settings::longest_page + sizeof "\r\n\r\n"];
  std::size_t size = 0;
  for (const char* piece : {"Location: ", page, "\r\n\r\n"}) {
    std::size_t length = std::min(std::strlen(piece), sizeof answer - size);
    std::memcpy(answer + size, piece, length);
    size += length;
  }
  log_tools::write_fully(STDOUT_FILENO, answer, size);
}
