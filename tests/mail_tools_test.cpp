#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "mail_tools/smtp.hpp"
#include "support/mailbox_process.hpp"
#include "support/script_server.hpp"

using mail_tools::smtp;
using std::chrono::milliseconds;
using test_support::smtp_script;

namespace {

// Safety bound for dialogues that should end long before it.
constexpr milliseconds safety{5000};

smtp notification() {
  smtp m;
  m.server = "127.0.0.1";
  m.to = "owner@example.net";
  m.from = "ann@example.org";
  m.subject = "Hello";
  m.body = "Ann\r\nann@example.org\r\nHi\r\n";
  return m;
}

struct outcome {
  bool sent;
  std::string failure;
  bool refused;
  std::vector<test_support::session> sessions;
};

outcome deliver(smtp m, const smtp_script& script = {}, milliseconds limit = safety) {
  test_support::script_server server(script);
  m.port = server.port();
  bool sent = m.send(limit);
  server.stop();
  return {sent, m.failure.value_or(""), m.refused, server.sessions()};
}

// What the client sends for notification() with its data block replaced.
std::string dialogue(const std::string& data) {
  return "HELO 127.0.0.1\r\n"
         "MAIL FROM: ann@example.org\r\n"
         "RCPT TO: owner@example.net\r\n"
         "DATA\r\n" +
         data + ".\r\nQUIT\r\n";
}

// The mail of notification() as the server receives it, with the header
// lines of its copies, if any, before the subject.
std::string mail_text(const std::string& copies = "") {
  return "From: ann@example.org\r\nTo: owner@example.net\r\n" + copies +
         "Subject: Hello\r\n\r\nAnn\r\nann@example.org\r\nHi\r\n\r\n";
}

const std::string plain_data = mail_text();

TEST(SmtpWireTest, BodyToWire) {
  struct {
    std::string body, wire;
  } cases[] = {
      {"", ""},
      {"a\r\nb", "a\r\nb"},
      {"a\nb", "a\r\nb"},
      {"a\rb", "a\r\nb"},
      {"a\r\r\nb", "a\r\n\r\nb"},
      {"a\n\r\nb", "a\r\n\r\nb"},
      {"a\n\n", "a\r\n\r\n"},
      {".", ".."},
      {".x", "..x"},
      {"..", "..."},
      {"a\n.\nb", "a\r\n..\r\nb"},
      {"a\r.b", "a\r\n..b"},
      {"a.b\r\n x.", "a.b\r\n x."},
      // RFC 5322 lines: at most 998 octets, broken after the last space within them.
      {std::string(998, 'a'), std::string(998, 'a')},
      {std::string(999, 'a'), std::string(998, 'a') + "\r\na"},
      {std::string(500, 'a') + " " + std::string(497, 'b'),
       std::string(500, 'a') + " " + std::string(497, 'b')},
      {std::string(997, 'a') + " " + std::string(500, 'b'),
       std::string(997, 'a') + " \r\n" + std::string(500, 'b')},
      {"a " + std::string(1498, 'b'),
       "a \r\n" + std::string(998, 'b') + "\r\n" + std::string(500, 'b')},
      {std::string(997, 'a') + " .b\n.", std::string(997, 'a') + " \r\n..b\r\n.."},
      {"." + std::string(997, 'a'), ".." + std::string(997, 'a')},  // the doubled dot is extra
  };
  for (const auto& c : cases) {
    std::string have = mail_tools::body_to_wire(c.body);
    EXPECT_EQ(have, c.wire) << "body \"" << c.body << "\": have \"" << have << "\", want \""
                            << c.wire << "\"";
  }
}

TEST(SmtpWireTest, HeaderValue) {
  struct {
    std::string value, line;
  } cases[] = {
      {"", ""},
      {"Hi", "Hi"},
      {"Hi\r\nBcc: x@y", "Hi Bcc: x@y"},
      {"a\rb", "a b"},
      {"a\nb", "a b"},
      {"a\n\rb", "a  b"},
      {"a\r\n\r\n", "a  "},
      {"\r\n.\r\n", " . "},
  };
  for (const auto& c : cases) {
    std::string have = mail_tools::header_value(c.value);
    EXPECT_EQ(have, c.line) << "value \"" << c.value << "\": have \"" << have << "\", want \""
                            << c.line << "\"";
  }
}

TEST(SmtpDialogueTest, MessageShapes) {
  smtp with_copies = notification();
  with_copies.cc = "cc@example.com";
  with_copies.bcc = "bcc@example.com";
  smtp bare = notification();
  bare.subject = "";
  bare.body = "";
  smtp answered_elsewhere = notification();
  answered_elsewhere.reply_to = "ann@example.org";
  answered_elsewhere.from = "owner@example.net";
  const std::string a73(73, 'a');
  smtp utf8 = notification();
  utf8.subject = std::string(39, 'a') + "\xF0\x9F\x98\x80 Gr\xC3\xBC\xC3\x9F";
  utf8.body = "a=b \r\nc\t\rd\n.\n" + a73 + "=\n" + a73 + "a\xC3\xA9\x7F";
  smtp dots = notification();
  dots.subject = "Hi\r\nBcc: x@y";
  dots.body = ".\nQUIT\r.hidden\r\r\nend";

  struct {
    const char* name;
    smtp message;
    std::string wire;
  } cases[] = {
      {"no copies", notification(), dialogue(plain_data)},
      {"cc and bcc", with_copies,
       "HELO 127.0.0.1\r\n"
       "MAIL FROM: ann@example.org\r\n"
       "RCPT TO: owner@example.net\r\n"
       "RCPT TO: cc@example.com\r\n"
       "RCPT TO: bcc@example.com\r\n"
       "DATA\r\n" +
           mail_text("Cc: cc@example.com\r\n") + ".\r\nQUIT\r\n"},
      {"empty subject and body", bare,
       dialogue("From: ann@example.org\r\nTo: owner@example.net\r\nSubject: \r\n\r\n\r\n")},
      {"a Reply-To", answered_elsewhere,
       "HELO 127.0.0.1\r\nMAIL FROM: owner@example.net\r\nRCPT TO: owner@example.net\r\nDATA\r\n"
       "From: owner@example.net\r\nTo: owner@example.net\r\nReply-To: ann@example.org\r\n"
       "Subject: Hello\r\n\r\nAnn\r\nann@example.org\r\nHi\r\n\r\n.\r\nQUIT\r\n"},
      // The data cannot end early, nor a subject grow header lines.
      {"dots and line breaks", dots,
       dialogue("From: ann@example.org\r\nTo: owner@example.net\r\nSubject: Hi Bcc: x@y\r\n\r\n"
                "..\r\nQUIT\r\n..hidden\r\n\r\nend\r\n")},
      // Words of whole characters, the first within the first line's 78 octets.
      {"UTF-8 subject and body", utf8,
       dialogue("From: ann@example.org\r\nTo: owner@example.net\r\n"
                "Subject: =?UTF-8?B?YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh?=\r\n"
                " =?UTF-8?B?8J+YgCBHcsO8w58=?=\r\n"
                "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                "a=3Db=20\r\nc=09\r\nd\r\n..\r\n" +
                a73 + "=3D\r\n" + a73 + "a=\r\n=C3=A9=7F\r\n")},
  };
  for (const auto& c : cases) {
    outcome o = deliver(c.message);
    EXPECT_TRUE(o.sent) << c.name;
    ASSERT_EQ(o.sessions.size(), 1u) << c.name;
    EXPECT_EQ(o.sessions[0].received, c.wire) << c.name;
    // Every reply line was taken: fewer waits would leave some unread.
    EXPECT_FALSE(o.sessions[0].reset) << c.name;
  }
}

// What the client sends for notification() when the server refuses at a
// step: the commands up to and including that step's, then QUIT.
std::string stopped_after(const std::string& command) {
  std::string wire = dialogue(plain_data);
  return wire.substr(0, wire.find("\r\n", wire.find(command)) + 2) + "QUIT\r\n";
}

smtp_script edited(void (*edit)(smtp_script&)) {
  smtp_script script;
  edit(script);
  return script;
}

// Whether a failure quotes the server's reply, which makes it a refusal.
bool quotes_reply(const std::string& failure) {
  std::size_t at = failure.find(": ");
  return at != std::string::npos && at + 2 < failure.size() && std::isdigit(failure[at + 2]);
}

// Whatever the server answers, the client reads within fixed bounds, stops
// at the first reply that is not the one its step wants, says QUIT, and
// writes nothing else.
TEST(SmtpDialogueTest, RepliesAreReadWholeAndExamined) {
  struct {
    const char* name;
    smtp_script script;
    bool sent;
    std::string wire, failure;
    // Whether the client closed with reply lines unread. Where the
    // client lags behind the server, that races with the server's last
    // reply, so it is not checked.
    std::optional<bool> lines_left = false;
  } cases[] = {
      {"two-line greeting",
       edited([](smtp_script& s) { s.greeting = "220-first\r\n220 second\r\n"; }), true,
       dialogue(plain_data), ""},
      {"multi-line replies, each line a moment after the one before", edited([](smtp_script& s) {
         s.pause_between_lines = true;
         s.greeting = "220-one\r\n220-two\n220 three\r\n";
         s.reply_to["HELO"] = "250-hello\r\n250 PIPELINING\r\n";
       }),
       true, dialogue(plain_data), ""},
      {"one byte per write", edited([](smtp_script& s) {
         s.byte_by_byte = true;
         s.greeting = "220 bare line feed\n";
       }),
       true, dialogue(plain_data), ""},
      {"a line of 512 octets",
       edited([](smtp_script& s) { s.greeting = "220 " + std::string(506, 'x') + "\r\n"; }), true,
       dialogue(plain_data), ""},
      {"32 lines", edited([](smtp_script& s) {
         s.greeting.clear();
         for (int i = 0; i < 31; ++i) s.greeting += "220-x\r\n";
         s.greeting += "220 x\r\n";
       }),
       true, dialogue(plain_data), ""},
      {"a line after the last reply",
       edited([](smtp_script& s) { s.after_quit = "250 not asked for\r\n"; }), true,
       dialogue(plain_data), "", std::nullopt},
      {"QUIT never answered", edited([](smtp_script& s) { s.reply_to["QUIT"] = ""; }), true,
       dialogue(plain_data), ""},
      {"554 greeting", edited([](smtp_script& s) { s.greeting = "554 go away\r\n"; }), false,
       "QUIT\r\n", "greeting: 554 go away"},
      {"refused sender",
       edited([](smtp_script& s) { s.reply_to["MAIL"] = "553 5.1.8 bad sender\r\n"; }), false,
       stopped_after("MAIL FROM"), "MAIL FROM: 553 5.1.8 bad sender"},
      {"refused recipient, in two lines", edited([](smtp_script& s) {
         s.reply_to["RCPT"] = "550-5.1.1 no such\r\n550 5.1.1 user\r\n";
       }),
       false, stopped_after("RCPT TO"), "RCPT TO: 550-5.1.1 no such 550 5.1.1 user"},
      {"refused DATA",
       edited([](smtp_script& s) { s.data_reply = "554 5.5.1 no valid recipients\r\n"; }), false,
       stopped_after("DATA"), "DATA: 554 5.5.1 no valid recipients"},
      {"DATA answered 3yz but not 354",
       edited([](smtp_script& s) { s.data_reply = "350 go on\r\n"; }), false, stopped_after("DATA"),
       "DATA: 350 go on"},
      {"refused end of data",
       edited([](smtp_script& s) { s.reply_to["."] = "552 5.3.4 too big\r\n"; }), false,
       dialogue(plain_data), "end of data: 552 5.3.4 too big"},
      {"a code alone", edited([](smtp_script& s) { s.greeting = "2\r\n"; }), false, "QUIT\r\n",
       "greeting: malformed reply"},
      {"letters in the code", edited([](smtp_script& s) { s.reply_to["HELO"] = "2ab\r\n"; }), false,
       stopped_after("HELO"), "HELO: malformed reply"},
      {"no space after the code", edited([](smtp_script& s) { s.data_reply = "354go on\r\n"; }),
       false, stopped_after("DATA"), "DATA: malformed reply"},
      {"mixed codes in one reply",
       edited([](smtp_script& s) { s.reply_to["."] = "250-queued\r\n550 but refused\r\n"; }), false,
       dialogue(plain_data), "end of data: malformed reply"},
      {"a line of 513 octets",
       edited([](smtp_script& s) { s.greeting = "220 " + std::string(507, 'x') + "\r\n"; }), false,
       "QUIT\r\n", "greeting: reply too long", std::nullopt},
      {"33 lines", edited([](smtp_script& s) {
         s.greeting.clear();
         for (int i = 0; i < 32; ++i) s.greeting += "220-x\r\n";
         s.greeting += "220 x\r\n";
       }),
       false, "QUIT\r\n", "greeting: reply too long", std::nullopt},
      {"bytes without a line feed, without end",
       edited([](smtp_script& s) { s.flood = std::string(4096, 'x'); }), false, "QUIT\r\n",
       "greeting: reply too long", std::nullopt},
      {"continuation lines without end", edited([](smtp_script& s) { s.flood = "220-x\r\n"; }),
       false, "QUIT\r\n", "greeting: reply too long", std::nullopt},
  };
  for (const auto& c : cases) {
    outcome o = deliver(notification(), c.script, milliseconds(8000));
    EXPECT_EQ(o.sent, c.sent) << c.name;
    EXPECT_EQ(o.failure, c.failure) << c.name;
    EXPECT_EQ(o.refused, quotes_reply(c.failure)) << c.name;
    ASSERT_EQ(o.sessions.size(), 1u) << c.name;
    const auto& session = o.sessions[0];
    EXPECT_EQ(session.received, c.wire) << c.name;
    EXPECT_FALSE(session.talked_early) << c.name;
    // The client hung up by itself, long before the server's 5 s patience
    // (and the dialogue's 8 s limit) ran out.
    EXPECT_FALSE(session.abandoned) << c.name;
    // What a flood could push before the client hung up: the few replies'
    // worth that the client read, and what the sockets' buffers held.
    EXPECT_LT(session.flooded, 1u << 20) << c.name;
    if (c.lines_left) {
      EXPECT_EQ(session.reset, *c.lines_left) << c.name;
    }
  }
}

// Form text in the header block and the body reaches the server only after
// a 354: a lenient server that refuses DATA but reads on must see nothing of it.
TEST(SmtpDialogueTest, NoTextReachesTheServerOutsideData) {
  smtp_script lenient;
  lenient.data_reply = "503 5.5.1 bad sequence\r\n";
  smtp m = notification();
  m.from = "@";
  m.subject = "x\r\nMAIL FROM:<ceo@bank.example>";
  m.body = "MAIL FROM:<ceo@bank.example>\r\nRCPT TO:<victim@example.net>\r\nDATA\r\nHi\r\n";
  outcome o = deliver(m, lenient);
  EXPECT_FALSE(o.sent);
  ASSERT_EQ(o.sessions.size(), 1u);
  EXPECT_EQ(o.sessions[0].received,
            "HELO 127.0.0.1\r\nMAIL FROM: @\r\nRCPT TO: owner@example.net\r\nDATA\r\nQUIT\r\n");
}

TEST(SmtpDialogueTest, EachSendIsItsOwnDialogue) {
  test_support::script_server server({}, 2);
  smtp m = notification();
  m.port = server.port();
  EXPECT_TRUE(m.send(safety));
  EXPECT_TRUE(m.send(safety));
  const auto& sessions = server.sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].received, dialogue(plain_data));
  EXPECT_EQ(sessions[1].received, dialogue(plain_data));
}

