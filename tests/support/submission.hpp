// The program under test as the black-box tests run it: in a temporary folder
// of its own, where it logs to log/request_form.log. The program's two
// answers and the builders of form requests live here too, once for all tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ostrel/settings.hpp"
#include "support/cgi_run.hpp"

// A test build of the program by its name in tests/CMakeLists.txt.
std::string test_program(const std::string& name);

// The program under test: the program's code built to log below its working
// directory, with the test time limits, and those settings.
extern const std::string under_test;
extern const settings test_build;

// The two answers, exact to the byte: the success and the error redirect.
extern const std::string ok_answer;
extern const std::string error_answer;

// A form body of the four fields as a browser sends them (values already
// encoded), for form_post or form_get.
std::string form(const std::string& name, const std::string& email, const std::string& subject,
                 const std::string& message);

// The request with another REQUEST_METHOD.
cgi_request with_method(const std::string& method, cgi_request request);

// The request with the port that the test build mails instead of its own.
cgi_request with_mail_port(int port, cgi_request request);

// A temporary folder with the log folder that the program under test writes to.
class Submission : public ::testing::Test {
 protected:
  Submission();

  std::string log_path() const { return dir.file("log/request_form.log"); }
  std::string log() const { return read_file(log_path()); }
  // Where the build with a spam log keeps it.
  std::string spam_log() const { return dir.file("log/spam.log"); }

  // Runs program (by default the program under test) on the request in the folder.
  cgi_answer submit(cgi_request request, const std::string& program = under_test);

  temp_dir dir;
};
