// Appending to a log that other processes append to at the same time: the
// request log and the spam log take one record per submission, each from
// a process of its own, and a reader or a backup may hold a lock on them.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "log_tools/log_record.hpp"

namespace log_tools {

// How a writer waits for a lock held on a log: pauses that double from the
// first to the longest, until its time limit.
inline constexpr std::chrono::microseconds lock_first_pause{500};
inline constexpr std::chrono::microseconds lock_longest_pause{20000};

// Writes all of text unless the descriptor fails (errno says why, 0 when it
// took nothing); allocates nothing.
inline bool write_fully(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;
    if (n <= 0) return false;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// An exclusive lock on fd within time_limit; a reader or a backup may hold
// one for long, and a submission waits for it only so long.
inline failure lock_exclusive(int fd, std::chrono::milliseconds time_limit) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + time_limit;
  auto pause = lock_first_pause;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EWOULDBLOCK && errno != EINTR) return std::strerror(errno);
    if (clock::now() >= deadline) return "locked by another process";
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, lock_longest_pause);
  }
}

// One write, unless it comes back short at a limit of the file system:
// writing the rest then tells which limit.
inline failure write_all(int fd, const std::string& record) {
  if (write_fully(fd, record.data(), record.size())) return {};
  return errno ? std::strerror(errno) : "nothing written";
}

// The rest of what fd holds, appended to text.
inline failure read_all(int fd, std::string& text) {
  char block[65536];
  for (;;) {
    ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) return {};
    text.append(block, static_cast<std::size_t>(n));
  }
}

// The folder part of a path, as open() walks it.
inline std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// How a log is opened: a writer appends, and makes the log when it is
// missing; ostrel-purge reads it, and makes none.
inline constexpr int to_append = O_WRONLY | O_APPEND | O_CREAT;
inline constexpr int to_read = O_RDONLY;

// Opens the log at path as how says. Only a regular file will do: opening
// does not wait for a FIFO's reader, and a device or a FIFO is refused. So
// is a symbolic link, which would send the records wherever it points (or
// make a file there), and a new log is no one else's to read or write,
// whatever the umask: it holds people's names, addresses and messages.
inline failure open_log(const std::string& path, int& fd, int how = to_append) {
  fd = ::open(path.c_str(), how | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0660);
  if (fd >= 0) return {};
  // A FIFO without a reader, or a device without its hardware, refuses
  // the open with ENXIO.
  if (errno == ELOOP) return "a symbolic link, which is refused";
  return errno == ENXIO ? "not a regular file" : std::strerror(errno);
}

// The log at path, opened and locked within time_limit, and described in
// opened: the file that has that name once the lock is held. ostrel-purge
// renames a new file over the old one under the old one's lock, which
// leaves the old one without a name (a log has one), so a writer that
// waited for that lock opens the new file rather than append to the old.
// The new file gets one try even when the wait used up the time limit:
// the lock came in time, and the purge is done with the new file.
inline failure open_locked(const std::string& path, std::chrono::milliseconds time_limit, int& fd,
                           struct stat& opened, int how = to_append) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + time_limit;
  for (bool replaced = false;; replaced = true) {
    if (failure why = open_log(path, fd, how)) return why;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    failure why = lock_exclusive(fd, std::max(left, std::chrono::milliseconds(0)));
    if (!why && ::fstat(fd, &opened) != 0) why = std::strerror(errno);
    if (!why && opened.st_nlink > 0) return {};
    ::close(fd);
    if (why) return why;
    if (replaced && clock::now() >= deadline) return "replaced again and again while this waited";
  }
}

// Appends the record to the log at path whole or not at all. Other
// processes append to the same file at the same time: the lock keeps the
// file's end still from the moment it is measured until the one write is
// done, so a failed or short write is cut back to that length without
// touching anyone else's record.
inline failure append_record(const std::string& path, const std::string& record,
                             std::chrono::milliseconds lock_time_limit) {
  // Past a file size limit the write must fail with EFBIG, not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  int fd;
  struct stat file;
  if (failure why = open_locked(path, lock_time_limit, fd, file)) return why;
  failure why;
  if (!S_ISREG(file.st_mode)) why = "not a regular file";
  if (!why) {
    why = write_all(fd, record);
    if (why && ::ftruncate(fd, file.st_size) != 0) {
      // Nothing more can be done: the file keeps the cut record.
    }
  }
  ::close(fd);  // and with it the lock
  return why;
}

}  // namespace log_tools
