#include "support/submission.hpp"

#include <sys/stat.h>

#include "ostrel/config.hpp"

std::string test_program(const std::string& name) { return OSTREL_TEST_PROGRAMS "/" + name; }

const std::string under_test = test_program("ostrel_under_test");
const settings test_build = config::built();
const std::string ok_answer = "Location: " + test_build.ok_page + "\r\n\r\n";
const std::string error_answer = "Location: " + test_build.error_page + "\r\n\r\n";

std::string form(const std::string& name, const std::string& email, const std::string& subject,
                 const std::string& message) {
  return "name=" + name + "&email=" + email + "&subject=" + subject + "&message=" + message;
}

cgi_request with_method(const std::string& method, cgi_request request) {
  request.environment[0] = "REQUEST_METHOD=" + method;
  return request;
}

cgi_request with_mail_port(int port, cgi_request request) {
  request.environment.push_back("OSTREL_TEST_MAIL_PORT=" + std::to_string(port));
  return request;
}

Submission::Submission() { mkdir(dir.file("log").c_str(), 0755); }

cgi_answer Submission::submit(cgi_request request, const std::string& program) {
  request.directory = dir.path();
  return run_cgi(program, request);
}