TEST(SmtpDialogueTest, LineBreakInEnvelopeRefusesToConnect) {
  std::string smtp::*members[] = {&smtp::server, &smtp::from, &smtp::to,
                                  &smtp::cc,     &smtp::bcc,  &smtp::reply_to};
  for (auto member : members) {
    for (const char* value : {"a@b\r\nRCPT TO: c@d", "a@b\n", "\ra@b"}) {
      smtp m = notification();
      m.*member = value;
      outcome o = deliver(m);
      EXPECT_FALSE(o.sent) << value;
      EXPECT_TRUE(o.sessions.empty()) << "connected for " << value;
    }
  }
}

TEST(SmtpDialogueTest, NoConnectionReturnsFalse) {
  test_support::closed_port nobody;
  smtp refused = notification();
  refused.port = nobody.port();
  EXPECT_FALSE(refused.send(safety));
  EXPECT_EQ(refused.failure, "no connection to 127.0.0.1:" + std::to_string(nobody.port()));

  smtp unresolved = notification();
  unresolved.server = "no-such-host.invalid";
  unresolved.port = nobody.port();
  EXPECT_FALSE(unresolved.send(safety));
}

TEST(SmtpDialogueTest, SilentServerIsLeftAtTheLimit) {
  smtp_script silent;
  silent.replies = 0;
  smtp_script falls_silent;  // greeting, HELO and MAIL FROM answered
  falls_silent.replies = 3;

  struct {
    const char* name;
    smtp_script script;
    std::string wire, failure;
  } cases[] = {
      {"never answers", silent, "", "greeting: no reply within the time limit"},
      {"stops after MAIL FROM", falls_silent,
       "HELO 127.0.0.1\r\nMAIL FROM: ann@example.org\r\nRCPT TO: owner@example.net\r\n",
       "RCPT TO: no reply within the time limit"},
  };
  for (const auto& c : cases) {
    outcome o = deliver(notification(), c.script, milliseconds(500));
    EXPECT_FALSE(o.sent) << c.name;
    EXPECT_EQ(o.failure, c.failure) << c.name;
    ASSERT_EQ(o.sessions.size(), 1u) << c.name;
    EXPECT_EQ(o.sessions[0].received, c.wire) << c.name << ": nothing goes out past the limit";
    EXPECT_FALSE(o.sessions[0].abandoned) << c.name << ": the client must hang up first";
  }
}

