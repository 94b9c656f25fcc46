// Fatal errors of the real ternwell binary reach a real SMTP server (STARTTLS with a
// throwaway CA) once per half hour, and a failing server leaves the daemon running.

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.hpp"
#include "tests/support/smtp_test_server.hpp"

using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

constexpr const char* FATAL_LINE = " D FatalError\tssh_password_not_decryptablesrv";

class DaemonMailTest : public DaemonConfigTest {
 protected:
  DaemonMailTest() { environment.push_back("SSL_CERT_FILE=" + tls.ca.string()); }

  // Mail settings for localhost:`port` and an SSH account whose password cannot be
  // decrypted; `variant` changes the text without changing its meaning.
  std::string config(std::uint16_t port, const std::string& variant = "") const {
    return R"({"Logging": {"LogLevel": "Info", "LogFilePathName": ")" + log.string() +
           R"(", "RetentionDays": 7, "EditorPathName": "/usr/bin/vi", "NotifyEmailActive": true,
           "NotifyEmail": "admin@example.org", "SmtpServer": "localhost", "SmtpPort": )" +
           std::to_string(port) + R"(, "SmtpFrom": "ternwell@example.org"},
           "SshAccounts": [{"name": "srv", "host": "h", "user": "u", "password": "$AES256GCM$)" +
           std::string(40, 'A') + R"("}]})" + variant;
  }

  test::TempDir certificates;
  const test::TlsFiles tls = test::TlsFiles::create(certificates.path(), "localhost");
};

TEST_F(DaemonMailTest, FatalErrorIsMailedOnceWithinHalfAnHour) {
  test::SmtpTestServer server(certificates / "server", tls, {});
  ASSERT_TRUE(server.ready());
  write_config(config(server.port()));
  start();
  ASSERT_TRUE(server.wait_for_mails(1, 20s)) << test::read_file(log);
  const std::string raw = server.mails().front().raw;
  const std::string body = test::decode_base64(raw.substr(raw.find("\r\n\r\n") + 4));
  EXPECT_NE(body.find(FATAL_LINE), std::string::npos) << body;
  EXPECT_NE(raw.find("Subject: =?UTF-8?B?ZmF0YWxfZXJyb3JfbWFpbF9zdWJqZWN0?="), std::string::npos)
      << "the subject is the encoded text of fatal_error_mail_subject:\n" << raw;

  // The same fatal error again within 30 minutes is neither logged nor mailed again.
  change_config(config(server.port(), "\n"));
  ASSERT_TRUE(wait_for_log("config_reloaded", 5s));
  EXPECT_EQ(count(FATAL_LINE), 1u);
  EXPECT_EQ(server.mails().size(), 1u);
  EXPECT_EQ(count("notification_failed"), 0u);
  stop();
}

TEST_F(DaemonMailTest, FailingServerGivesOneErrorLineAndTheDaemonGoesOn) {
  write_config(config(1));
  start();
  EXPECT_EQ(count(" D Error\tnotification_failedsmtp_no_connection_tolocalhost:1"), 1u)
      << test::read_file(log);

  change_config(config(1, "\n"));
  ASSERT_TRUE(wait_for_log("config_reloaded", 5s));
  EXPECT_EQ(count("notification_failed"), 1u);
  stop();
}

}  // namespace
}  // namespace TWL_Core
