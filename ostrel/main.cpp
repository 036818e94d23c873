#include "ostrel/config.hpp"
#include "ostrel/ostrel.hpp"

int main() {
  try {
    const settings site = config::built();
    Ostrel handler(site.request_limit, site);
    handler.run();
  } catch (...) {
    // Only the standard library throws, in practice when memory runs out.
    write_redirect(config::error_page);
  }
  return 0;
}
