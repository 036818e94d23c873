// A scripted SMTP peer on a loopback ephemeral port, for byte-exact tests of
// the sender. It serves its connections one after another on its own thread,
// records every byte each client sent, and stops by itself: after the
// expected connections, on stop(), or when a client stays silent too long.
#ifndef TESTS_SUPPORT_SCRIPT_SERVER_HPP
#define TESTS_SUPPORT_SCRIPT_SERVER_HPP

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct smtp_script {
  std::string greeting = "220 test ready\r\n";
  int greeting_delay_ms = 0;         // how long a client waits for the greeting
  std::string reply = "250 ok\r\n";  // to every command but DATA
  std::string data_reply = "354 go on\r\n";
  // Replies in place of reply, by the whole command ("RCPT TO: a@b"), else
  // by its first word ("MAIL", "RCPT", ...; "." for the end of the data).
  std::map<std::string, std::string> reply_to;
  // Each line of a reply a moment after the one before, noting a client
  // that talks before the reply has ended.
  bool pause_between_lines = false;
  std::string after_quit;  // sent with the reply to QUIT, in the same write
  int replies = -1;        // replies sent before falling silent; -1: no end
  bool close_after_greeting = false;
  // Sent again and again in place of the greeting, until the client hangs up.
  std::string flood;
  bool byte_by_byte = false;      // one write per byte of every reply
  bool reset_in_data = false;     // reset the connection at the first data line
  bool strict_line_ends = false;  // refuse a bare LF and hang up, as strict servers do
  int port = 0;                   // 0: a free one
};

struct session {
  std::string received;       // every byte the client sent
  bool reset = false;         // the client closed with reply bytes left unread (Linux sends RST)
  std::string refused_line;   // the line a strict server hung up on
  bool abandoned = false;     // the server gave up on a silent client instead
  bool talked_early = false;  // the client sent something before a reply's last line
  std::size_t flooded = 0;    // bytes of the flood the client let through before hanging up
};

class script_server {
 public:
  explicit script_server(smtp_script script = {}, int connections = 1);
  ~script_server();
  script_server(const script_server&) = delete;
  script_server& operator=(const script_server&) = delete;

  int port() const { return port_; }
  // Waits for the expected connections to end, then gives their records.
  const std::vector<session>& sessions();
  // Stops waiting for connections that have not come.
  void stop();

 private:
  void run(int connections);
  void serve(int client);
  void send_reply(int client, const std::string& text, session& s);
  void flood(int client, session& s);
  std::string reply_for(const std::string& line) const;

  smtp_script script_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::vector<session> sessions_;
  std::thread thread_;
};

// Binds a loopback port without listening on it, so a connection to it is
// refused; the port stays taken until the object goes.
class closed_port {
 public:
  closed_port();
  ~closed_port();
  closed_port(const closed_port&) = delete;
  closed_port& operator=(const closed_port&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

// A loopback listener that accepts only when asked: the kernel completes
// connections into its backlog and nothing is sent. On port (0: a free one);
// port() is not the one asked for when it was taken.
class mute_listener {
 public:
  explicit mute_listener(int backlog = 4, int port = 0);
  ~mute_listener();
  mute_listener(const mute_listener&) = delete;
  mute_listener& operator=(const mute_listener&) = delete;
  int port() const { return port_; }
  // Accepts one pending connection, waiting a few seconds at most; -1 if none.
  int accept_one();
  // Whether a connection is waiting right now.
  bool has_pending() const;

 private:
  int fd_;
  int port_;
};

}  // namespace test_support

#endif
