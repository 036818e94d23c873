#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "log_tools/log_file.hpp"
#include "ostrel/answer.hpp"
#include "ostrel/config.hpp"
#include "ostrel/ostrel.hpp"

int main() {
  try {
    settings site = config::built();
    const int limit = site.request_limit;
    Ostrel handler(limit, std::move(site));
    handler.run();
  } catch (...) {
    // Only the standard library throws, in practice when memory runs out;
    // neither the line nor the answer needs memory of its own.
    static constexpr char line[] = "ostrel: out of memory; answered with the error page\n";
    log_tools::write_fully(STDERR_FILENO, line, sizeof line - 1);
    const char* accept = std::getenv("HTTP_ACCEPT");
    if (config::json && accept && json_answer::prefers_json(accept))
      log_tools::write_fully(STDOUT_FILENO, json_answer::out_of_memory,
                             sizeof json_answer::out_of_memory - 1);
    else
      write_redirect(config::error_page);
  }
  return 0;
}
