// ostrel-resend: sends again each mail that ostrel kept in its outbox
// because the mail server did not take it, in the program's own dialogue,
// and takes it out of the outbox once the server has it.
#pragma once

#include <chrono>
#include <cstdio>

#include "ostrel/settings.hpp"

// RFC 5321 4.5.4.1: a sender gives up on a mail it could not deliver after
// 4 to 5 days; mail servers wait 5 (Postfix's maximal_queue_lifetime).
inline constexpr std::chrono::hours kept_at_most{5 * 24};

// Sends each mail kept in the outbox, oldest first: removes those the mail
// server accepted, leaves those it may take later, and moves those it
// refused for good, or that have waited longer than kept_at_most, into the
// outbox's failed/ with its reply beside them. One line per mail to out;
// the tool's own failures to errors. True when no mail is left waiting or
// was moved aside.
bool resend(const settings& site, std::FILE* out, std::FILE* errors);
