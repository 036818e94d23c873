// The submission handler and the text functions that clean, check and escape field values.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "cgi_tools/cgi.hpp"
#include "ostrel/settings.hpp"

using form_var_map = std::map<char*, char*, cgi_tools::form_var_comp>;

// Handles one form submission: the request is decoded while it is constructed.
class Ostrel {
 public:
  // limit bounds the raw request text; an unusable request ends the process
  // (or, when it asks for JSON and the build answers so, is answered by run).
  // Without settings, the defaults of settings.hpp hold.
  explicit Ostrel(const int& limit, settings site = settings());

  // Checks, logs and mails the submission, then writes exactly one answer.
  void run();

 private:
  cgi_tools::fault fault = cgi_tools::fault::none;  // the decoder's, when it is answered in JSON
  bool json = false;  // the request asks for JSON, and the build answers so
  cgi_tools::cgi<form_var_map> decoder;
  settings site;
};

// The bytes of text that are letters, digits, punctuation or white space, in order.
std::string filter(const std::string& text);

// What filter keeps below 0x80, and each well-formed UTF-8 character from
// 0x80 up but a control (C1, and the bidirectional embeddings, overrides
// and isolates); every other byte from 0x80 up is dropped.
std::string filter_utf8(std::string_view text);

// filter of a C string up to its first NUL; "" for a null pointer.
std::string no_null(const char* value);

// ASCII letter, whatever the locale.
bool is_alpha(char c);

// ASCII digit.
bool is_digit(char c);

// True when the address is non-empty, holds only letters, digits, "-", ".",
// "+", "_" and "@", and at least one "@".
bool is_good_email(const std::string& address);

// The value with each double quote doubled and CR, LF written as \r, \n,
// so that it fits between the quotes of one CSV field on one line.
std::string csv_escape(const std::string& value);

// Writes "Location: <page>" and the blank line that ends the CGI header, and flushes.
void write_redirect(const char* page);
