#include "cgi_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

bool memcheck_mode() {
  const char* set = std::getenv("OSTREL_MEMCHECK");
  return set && *set;
}

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The body as a file, as a web server hands it over.
int body_file(const std::string& body) {
  int fd = memfd_create("cgi-body", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create");
  if (write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) fail("write body");
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// The command that runs program, in memcheck mode under valgrind, its
// report going to report_fd. Leaks that count: memory that nothing points to
// any more, not what a decoder fault's exit leaves reachable.
std::vector<std::string> command(const std::string& program, int report_fd) {
  if (report_fd < 0) return {program};
  return {"valgrind",
          "--tool=memcheck",
          "--leak-check=full",
          "--show-leak-kinds=definite,indirect",
          "--errors-for-leak-kinds=definite,indirect",
          "--log-fd=" + std::to_string(report_fd),
          program};
}

// The strings as exec takes them, ending in a null pointer.
std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& text : strings) out.push_back(const_cast<char*>(text.c_str()));
  out.push_back(nullptr);
  return out;
}

// Nothing here allocates: another thread of the test may have held the
// allocator's lock at the fork, and the child would wait for it forever.
[[noreturn]] void exec_child(char** argv, char** env, const cgi_request& request, int in, int out,
                             int err, int report_fd) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (report_fd >= 0) fcntl(report_fd, F_SETFD, 0);  // kept open across exec for valgrind
  if (chdir(request.directory.c_str()) != 0) _exit(126);
  rlimit limit{request.file_size_limit, request.file_size_limit};
  if (request.file_size_limit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  execvpe(argv[0], argv, env);  // valgrind from the tests' own PATH
  _exit(127);
}

void drain(int& fd, std::string& into) {
  char chunk[4096];
  ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) {
    into.append(chunk, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

// A clean report counts no error and shows the heap in use.
void check_memcheck_report(int fd, cgi_answer& answer) {
  std::string report;
  lseek(fd, 0, SEEK_SET);
  while (fd >= 0) drain(fd, report);  // to the end, then closed
  if (report.empty())
    answer.err += "\nmemcheck: no report; is valgrind installed?";
  else if (report.find("ERROR SUMMARY: 0 errors") == std::string::npos ||
           report.find("total heap usage: 0 allocs") != std::string::npos)
    answer.err += "\nmemcheck:\n" + report;
}

}  // namespace

cgi_process start_cgi(const std::string& program, const cgi_request& request) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) fail("pipe");
  int in = -1, body_fd = -1;
  if (request.rest_after_ms == 0) {
    in = body_file(request.body);
  } else {
    int body[2];
    if (pipe2(body, O_CLOEXEC) != 0) fail("pipe");
    if (write(body[1], request.body.data(), request.body.size()) !=
        static_cast<ssize_t>(request.body.size()))
      fail("write body");
    in = body[0];
    body_fd = body[1];
  }
  int report = -1;
  if (memcheck_mode() && (report = memfd_create("memcheck-report", MFD_CLOEXEC)) < 0)
    fail("memfd_create");
  std::vector<std::string> args = command(program, report);
  std::vector<char*> argv = pointers(args), env = pointers(request.environment);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) exec_child(argv.data(), env.data(), request, in, out[1], err[1], report);
  close(in);
  close(out[1]);
  close(err[1]);
  cgi_process process{pid, out[0], err[0], report, body_fd, request.rest_of_body, {}};
  process.rest_at =
      request.rest_after_ms < 0
          ? std::chrono::steady_clock::time_point::max()
          : std::chrono::steady_clock::now() + std::chrono::milliseconds(request.rest_after_ms);
  return process;
}

cgi_answer finish_cgi(cgi_process process, int timeout_seconds) {
  cgi_answer answer;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool killed = false;
  while (process.out_fd >= 0 || process.err_fd >= 0) {
    pollfd fds[2] = {{process.out_fd, POLLIN, 0}, {process.err_fd, POLLIN, 0}};
    auto now = std::chrono::steady_clock::now();
    if (process.body_fd >= 0 && now >= process.rest_at) {
      if (write(process.body_fd, process.rest_of_body.data(), process.rest_of_body.size()) < 0) {
        // The program is gone or stopped reading: its answer says so.
      }
      close(process.body_fd);
      process.body_fd = -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min(deadline, process.body_fd >= 0 ? process.rest_at : deadline) - now);
    if (deadline <= now && !killed) {
      kill(process.pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, killed ? 1000 : static_cast<int>(std::max<long>(left.count(), 0))) < 0 &&
        errno != EINTR)
      fail("poll");
    if (fds[0].revents) drain(process.out_fd, answer.out);
    if (fds[1].revents) drain(process.err_fd, answer.err);
  }
  if (process.body_fd >= 0) close(process.body_fd);
  int status = 0;
  while (waitpid(process.pid, &status, 0) < 0)
    if (errno != EINTR) fail("waitpid");
  if (WIFEXITED(status)) answer.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) answer.signal = WTERMSIG(status);
  if (process.memcheck_fd >= 0) check_memcheck_report(process.memcheck_fd, answer);
  return answer;
}

cgi_answer run_cgi(const std::string& program, const cgi_request& request, int timeout_seconds) {
  return finish_cgi(start_cgi(program, request), timeout_seconds);
}

cgi_request form_post(const std::string& body) {
  cgi_request request;
  request.environment = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(body.size()),
                         "CONTENT_TYPE=application/x-www-form-urlencoded",
                         "GATEWAY_INTERFACE=CGI/1.1"};
  request.body = body;
  return request;
}

cgi_request form_get(const std::string& query) {
  cgi_request request;
  request.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=" + query,
                         "GATEWAY_INTERFACE=CGI/1.1"};
  return request;
}

temp_dir::temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/ostrel-test-XXXXXX";
  if (!mkdtemp(pattern.data())) fail("mkdtemp");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;  // a leftover temporary folder is not worth failing a test for
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}
