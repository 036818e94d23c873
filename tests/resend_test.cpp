// ostrel-resend's work in the test's own process, on a temporary outbox and
// against a scripted mail server: what becomes of each kept mail, its
// line, and what reached the server.
#include "ostrel/resend.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "mail_tools/outbox.hpp"
#include "support/cgi_run.hpp"
#include "support/script_server.hpp"

namespace {

constexpr std::size_t kept = 3;

std::string data_of(std::size_t i) { return "Subject: " + std::to_string(i) + "\r\n\r\ntext\r\n"; }

std::string state_of(const std::string& path) {
  struct stat file;
  return stat(path.c_str(), &file) == 0 ? read_file(path) : "(none)";
}

TEST(Resend, WhatBecomesOfEachMail) {
  test_support::smtp_script accepts, slow, later, never;
  slow.greeting_delay_ms = 100;  // the second run comes while the first sends
  later.reply_to["RCPT"] = "451 4.7.1 later\r\n";
  never.reply_to["RCPT"] = "550 5.1.1 no such user\r\n";
  struct row {
    const char* what;
    const test_support::smtp_script& script;
    int days_old, runs;
    std::string want;  // the line's words after the address
  } rows[] = {
      {"accepted", accepts, 0, 1, "sent"},
      {"refused for now", later, 0, 1, "left in the outbox: RCPT TO: 451 4.7.1 later"},
      {"refused for good", never, 0, 1,
       "moved to failed/: refused for good: RCPT TO: 550 5.1.1 no such user"},
      {"refused for now, kept 6 days ago", later, 6, 1, "moved to failed/: kept since "},
      {"two runs at once", slow, 0, 2, "sent"},
  };
  for (const row& r : rows) {
    temp_dir dir;
    settings site;
    site.outbox = dir.file("outbox");
    mkdir(site.outbox.c_str(), 0700);
    write_file(site.outbox + "/.on-its-way.mail", "x");
    std::vector<std::string> names, texts;
    for (std::size_t i = 0; i < kept; ++i) {
      names.push_back(std::to_string(std::time(nullptr) - r.days_old * 86400) + "-9-" +
                      std::to_string(i));
      texts.push_back(mail_tools::kept_text({"a@b", "c@d", data_of(i), "then"}));
      write_file(site.outbox + "/" + names[i] + ".mail", texts[i]);
    }
    test_support::script_server server(r.script, static_cast<int>(kept) * r.runs);
    site.mail_port = server.port();
    char said[2][4096] = {};  // what each run wrote
    std::atomic<bool> all_sent[2] = {false, false};
    auto run = [&](int i) {
      std::FILE* out = fmemopen(said[i], sizeof said[i] - 1, "w");
      all_sent[i] = resend(site, out, stderr);
      std::fclose(out);
    };
    std::thread second([&] {
      if (r.runs > 1) run(1);
    });
    run(0);
    second.join();
    server.stop();

    const bool sent = r.want == "sent", moved = r.want.find("failed/") != std::string::npos;
    EXPECT_EQ(all_sent[0] || all_sent[1], sent) << r.what;
    EXPECT_EQ(state_of(site.outbox + "/.on-its-way.mail"), "x") << r.what;
    const std::string have = std::string(said[0]) + said[1];
    for (std::size_t i = 0; i < kept; ++i) {
      const std::string line = "ostrel-resend: " + names[i] + ".mail to c@d " + r.want;
      EXPECT_NE(have.find(line), std::string::npos) << r.what << ": have\n"
                                                    << have << "want " << line;
      int times = 0;
      for (const auto& session : server.sessions())
        times += session.received.find("DATA\r\n" + data_of(i) + ".\r\n") != std::string::npos;
      EXPECT_EQ(times, sent ? 1 : 0) << r.what << ", mail " << i;
      const std::string failed_at = site.outbox + "/failed/" + names[i];
      EXPECT_EQ(state_of(site.outbox + "/" + names[i] + ".mail"),
                sent || moved ? "(none)" : texts[i])
          << r.what;
      EXPECT_EQ(state_of(failed_at + ".mail"), moved ? texts[i] : "(none)") << r.what;
      // Beside a mail moved aside, the server's reply.
      const std::string reply = moved ? r.script.reply_to.at("RCPT").substr(0, 9) : "(none)";
      EXPECT_NE(state_of(failed_at + ".reply").find(reply), std::string::npos) << r.what;
    }
  }
}

}  // namespace
