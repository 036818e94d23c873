#include <cstdio>
#include <string_view>

#include "ostrel/check.hpp"
#include "ostrel/config.hpp"

namespace {

// Exit statuses.
constexpr int all_passed = 0;
constexpr int some_failed = 1;
constexpr int usage_error = 2;

constexpr char usage_text[] = "usage: ostrel-check [--help]\n";

constexpr char help_text[] = R"(usage: ostrel-check [--help]

Tries what ostrel needs on this machine, with the settings this build of
ostrel was made with, so that a wrong setting is found before a visitor
finds it. Run it as the web server's user, after installing:

  runuser -u www-data -- ostrel-check

It sends no mail and changes nothing. It prints the settings, then one
line per check: ok, warn (ostrel works, but should not be left so), FAIL
with what to do, or skip with why.

  request log, spam log
               the folder exists; the file exists, or this user may make it
               there; it is a regular file, not a symbolic link, that this
               user can append to and lock as ostrel does; other users may
               not write to it (FAIL) nor read it (warn).
  outbox       a folder, not a symbolic link, or this user may make it; this
               user may keep mails in it; other users may not write to it
               (FAIL) nor look into it (warn).
  kept mail    how many mails wait in the outbox, and for how long: FAIL
               past an hour.
  refused mail any mail in the outbox's failed/ is a FAIL.
  free space   on each file system of those, for a thousand records at least
               (warn below, FAIL below one).
  file size limit
               this process's: room for a thousand more records in the
               largest log. The web server's own limit may differ.
  pages        the thank-you and the error page, when their path is /~user/...:
               public_html/... in the user's home (from /etc/passwd) is
               there and this user can read it.
               Other page paths are the web server's own business: skipped.
  owner notification, acknowledgement
               the mail server takes HELO, MAIL FROM and RCPT TO as ostrel
               sends them, and answers DATA with 354: from the owner to the
               owner, then to postmaster@example.com as a visitor's address
               (unless the build sends no thank-you), both within ostrel's
               mail time limit. The connection is then closed without a line
               of data, which the server takes as RSET: no mail is sent.
  site origin  each origin the build names (OSTREL_SITE_ORIGINS): something
               on this machine listens on its port (443 for https, 80 for
               http, unless it names another), since browsers send it only
               from a page served there.

The settings are compiled in, so it takes no arguments but --help.

Exit status: 0 no check failed (warnings do not count), 1 a check failed,
2 a usage error.
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help")
    return std::fputs(help_text, stdout) < 0 ? usage_error : all_passed;
  if (argc != 1) {
    std::fputs(usage_text, stderr);
    return usage_error;
  }
  return run_checks(config::built(), stdout) ? all_passed : some_failed;
}