TEST(SmtpDialogueTest, ServerClosingEarlyDoesNotEndTheProcess) {
  // An unhandled SIGPIPE would end the child before it exits.
  EXPECT_EXIT(
      {
        smtp_script hang_up;
        hang_up.close_after_greeting = true;
        outcome o = deliver(notification(), hang_up);
        std::exit(!o.sent && o.failure == "HELO: connection lost" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Against the project's own SMTP server, built on a real SMTP library.
class SmtpInteropTest : public ::testing::Test {
 protected:
  test_support::mailbox_process mailbox;

  void SetUp() override { ASSERT_NE(mailbox.port(), 0) << "tools/smtp_mailbox.py did not start"; }

  smtp message() {
    smtp m = notification();
    m.server = "localhost";
    m.port = mailbox.port();
    return m;
  }
};

TEST_F(SmtpInteropTest, DeliversEnvelopeHeadersAndBody) {
  smtp copies = message();
  copies.cc = "cc@example.com";
  copies.bcc = "bcc@example.com";
  smtp dots = message();
  dots.subject = "Thank you...";
  dots.body = "one\n.\ntwo\n..three\r.";

  ASSERT_TRUE(copies.send(safety));
  ASSERT_TRUE(dots.send(safety));
  auto mails = mailbox.mails();
  ASSERT_EQ(mails.size(), 2u);

  EXPECT_EQ(mails[0].mail_from, "ann@example.org");
  EXPECT_EQ(mails[0].rcpt_tos,
            (std::vector<std::string>{"owner@example.net", "cc@example.com", "bcc@example.com"}));
  EXPECT_EQ(mails[0].data, mail_text("Cc: cc@example.com\r\n"));

  EXPECT_EQ(mails[1].rcpt_tos, std::vector<std::string>{"owner@example.net"});
  EXPECT_EQ(mails[1].data,
            "From: ann@example.org\r\nTo: owner@example.net\r\n"
            "Subject: Thank you...\r\n\r\none\r\n.\r\ntwo\r\n..three\r\n.\r\n");
}

}  // namespace
