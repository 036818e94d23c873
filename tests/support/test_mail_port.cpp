// Linked into the program's test builds only. Each test runs its own mail
// server on a free port and names it in OSTREL_TEST_MAIL_PORT; the
// program's connections to its compiled mail port go there instead. Defined
// in the program itself, this connect() takes the place of the C library's.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// OSTREL_MAIL_PORT: the port the test build mails, from tests/CMakeLists.txt.

extern "C" int connect(int fd, const sockaddr* to, socklen_t size) {
  const char* port = std::getenv("OSTREL_TEST_MAIL_PORT");
  sockaddr_in moved;
  if (port && to->sa_family == AF_INET && size == sizeof moved) {
    std::memcpy(&moved, to, sizeof moved);
    if (ntohs(moved.sin_port) == OSTREL_MAIL_PORT) {
      moved.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
      to = reinterpret_cast<const sockaddr*>(&moved);
    }
  }
  return static_cast<int>(::syscall(SYS_connect, fd, to, size));
}
