#include <cstdio>
#include <string_view>

#include "ostrel/config.hpp"
#include "ostrel/resend.hpp"

namespace {

// Exit statuses.
constexpr int all_sent = 0;
constexpr int some_waiting = 1;
constexpr int usage_error = 2;

constexpr char usage_text[] = "usage: ostrel-resend [--help]\n";

constexpr char help_text[] = R"(usage: ostrel-resend [--help]

Sends again each mail that ostrel kept in its outbox because the mail
server did not take it, oldest first, as ostrel sends it. The package runs
it every 5 minutes as the web server's user (ostrel-resend.timer, or
/etc/cron.d/ostrel without systemd); by hand:

  runuser -u www-data -- ostrel-resend

One line per mail: sent (and taken out of the outbox); left in the outbox
with why (no connection, no reply in time, a refusal for now, an outcome
unknown), to be tried at the next run; or moved to failed/ in the outbox,
with the reason in a .reply file beside it, when the server refused it for
good (5yz) or it has waited more than 5 days. A run that finds another at
work leaves the outbox to it.

The settings are compiled in, so it takes no arguments but --help.

Exit status: 0 nothing is left waiting (every mail sent, or none there),
1 a mail was left or moved to failed/, another run was at work, or the
outbox could not be read, 2 a usage error.
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help")
    return std::fputs(help_text, stdout) < 0 ? usage_error : all_sent;
  if (argc != 1) {
    std::fputs(usage_text, stderr);
    return usage_error;
  }
  return resend(config::built(), stdout, stderr) ? all_sent : some_waiting;
}
