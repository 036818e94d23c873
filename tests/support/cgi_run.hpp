// Runs a CGI program as a web server would: a chosen environment, the request
// body on standard input from a file, and the answer collected from its output.
//
// Memcheck mode: when the variable OSTREL_MEMCHECK is set, every run starts
// the program under valgrind's memcheck. A run in which memcheck finds a
// memory error or a definite or indirect leak, or sees no heap at all (a
// static program hides malloc and free from it), or that valgrind could not
// start, gets memcheck's report appended to its standard error, so the test
// that checks the answer fails and shows why. The black-box tests' tables
// run this way unchanged.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

struct cgi_request {
  std::vector<std::string> environment;  // NAME=value, the program's whole environment
  std::string body;                      // standard input
  std::string directory = ".";           // working directory of the program
  rlim_t file_size_limit = RLIM_INFINITY;
  // A body that comes through a pipe, as from a slow client: body at once,
  // then rest_of_body after rest_after_ms, or never while the program runs
  // when that is negative. 0: the body is a file, whole from the start.
  std::string rest_of_body;
  int rest_after_ms = 0;
};

struct cgi_answer {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;        // the signal that ended it, if any
};

// Whether runs are made under memcheck (OSTREL_MEMCHECK).
bool memcheck_mode();

// Runs program with the request and waits for it, at most timeout_seconds
// (then it is killed and the answer shows SIGKILL).
cgi_answer run_cgi(const std::string& program, const cgi_request& request,
                   int timeout_seconds = 30);

// Starts program as run_cgi does without waiting; finish_cgi collects it.
// Lets many requests run at once.
struct cgi_process {
  int pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  int memcheck_fd = -1;  // memcheck's report, in memcheck mode
  int body_fd = -1;      // the pipe's end that the rest of a slow body goes into
  std::string rest_of_body;
  std::chrono::steady_clock::time_point rest_at;
};
cgi_process start_cgi(const std::string& program, const cgi_request& request);
cgi_answer finish_cgi(cgi_process process, int timeout_seconds = 30);

// A request with the CGI variables of a form POST of body.
cgi_request form_post(const std::string& body);

// A request with the CGI variables of a form GET of query.
cgi_request form_get(const std::string& query);

// A fresh directory under TMPDIR (or /tmp) that is removed with its contents
// when the object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
