// ostrel-purge: takes out of what ostrel keeps (the request log, the spam
// log, the outbox) the records and mails of one address, or the records
// older than a number of days, while submissions go on arriving.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ostrel/settings.hpp"

// The steps of putting a log's new text in place, each called after it is
// done: the old file read under its lock, the new file made beside it,
// written, flushed to disk, renamed over the old one, and the folder
// flushed. The lock is let go after the last.
enum class purge_step { read = 1, made, written, flushed, renamed, folder_flushed };

// What a test puts in place of the clock, and where it stops a purge to
// see what a purge killed there leaves.
struct purge_hooks {
  std::int64_t now = -1;  // seconds since 1970, UTC; -1: the clock's
  std::function<void(purge_step)> after;
};

// ostrel-purge run with its arguments (the program's name left out): one
// line per file to out, the tool's own failures to errors. Gives the exit
// status: 0 done, 1 a file could not be read or rewritten, 2 a usage error.
int purge_command(const settings& site, const std::vector<std::string>& arguments, std::FILE* out,
                  std::FILE* errors, const purge_hooks& hooks = {});
