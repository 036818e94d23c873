// ostrel-check: tries what ostrel will need on this machine, with the
// settings ostrel was built with (the request log, the two redirect pages,
// the mail server), so that the site owner finds a wrong setting before a
// visitor does. It sends no mail and changes nothing.
#pragma once

#include <cstdio>

#include "ostrel/settings.hpp"

// Prints the settings, then one line per check to out: ok, FAIL with what
// to do, or skip with why. True when no check failed.
bool run_checks(const settings& site, std::FILE* out);
