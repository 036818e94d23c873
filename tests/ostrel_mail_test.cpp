// The whole job of an accepted submission, run as a CGI process: the record
// in the log, both mails at a real SMTP server, and the answer.
//
// Each test runs its mail server on a free port, and the program under test
// mails that port (with_mail_port); its messages name the port it was built
// with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ostrel/config.hpp"
#include "support/cgi_run.hpp"
#include "support/mailbox_process.hpp"
#include "support/script_server.hpp"
#include "support/submission.hpp"

namespace {

const std::string port = std::to_string(config::mail_port);

// The program's standard error when both mails of a@b's submission failed
// with the same outcome.
std::string both_mails(const std::string& outcome) {
  return "ostrel: owner notification to webmaster@localhost" + outcome +
         "\nostrel: acknowledgement to a@b" + outcome + "\n";
}

// Listens and never answers: shows whether the program connected at all,
// and holds it in its dialogue if it did.
struct silent_server : test_support::mute_listener {
  silent_server() : mute_listener(8) {}
};

// By POST and by GET alike. Memcheck runs this test too.
TEST_F(Submission, LogsAndMailsBoth) {
  test_support::mailbox_process mailbox;
  ASSERT_NE(mailbox.port(), 0);

  const std::string fields =
      "name=Ann+Lee&email=ann%40example.org&subject=Hello%0D%0ABcc%3A+x%40y"
      "&message=.%0D%0Aline+2%0Aline+3";
  const std::string record =
      "\"Ann Lee\",\"ann@example.org\",\"Hello\\r\\nBcc: x@y\",\".\\r\\nline 2\\nline 3\"\n";
  std::string want_log;
  std::size_t want_mails = 0;
  for (const cgi_request& request : {form_post(fields), form_get(fields)}) {
    const std::string& method = request.environment[0];
    cgi_answer answer = submit(with_mail_port(mailbox.port(), request));
    EXPECT_EQ(answer.out, ok_answer) << method;
    EXPECT_EQ(answer.err, "") << method << ": both mails were accepted";
    want_log += record;
    EXPECT_EQ(log(), want_log) << method;

    want_mails += 2;
    auto mails = mailbox.mails();
    ASSERT_EQ(mails.size(), want_mails) << method;
    const auto& notification = mails[mails.size() - 2];
    const auto& acknowledgement = mails.back();
    EXPECT_EQ(notification.mail_from, "ann@example.org") << method;
    EXPECT_EQ(notification.rcpt_tos, std::vector<std::string>{"webmaster@localhost"}) << method;
    // The subject's line break cannot start a header line of its own, and the
    // message's lone "." line does not end the mail early.
    EXPECT_EQ(notification.data,
              "From: ann@example.org\r\nTo: webmaster@localhost\r\n"
              "Subject: Hello Bcc: x@y\r\n\r\n"
              "Ann Lee\r\nann@example.org\r\n.\r\nline 2\r\nline 3\r\n\r\n")
        << method;
    EXPECT_EQ(acknowledgement.mail_from, "webmaster@localhost") << method;
    EXPECT_EQ(acknowledgement.rcpt_tos, std::vector<std::string>{"ann@example.org"}) << method;
    EXPECT_EQ(acknowledgement.data,
              "From: webmaster@localhost\r\nTo: ann@example.org\r\nSubject: Thank you...\r\n\r\n"
              "Thank you for filling out the request form...\r\n")
        << method;
  }
}

// Built to send the notification from the owner's address (which a
// mailbox provider's DMARC check can pass) and no thank-you: the submitter
// is only the one to reply to.
TEST_F(Submission, NotificationFromTheOwnerAndNoThankYou) {
  test_support::mailbox_process mailbox;
  ASSERT_NE(mailbox.port(), 0);
  cgi_answer answer = submit(
      with_mail_port(mailbox.port(), form_post(form("Ann", "ann%40example.org", "Hello", "Hi"))),
      test_program("ostrel_from_owner"));
  EXPECT_EQ(answer.out, ok_answer);
  EXPECT_EQ(answer.err, "");
  auto mails = mailbox.mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].mail_from, "webmaster@localhost");
  EXPECT_EQ(mails[0].rcpt_tos, std::vector<std::string>{"webmaster@localhost"});
  EXPECT_EQ(mails[0].data,
            "From: webmaster@localhost\r\nTo: webmaster@localhost\r\nReply-To: ann@example.org\r\n"
            "Subject: Hello\r\n\r\nAnn\r\nann@example.org\r\nHi\r\n\r\n");
}

TEST_F(Submission, NothingListeningStillSucceeds) {
  test_support::closed_port nobody;
  cgi_answer answer = submit(with_mail_port(nobody.port(), form_post(form("a", "a@b", "s", "m"))));
  EXPECT_EQ(answer.out, ok_answer);
  EXPECT_EQ(answer.err, both_mails(" not sent: no connection to localhost:" + port));
  EXPECT_EQ(log(), "\"a\",\"a@b\",\"s\",\"m\"\n");
}

