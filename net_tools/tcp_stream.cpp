#include "net_tools/tcp_stream"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace net_tools {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// RFC 6761 6.3: localhost names are the loopback address, answered without
// consulting the resolver.
bool is_localhost(const std::string& host) {
  return ::strcasecmp(host.c_str(), "localhost") == 0 ||
         ::strcasecmp(host.c_str(), "localhost.") == 0;
}

// The host's first IPv4 address, if the name resolves to one.
bool look_up(const std::string& host, in_addr& address) {
  const hostent* entry = ::gethostbyname(host.c_str());
  if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return false;
  std::memcpy(&address, entry->h_addr_list[0],
              std::min<std::size_t>(static_cast<std::size_t>(entry->h_length), sizeof address));
  return true;
}

// A process of this program serves one request and connects to the same
// host for each of its mails: the resolver is asked once, not each time.
bool first_address(const std::string& host, in_addr& address) {
  if (is_localhost(host)) {
    address.s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  static std::string last_host;
  static in_addr last_address;
  static bool last_resolved = false;
  if (last_host.empty() || host != last_host) {
    last_resolved = look_up(host, last_address);
    last_host = host;
  }
  address = last_address;
  return last_resolved;
}

// The address in dotted-decimal form, as inet_ntoa writes it but without
// its formatted printing.
std::string dotted(in_addr address) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

// How far past its deadline a wait may end. The socket's own time-outs
// bound every blocking call; setting them costs a system call, so they are
// set again only once the time left has fallen this much below them.
constexpr std::chrono::milliseconds timeout_slack{10};
// The longest receive time-out: a read that it ends with time still left is
// made again. So a deadline brought closer, as the wait for QUIT's reply
// brings it, needs no time-out of its own while it is this far off or more.
constexpr std::chrono::seconds longest_receive_wait{1};

timeval as_timeval(std::chrono::steady_clock::duration span) {
  // At least a microsecond: a time-out of zero would mean none at all.
  auto us = std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::microseconds>(span).count());
  return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

}  // namespace

tcp_stream::tcp_stream(const std::string& host, int port) { connect_to(host, port); }

tcp_stream::tcp_stream(const std::string& host, int port,
                       std::chrono::steady_clock::time_point stop_at)
    : deadline(stop_at) {
  connect_to(host, port);
}

tcp_stream::tcp_stream(int descriptor)
    : failed(false), fd(descriptor), buffer{}, peer_port(0), is_open(true) {}

tcp_stream::~tcp_stream() { close(); }

void tcp_stream::connect_to(const std::string& host, int port) {
  sockaddr_in peer{};
  bool resolved = first_address(host, peer.sin_addr);
  is_open = true;
  failed = false;
  std::memset(buffer, 0, sizeof buffer);
  fd = -1;
  peer_address = resolved ? dotted(peer.sin_addr) : host;
  peer_port = port;
  // Without an address there is nothing to connect to: no socket is made.
  if (!resolved) {
    failed = true;
    return;
  }
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  // Nagle's algorithm stays on: a line goes out in one write, and a reader
  // waits for the answer before it writes again, so nothing of its own is
  // unacknowledged when it writes and Nagle holds nothing back.
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // connect obeys the send time-out.
  if (fd < 0 || !bound_wait(SO_SNDTIMEO, send_bound) ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
    failed = true;
}

// With a deadline, makes sure the next blocking call of the socket cannot
// outlast it (by more than timeout_slack); false when no time is left.
bool tcp_stream::bound_wait(int option, std::chrono::steady_clock::duration& bound) {
  if (!deadline) return true;
  auto left = *deadline - std::chrono::steady_clock::now();
  if (left <= left.zero()) return false;
  if (option == SO_RCVTIMEO)
    left = std::min<std::chrono::steady_clock::duration>(left, longest_receive_wait);
  if (bound == bound.zero() || left + timeout_slack < bound) {
    timeval limit = as_timeval(left);
    if (::setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit) != 0) return false;
    bound = left;
  }
  return true;
}

// A reader may wait for the answer to what it wrote, so nothing it wrote may
// stay held back. Setting TCP_NODELAY again sends what MSG_MORE kept.
void tcp_stream::push_held_back() {
  if (!held_back) return;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  held_back = false;
}

bool tcp_stream::receive(char& byte) {
  if (incoming_at == incoming_end && !take_waiting()) return false;
  byte = incoming[incoming_at++];
  return true;
}

// Takes what is waiting, up to the buffer's size, in one read; waits for
// something to come when nothing is there yet.
bool tcp_stream::take_waiting() {
  push_held_back();
  incoming_at = incoming_end = 0;
  for (;;) {
    if (!bound_wait(SO_RCVTIMEO, receive_bound)) return false;
    ssize_t n = ::recv(fd, incoming, sizeof incoming, 0);
    if (n > 0) {
      incoming_end = static_cast<std::size_t>(n);
      return true;
    }
    // The end of the stream or an error; a time-out (EAGAIN) with time
    // still left reads again.
    bool timed_out = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && deadline;
    if (n == 0 || (errno != EINTR && !timed_out)) return false;
  }
}

// MSG_NOSIGNAL: a peer that has gone must show in `failed`, not end the
// process by SIGPIPE. MSG_MORE: a piece that does not end a line waits in
// the kernel for the rest of its line, so a line written piece by piece
// leaves as one segment; the piece that ends it sends them all.
void tcp_stream::put(const char* data, std::size_t size) {
  bool ends_line = size > 0 && data[size - 1] == '\n';
  int flags = MSG_NOSIGNAL | (ends_line ? 0 : MSG_MORE);
  std::size_t sent = 0;
  do {
    if (!bound_wait(SO_SNDTIMEO, send_bound)) break;
    ssize_t n = ::send(fd, data + sent, size - sent, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    sent += static_cast<std::size_t>(n);
  } while (sent < size);
  if (sent != size) failed = true;
  if (sent > 0) held_back = !ends_line;
}

tcp_stream::operator void*() { return failed && is_open ? nullptr : this; }

char tcp_stream::get() {
  char byte = 0;
  if (!receive(byte)) failed = true;
  return byte;
}

tcp_stream& tcp_stream::operator<<(const char* text) {
  put(text, std::strlen(text));
  return *this;
}

tcp_stream& tcp_stream::operator<<(const std::string& text) {
  put(text.data(), text.size());
  return *this;
}

tcp_stream& tcp_stream::operator<<(int value) {
  std::memset(buffer, 0, sizeof buffer);
  std::snprintf(buffer, sizeof buffer, "%d", value);
  return *this << static_cast<const char*>(buffer);
}

tcp_stream& tcp_stream::operator>>(std::string& word) {
  word.clear();
  char byte;
  while (receive(byte) && !is_space(byte)) word += byte;
  return *this;
}

tcp_stream& tcp_stream::operator>>(int& value) {
  std::string digits;
  char byte = 0;
  bool more = receive(byte);
  while (more && is_space(byte)) more = receive(byte);
  while (more && is_digit(byte)) {
    digits += byte;
    more = receive(byte);
  }
  if (!more) failed = true;
  value = std::atoi(digits.c_str());
  return *this;
}

void tcp_stream::clear() {
  failed = false;
  std::memset(buffer, 0, sizeof buffer);
}

// A stream whose host did not resolve never made a socket: nothing to close.
void tcp_stream::close() {
  if (!is_open) return;
  if (fd >= 0) ::close(fd);
  is_open = false;
}

}  // namespace net_tools
