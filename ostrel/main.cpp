#include "ostrel/config.hpp"
#include "ostrel/ostrel.hpp"

// Longest raw request text that is read at all.
constexpr int request_limit = 3000;

int main() {
  try {
    Ostrel handler(request_limit);
    handler.run();
  } catch (...) {
    // Only the standard library throws, in practice when memory runs out.
    write_redirect(config::error_page);
  }
  return 0;
}
