#include "script_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace test_support {

namespace {

// Safety bound on every wait of the test peers; no test relies on it.
constexpr int safety_ms = 5000;

int loopback_socket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  // A port that cannot be had shows as port 0, which the tests check.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    address.sin_port = 0;
  port = ntohs(address.sin_port);
  return fd;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, safety_ms) > 0;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool has_bare_line_feed(const std::string& line) {
  return line.size() < 2 || line[line.size() - 2] != '\r';
}

// Closes so that the peer sees a reset rather than an orderly end.
void reset(int fd) {
  linger abort_close{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
}

}  // namespace

script_server::script_server(smtp_script script, int connections) : script_(std::move(script)) {
  port_ = script_.port;
  listener_ = loopback_socket(port_);
  ::listen(listener_, 4);
  if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
  thread_ = std::thread(&script_server::run, this, connections);
}

script_server::~script_server() {
  stop();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

const std::vector<session>& script_server::sessions() {
  if (thread_.joinable()) thread_.join();
  return sessions_;
}

void script_server::stop() {
  if (!thread_.joinable()) return;
  char byte = 0;
  if (::write(wake_[1], &byte, 1) != 1) {
    // The thread still ends by its own safety bound.
  }
  thread_.join();
}

void script_server::run(int connections) {
  for (int i = 0; i < connections; ++i) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, safety_ms) <= 0 || p[1].revents) return;
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    // Replies written a byte at a time must not wait for ACKs.
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    serve(client);
    ::close(client);
  }
}

void script_server::serve(int client) {
  session s;
  int budget = script_.replies;
  auto answer = [&](const std::string& text) {
    if (budget == 0 || text.empty()) return;
    if (budget > 0) --budget;
    send_reply(client, text, s);
  };
  if (!script_.flood.empty()) flood(client, s);
  if (script_.greeting_delay_ms > 0) ::poll(nullptr, 0, script_.greeting_delay_ms);
  answer(script_.greeting);
  if (script_.close_after_greeting) {
    sessions_.push_back(s);
    return;
  }
  std::string line;
  bool in_data = false;
  for (;;) {
    if (!readable(client)) {
      s.abandoned = true;
      break;
    }
    char chunk[4096];
    ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) {
      s.reset = n < 0 && errno == ECONNRESET;
      break;
    }
    s.received.append(chunk, static_cast<std::size_t>(n));
    for (ssize_t i = 0; i < n; ++i) {
      line += chunk[i];
      if (chunk[i] != '\n') continue;
      if (script_.strict_line_ends && has_bare_line_feed(line)) {
        send_reply(client, "500 bare LF\r\n", s);
        s.refused_line = line;
        sessions_.push_back(s);
        return;
      }
      if (in_data && script_.reset_in_data) {
        reset(client);
        sessions_.push_back(s);
        return;
      }
      if (in_data) {
        // The mail data gets one reply, after its end line.
        in_data = line != ".\r\n";
        if (!in_data) answer(reply_for("."));
      } else if (starts_with(line, "DATA")) {
        std::string reply = reply_for("DATA");
        // As a server would: only a 354 starts the data.
        in_data = starts_with(reply, "354");
        answer(reply);
      } else if (starts_with(line, "QUIT")) {
        answer(reply_for("QUIT") + script_.after_quit);
      } else {
        answer(reply_for(line));
      }
      line.clear();
    }
  }
  sessions_.push_back(s);
}

// Small socket buffers, so that what the flood pushes is mostly what the
// client read. It ends when the client hangs up; what the client said by
// then is read as usual afterwards.
void script_server::flood(int client, session& s) {
  int small = 4096;
  ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  for (;;) {
    pollfd p{client, POLLOUT, 0};
    if (::poll(&p, 1, safety_ms) <= 0) return;
    ssize_t n = ::send(client, script_.flood.data(), script_.flood.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    s.flooded += static_cast<std::size_t>(n);
  }
}

std::string script_server::reply_for(const std::string& line) const {
  std::string word = line.substr(0, line.find_first_of(" \r\n"));
  for (const std::string& key : {line.substr(0, line.find_first_of("\r\n")), word}) {
    auto chosen = script_.reply_to.find(key);
    if (chosen != script_.reply_to.end()) return chosen->second;
  }
  return word == "DATA" ? script_.data_reply : script_.reply;
}

void script_server::send_reply(int client, const std::string& text, session& s) {
  if (script_.pause_between_lines) {
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
      if (at > 0) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) s.talked_early = true;
      }
      ::send(client, text.data() + at, end - at, MSG_NOSIGNAL);
      at = end;
    }
    return;
  }
  if (!script_.byte_by_byte) {
    ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
    return;
  }
  for (char c : text) ::send(client, &c, 1, MSG_NOSIGNAL);
}

closed_port::closed_port() : port_(0) { fd_ = loopback_socket(port_); }

closed_port::~closed_port() { ::close(fd_); }

mute_listener::mute_listener(int backlog, int port) : port_(port) {
  fd_ = loopback_socket(port_);
  ::listen(fd_, backlog);
}

mute_listener::~mute_listener() { ::close(fd_); }

int mute_listener::accept_one() { return readable(fd_) ? ::accept(fd_, nullptr, nullptr) : -1; }

bool mute_listener::has_pending() const {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

}  // namespace test_support
