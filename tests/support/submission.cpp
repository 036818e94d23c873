#include "support/submission.hpp"

#include <sys/stat.h>

const std::string under_test = OSTREL_UNDER_TEST;

std::string form(const std::string& name, const std::string& email, const std::string& subject,
                 const std::string& message) {
  return "name=" + name + "&email=" + email + "&subject=" + subject + "&message=" + message;
}

cgi_request with_method(const std::string& method, cgi_request request) {
  request.environment[0] = "REQUEST_METHOD=" + method;
  return request;
}

Submission::Submission() { mkdir(dir.file("log").c_str(), 0755); }

cgi_answer Submission::submit(cgi_request request, const std::string& program) {
  request.directory = dir.path();
  return run_cgi(program, request);
}
