#include <gtest/gtest.h>

#include "logging/logging.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/log_capture.hpp"

using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

struct SentMail {
  SmtpAccount account;
  std::wstring to;
  std::wstring subject;
  std::string body;
};

class FatalNotificationTest : public ::testing::Test {
 protected:
  FatalNotificationTest() {
    test::use_english_catalogue(test::build_locale_dir());
    logging.set_monotonic_clock(clock.reader());
    logging.set_mail_sender([this](const SmtpAccount& account, const std::wstring& to,
                                   const std::wstring& subject, const std::string& body) {
      sent.push_back({account, to, subject, body});
      return failure;
    });
    configure(L"smtp.example.org", L"ternwell@example.org", true, L"anna@example.org");
  }

  void configure(std::wstring server, std::wstring from, bool active, std::wstring address) {
    SmtpAccount account;
    account.server = std::move(server);
    account.from = std::move(from);
    logging.email.smtp_account(account);
    logging.email.notify_active(active);
    logging.email.notify_address(std::move(address));
  }

  Logging& logging = Logging::instance();
  test::FakeClock clock;
  test::LogCapture capture;
  std::vector<SentMail> sent;
  std::string failure;
};

TEST_F(FatalNotificationTest, MailsTheWholeLine) {
  log_at(LogLevel::FatalError, "sync worker ended");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, L"anna@example.org");
  EXPECT_EQ(sent[0].subject, L"Ternwell: fatal error");
  EXPECT_EQ(sent[0].body, capture.lines().at(0) + "\n");
}

TEST_F(FatalNotificationTest, IncompleteSettingsSendNothing) {
  struct Case {
    const wchar_t* server;
    const wchar_t* from;
    bool active;
    const wchar_t* address;
  };
  const Case cases[] = {{L"", L"a@b", true, L"c@d"},
                        {L"smtp", L"", true, L"c@d"},
                        {L"smtp", L"a@b", false, L"c@d"},
                        {L"smtp", L"a@b", true, L""}};
  int n = 0;
  for (const auto& c : cases) {
    configure(c.server, c.from, c.active, c.address);
    log_at(LogLevel::FatalError, "fatal " + std::to_string(n++));
  }
  EXPECT_TRUE(sent.empty());
}

TEST_F(FatalNotificationTest, OnlyFatalErrorsAreMailed) {
  log_at(LogLevel::Error, "just an error");
  EXPECT_TRUE(sent.empty());
}

TEST_F(FatalNotificationTest, SameTextIsMailedOncePerThirtyMinutes) {
  log_at(LogLevel::FatalError, "disk full");
  clock.advance(29min);
  log_at(LogLevel::FatalError, "disk full");
  EXPECT_EQ(sent.size(), 1u);
  clock.advance(1min);
  log_at(LogLevel::FatalError, "disk full");
  EXPECT_EQ(sent.size(), 2u);
}

TEST_F(FatalNotificationTest, AnotherTextInBetweenMailsTheFirstAgain) {
  log_at(LogLevel::FatalError, "disk full");
  log_at(LogLevel::FatalError, "server gone");
  log_at(LogLevel::FatalError, "disk full");
  EXPECT_EQ(sent.size(), 3u);
}

TEST_F(FatalNotificationTest, FailedMailIsLoggedOnceAsError) {
  failure = "no answer from smtp.example.org";
  log_at(LogLevel::FatalError, "disk full");
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(" Error\tCould not send the notification to anna@example.org: "
                          "no answer from smtp.example.org"),
            std::string::npos)
      << lines[1];
  EXPECT_EQ(sent.size(), 1u);
}

}  // namespace
}  // namespace TWL_Core
