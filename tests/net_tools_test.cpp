#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "net_tools/tcp_stream"
#include "support/script_server.hpp"

using net_tools::tcp_stream;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

bool is_null(tcp_stream& s) { return s.operator void*() == nullptr; }

// Safety bound for tests whose fault would be a wait without end: SIGALRM
// ends the test binary instead.
struct alarm_guard {
  alarm_guard() { ::alarm(20); }
  ~alarm_guard() { ::alarm(0); }
};

bool is_open_fd(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A stream adopting one end of a socket pair, the test holding the other.
struct stream_pair {
  int peer;
  tcp_stream* stream;

  stream_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    stream = new tcp_stream(fds[0]);
    peer = fds[1];
  }
  ~stream_pair() {
    delete stream;
    if (peer >= 0) ::close(peer);
  }
  // Sends bytes from the peer; with end set, the peer stops sending after them.
  void feed(const std::string& bytes, bool end = false) {
    ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    if (end) ::shutdown(peer, SHUT_WR);
  }
  // Everything the stream sent, once it has been closed.
  std::string drain() {
    stream->close();
    std::string all;
    char chunk[256];
    for (ssize_t n; (n = ::recv(peer, chunk, sizeof chunk, 0)) > 0;)
      all.append(chunk, static_cast<std::size_t>(n));
    return all;
  }
};

TEST(TcpStreamTest, WordExtraction) {
  struct {
    std::string bytes;
    bool end;
    std::string word;
    char next;  // NUL: expect the end of the stream
  } cases[] = {
      {"abc d", false, "abc", 'd'},
      {" a", false, "", 'a'},
      {"x\ty", false, "x", 'y'},
      {"ab", true, "ab", '\0'},
      {"\xe9\xa0 z", false, "\xe9\xa0", 'z'},  // bytes above 127 are never whitespace
  };
  for (const auto& c : cases) {
    stream_pair p;
    p.feed(c.bytes, c.end);
    std::string word = "old";
    *p.stream >> word;
    EXPECT_EQ(word, c.word) << "input " << c.bytes;
    EXPECT_FALSE(is_null(*p.stream)) << "end of stream ends a word without failing";
    EXPECT_EQ(p.stream->get(), c.next) << "input " << c.bytes;
  }
}

TEST(TcpStreamTest, IntegerExtraction) {
  struct {
    std::string bytes;
    bool end;
    int value;
    bool failed;
    char next;
  } cases[] = {
      {"  123xy", false, 123, false, 'y'},  // the x that ends the digits is consumed
      {"-5", false, 0, false, '5'},         // no sign: the minus ends the number
      {"+5", false, 0, false, '5'},        {"\r\n\t7 z", false, 7, false, 'z'},
      {"12", true, 12, true, '\0'},        {"", true, 0, true, '\0'},
  };
  for (const auto& c : cases) {
    stream_pair p;
    p.feed(c.bytes, c.end);
    int value = -1;
    *p.stream >> value;
    EXPECT_EQ(value, c.value) << "input " << c.bytes;
    EXPECT_EQ(p.stream->failed, c.failed) << "input " << c.bytes;
    EXPECT_EQ(p.stream->get(), c.next) << "input " << c.bytes;
  }
}

TEST(TcpStreamTest, InsertionsSendTheirBytesExactly) {
  stream_pair p;
  *p.stream << "" << 0 << "|" << -42 << "|" << std::string("a\0b", 3) << "|" << 2147483647;
  EXPECT_FALSE(p.stream->failed);
  EXPECT_EQ(p.drain(), std::string("0|-42|a\0b|2147483647", 20));
}

TEST(TcpStreamTest, NulByteIsDataAndEndOfStreamFailsEveryRead) {
  stream_pair p;
  p.feed(std::string("\0", 1), true);
  EXPECT_EQ(p.stream->get(), '\0');
  EXPECT_FALSE(is_null(*p.stream));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(p.stream->get(), '\0');
    EXPECT_TRUE(is_null(*p.stream));
  }
}