TEST_F(Submission, StalledMailServerCannotHoldTheAnswer) {
  silent_server server;
  // Both dialogues share the program's one time limit: the first uses it up,
  // and the second is not even begun. The harness would kill a program that
  // hung, and the answer would then be missing.
  cgi_answer answer = submit(with_mail_port(server.port(), form_post(form("a", "a@b", "s", "m"))));
  EXPECT_EQ(answer.out, ok_answer);
  EXPECT_EQ(answer.err,
            "ostrel: owner notification to webmaster@localhost not sent: greeting: no reply within "
            "the time limit\n"
            "ostrel: acknowledgement to a@b not sent: no time left to connect to localhost:" +
                port + "\n");
  EXPECT_EQ(log(), "\"a\",\"a@b\",\"s\",\"m\"\n");
  EXPECT_GE(server.accept_one(), 0);
  EXPECT_FALSE(server.has_pending());
}

// Whatever the mail server does, the submission stays logged whole, the
// process ends on its own with the success answer, no signal ends it, and
// each mail that was not accepted has its line on standard error.
TEST_F(Submission, MailServerFaults) {
  // Bytes outside ASCII are written as \xHH; the cut at 300 bytes leaves out
  // the whole \xc3 that would cross it.
  std::string long_text(241, 'x');
  for (int i = 0; i < 40; ++i) long_text += "\xc3\xa9";
  struct row {
    const char* what;
    test_support::smtp_script script;
    std::string err;
  } rows[] = {
      {"replies a byte at a time", {}, ""},
      {"multi-line replies", {}, ""},
      {"resets in the middle of the data",
       {},
       both_mails(" not sent: end of data: connection lost")},
      {"closes after its greeting", {}, both_mails(" not sent: HELO: connection lost")},
      {"refuses bare line feeds", {}, ""},
      {"answers every command with an error",
       {},
       both_mails(" not accepted: greeting: 554 go away")},
      {"refuses the recipient",
       {},
       both_mails(" not accepted: RCPT TO: 550-5.1.1 <x>: Recipient  address rejected 550 " +
                  long_text.substr(0, 241))},
      {"never answers QUIT: the acknowledgement still has time", {}, ""},
      {"greets only after a while, each time", {}, ""},
  };
  rows[0].script.byte_by_byte = true;
  rows[1].script.greeting = "220-first\r\n220-second\r\n220 ready\r\n";
  rows[1].script.reply = "250-one\r\n250 two\r\n";
  rows[2].script.reset_in_data = true;
  rows[3].script.close_after_greeting = true;
  rows[4].script.strict_line_ends = true;
  rows[5].script.greeting = "554 go away\r\n";
  rows[5].script.reply = rows[5].script.data_reply = "550 no\r\n";
  // Control bytes in the server's text become spaces, and the text is cut.
  rows[6].script.reply_to["RCPT"] =
      "550-5.1.1 <x>: Recipient\t\001address rejected\r\n550 " + long_text + "\r\n";
  rows[7].script.reply_to["QUIT"] = "";
  // Longer than any other time limit of the program, twice within the mails' limit.
  rows[8].script.greeting_delay_ms = (config::body_timeout_ms + config::mail_timeout_ms / 2) / 2;

  std::string want_log;
  for (auto& r : rows) {
    test_support::script_server server(r.script, 2);
    cgi_answer answer = submit(
        with_mail_port(server.port(), form_post(form("a", "a@b", "s", "line%0Aline%0D.%0D%0A."))));
    EXPECT_EQ(answer.out, ok_answer) << r.what;
    EXPECT_EQ(answer.err, r.err) << r.what;
    EXPECT_EQ(answer.exit_status, 0) << r.what;
    EXPECT_EQ(answer.signal, 0) << r.what;
    want_log += "\"a\",\"a@b\",\"s\",\"line\\nline\\r.\\r\\n.\"\n";
    EXPECT_EQ(log(), want_log) << r.what;
    const auto& sessions = server.sessions();
    EXPECT_EQ(sessions.size(), 2u) << r.what;
    for (const auto& session : sessions) EXPECT_EQ(session.refused_line, "") << r.what;
    if (r.script.strict_line_ends) {
      for (const auto& session : sessions)
        EXPECT_NE(session.received.find("QUIT\r\n"), std::string::npos);
    }
  }
}

TEST_F(Submission, NoMailWithoutTheLog) {
  silent_server server;
  rmdir(dir.file("log").c_str());
  EXPECT_EQ(submit(with_mail_port(server.port(), form_post(form("a", "a@b", "s", "m")))).out,
            error_answer);
  EXPECT_FALSE(server.has_pending());
}

TEST_F(Submission, RefusedSubmissionSendsNoMail) {
  silent_server server;
  EXPECT_EQ(submit(with_mail_port(server.port(), form_post(form("a", "a,b@c", "s", "m")))).out,
            error_answer);
  EXPECT_FALSE(server.has_pending());
}

}  // namespace
