// What one submission gets, decided by a pure function of the request and
// the settings: accepted (with the record to log and the mails to send),
// refused (with every failing field, or the defence that refused it), or
// taken for spam (with why). The program's effects, the log, the mails and
// the answer, follow from the verdict alone, in that order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "log_tools/log_record.hpp"
#include "mail_tools/smtp.hpp"
#include "ostrel/same_site.hpp"
#include "ostrel/settings.hpp"

// What the decision looks at of one request: the form's values as the
// decoder gave them (empty when absent) and what the defences read.
struct form_request {
  std::string_view name, email, subject, message;
  std::string_view honeypot;  // the value of the build's hidden field
  bool is_post = true;
  std::string_view method;    // REQUEST_METHOD, as the request names it
  std::string_view source;    // the page that sent it: Origin, else Referer; "": not said
  same_site::origin own;      // the request's own origin (Host, scheme)
  std::int64_t received = 0;  // when it came, in seconds since 1970 (UTC)
};

// Fills in what the defences read from the CGI variables, as variable(name)
// gives them ("" for one not set); the request's own origin only where the
// build compares with it.
template <class Variable>
void read_cgi_variables(form_request& request, const settings& site, Variable variable) {
  request.method = variable("REQUEST_METHOD");
  request.source = variable("HTTP_ORIGIN");
  if (request.source.empty()) request.source = variable("HTTP_REFERER");
  if (site.same_site && site.site_origins.empty()) request.own = same_site::of_request(variable);
}

// The fields of the form, in its order.
enum class field { name, email, subject, message };

// What is wrong with a field's value.
enum class field_problem { required, too_long, invalid };

struct field_error {
  field which;
  field_problem problem;
  bool operator==(const field_error& other) const {
    return which == other.which && problem == other.problem;
  }
};

struct verdict {
  enum class kind {
    accepted,    // record and mails
    refused,     // errors holds every failing field
    not_post,    // a GET where the build takes only POST
    cross_site,  // another site's page sent it
    spam,        // record, for the spam log
  };
  kind what = kind::refused;
  std::vector<field_error> errors;
  // Why a defence refused it or took it for spam, as the program's line
  // on standard error says it; text from the request is made one line.
  std::string why;
  // The record for the request log (accepted) or the spam log (spam).
  std::string record;
  // Accepted: the owner's notification, then the acknowledgement unless
  // the build sends none.
  std::vector<mail_tools::smtp> mails;
};

// The pure decision.
verdict decide(const form_request& request, const settings& site);

// Its effects: appends the record to the request log or the spam log,
// sends the mails, and writes one line to errors for each refusal by a
// defence, each submission taken for spam and each failure. Gives why an
// accepted submission's record could not be logged (then nothing is
// mailed), or nothing.
log_tools::failure carry_out(const verdict& v, const settings& site, std::FILE* errors);

// Whether the visitor gets the thank-you page: a submission logged, or one
// taken for spam, so that a bot learns nothing.
bool gets_thank_you(const verdict& v, const log_tools::failure& unlogged);