// A read takes what is waiting, but never more than the stream's fixed
// buffer, however much the peer sends.
TEST(TcpStreamTest, ReadsTakeAtMostTheBuffer) {
  stream_pair p;
  const std::size_t room = net_tools::tcp_stream::read_size;
  p.feed(std::string(room, 'a') + "b\n" + std::string(room, 'c'));
  EXPECT_EQ(p.stream->get(), 'a');
  int waiting = -1;
  ::ioctl(p.stream->fd, FIONREAD, &waiting);
  EXPECT_EQ(waiting, static_cast<int>(room) + 2);
}

TEST(TcpStreamTest, FailureIsStickyUntilClear) {
  stream_pair p;
  p.feed("", true);
  p.stream->get();
  ASSERT_TRUE(is_null(*p.stream));

  // A failed stream still sends, and success does not clear the flag.
  *p.stream << "still";
  EXPECT_TRUE(is_null(*p.stream));

  p.stream->clear();
  EXPECT_FALSE(is_null(*p.stream));
  *p.stream << " here";
  EXPECT_FALSE(p.stream->failed);
  EXPECT_EQ(p.drain(), "still here");
  // Closed: the test says usable whatever failed holds.
  p.stream->failed = true;
  EXPECT_FALSE(is_null(*p.stream));
}

TEST(TcpStreamTest, DescriptorIsClosedExactlyOnce) {
  stream_pair p;
  int fd = p.stream->fd;
  p.stream->close();
  EXPECT_FALSE(is_open_fd(fd));
  // The lowest free number comes back, so a second close would hit it.
  int reused = ::dup(p.peer);
  ASSERT_EQ(reused, fd);
  p.stream->close();
  delete p.stream;
  p.stream = nullptr;
  EXPECT_TRUE(is_open_fd(reused));
  ::close(reused);

  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  { tcp_stream never_closed(fds[0]); }
  EXPECT_FALSE(is_open_fd(fds[0]));
  ::close(fds[1]);
}

