// One login per account and pass against a real OpenSSH server, and a fresh login after the
// connection was lost.

#include "remote/remote_sessions.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "logging/logging.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/ssh_server_test.hpp"

namespace TWL_Core {
namespace {

std::size_t logins(const std::string& server_log) {
  const std::regex accepted("Accepted password for");
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(server_log.begin(), server_log.end(), accepted), std::sregex_iterator()));
}

class RemoteSessionsTest : public test::SshServerTest {
};

TEST_F(RemoteSessionsTest, OneLoginServesEveryOperationOfAPass) {
  {
    RemoteSessions sessions;
    for (int operation = 0; operation < 20; ++operation) {
      EXPECT_NE(sessions.connection(account).stat(server->home().string()), nullptr);
    }
    SshAccount same_login = account;
    same_login.set_name("other name, same login");
    EXPECT_EQ(&sessions.connection(same_login), &sessions.connection(account));
    EXPECT_EQ(sessions.open_count(), 1u);
  }
  EXPECT_EQ(logins(server->log()), 1u) << server->log();
}

TEST_F(RemoteSessionsTest, AForgottenOrFailedConnectionIsOpenedAfresh) {
  RemoteSessions sessions;
  ASSERT_NE(sessions.connection(account).stat(server->home().string()), nullptr);
  server->stop();
  sessions.forget(account);
  EXPECT_THROW((void)sessions.connection(account), SshUnreachable);
  EXPECT_EQ(sessions.open_count(), 0u);
  ASSERT_TRUE(server->start()) << server->log();
  EXPECT_NE(sessions.connection(account).stat(server->home().string()), nullptr);
  EXPECT_EQ(logins(server->log()), 2u) << server->log();
}

}  // namespace
}  // namespace TWL_Core