TEST(TcpStreamTest, WriteToGonePeerFailsWithoutSignal) {
  // SIGPIPE's default action would end the child before it exits.
  EXPECT_EXIT(
      {
        stream_pair p;
        ::close(p.peer);
        p.peer = -1;
        *p.stream << "one"
                  << "two";
        bool failed_unix = p.stream->failed;

        test_support::mute_listener listener;
        tcp_stream s("127.0.0.1", listener.port());
        ::close(listener.accept_one());
        // Whole lines: a piece without its line end may wait in the kernel.
        for (int i = 0; i < 3; ++i) s << "more\r\n";
        std::exit(failed_unix && s.failed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Pieces of a line may wait in the kernel for its end, but never past a
// read: the peer may be waiting for them before it answers.
TEST(TcpStreamTest, ReadSendsWhatWasHeldBack) {
  test_support::mute_listener listener;
  // The peer stays silent, so the read ends at the deadline, long before
  // the kernel would send held-back pieces of its own accord.
  tcp_stream s("127.0.0.1", listener.port(),
               std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  int peer = listener.accept_one();
  ASSERT_GE(peer, 0);
  s << "HELO "
    << "x";
  int unsent = -1;
  ::ioctl(s.fd, SIOCOUTQNSD, &unsent);
  EXPECT_EQ(unsent, 6) << "a piece without its line end goes out with the line";
  s.get();
  ::ioctl(s.fd, SIOCOUTQNSD, &unsent);
  EXPECT_EQ(unsent, 0) << "the read sent them";
  char got[8] = {};
  EXPECT_EQ(::recv(peer, got, sizeof got, 0), 6);
  EXPECT_STREQ(got, "HELO x");
  ::close(peer);
}

TEST(TcpStreamTest, ConnectsAndRecordsPeer) {
  test_support::mute_listener listener;
  struct {
    std::string host;
    int port;
  } cases[] = {
      {"127.0.0.1", listener.port()},
      {"localhost", listener.port()},
      {"127.0.0.1", listener.port() + 65536},  // only the low 16 bits reach the socket
  };
  for (const auto& c : cases) {
    tcp_stream s(c.host, c.port);
    EXPECT_FALSE(is_null(s)) << c.host << ":" << c.port;
    EXPECT_EQ(s.peer_address, "127.0.0.1");
    EXPECT_EQ(s.peer_port, c.port);
    int peer = listener.accept_one();
    ASSERT_GE(peer, 0);
    s << "hi";
    char got[3] = {};
    EXPECT_EQ(::recv(peer, got, 2, MSG_WAITALL), 2);
    EXPECT_STREQ(got, "hi");
    ::close(peer);
  }
}

TEST(TcpStreamTest, RefusedConnectionFailsUntilClosed) {
  test_support::closed_port nobody;
  auto deadline = steady_clock::now() + milliseconds(5000);
  tcp_stream plain("127.0.0.1", nobody.port());
  tcp_stream bounded("127.0.0.1", nobody.port(), deadline);
  for (tcp_stream* s : {&plain, &bounded}) {
    EXPECT_TRUE(is_null(*s));
    EXPECT_EQ(s->peer_address, "127.0.0.1");
    EXPECT_GE(s->fd, 0) << "the attempt's socket is the stream's to close";
    int fd = s->fd;
    s->close();
    EXPECT_FALSE(is_open_fd(fd));
    EXPECT_FALSE(is_null(*s));
    EXPECT_TRUE(s->failed);
  }
}

TEST(TcpStreamTest, UnresolvedHostMakesNoSocket) {
  const std::string host = "no-such-host.invalid";
  tcp_stream plain(host, 25);
  tcp_stream bounded(host, 25, steady_clock::now() + milliseconds(5000));
  for (tcp_stream* s : {&plain, &bounded}) {
    EXPECT_TRUE(is_null(*s));
    EXPECT_EQ(s->peer_address, host);
    EXPECT_EQ(s->fd, -1);
    EXPECT_TRUE(s->is_open);
    *s << "x";
    EXPECT_EQ(s->get(), '\0');
    s->close();
    EXPECT_FALSE(s->is_open);
  }
}

TEST(TcpStreamTest, DeadlineEndsWaitsOnSilentPeer) {
  alarm_guard guard;
  test_support::mute_listener listener;
  // Further off than the longest single wait of a read (1 s): the wait
  // after it must be cut to what is left, not last a whole second again.
  const auto deadline = steady_clock::now() + milliseconds(1200);
  tcp_stream s("127.0.0.1", listener.port(), deadline);
  ASSERT_FALSE(is_null(s)) << "the kernel completes the connection into the backlog";
  EXPECT_EQ(s.get(), '\0');
  EXPECT_TRUE(is_null(s));
  EXPECT_LT(steady_clock::now(), deadline + milliseconds(300)) << "waited past the deadline";

  // Past the deadline every operation fails at once.
  s.clear();
  int value = 7;
  s >> value;
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(s.failed);
  s.clear();
  s << "late";
  EXPECT_TRUE(s.failed);
  int peer = listener.accept_one();
  char byte;
  EXPECT_EQ(::recv(peer, &byte, 1, MSG_DONTWAIT), -1) << "nothing was sent after the deadline";
  ::close(peer);
}

TEST(TcpStreamTest, DeadlineEndsConnectionAttempt) {
  // Linux drops a SYN while the accept queue is full, so the second
  // connection can only wait.
  alarm_guard guard;
  test_support::mute_listener listener(0);
  auto now = steady_clock::now();
  tcp_stream first("127.0.0.1", listener.port(), now + milliseconds(5000));
  ASSERT_FALSE(is_null(first));
  tcp_stream second("127.0.0.1", listener.port(), now + milliseconds(300));
  EXPECT_TRUE(is_null(second));
}

TEST(TcpStreamTest, DeadlineSendGoesOutWholeOrFails) {
  alarm_guard guard;
  test_support::mute_listener listener;
  // More than the socket buffers hold, so the send has to wait for the reader.
  const std::string big(16 << 20, 'x');

  tcp_stream drained("127.0.0.1", listener.port(), steady_clock::now() + milliseconds(10000));
  int peer = listener.accept_one();
  std::size_t got = 0;
  std::thread reader([&] {
    char chunk[65536];
    for (ssize_t n; (n = ::recv(peer, chunk, sizeof chunk, 0)) > 0;)
      got += static_cast<std::size_t>(n);
  });
  drained << big;
  EXPECT_FALSE(drained.failed);
  drained.close();
  reader.join();
  EXPECT_EQ(got, big.size());
  ::close(peer);

  tcp_stream stuck("127.0.0.1", listener.port(), steady_clock::now() + milliseconds(200));
  stuck << big;
  EXPECT_TRUE(stuck.failed);
}

}  // namespace
