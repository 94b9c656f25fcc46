#pragma once
// A test case with a running SSH test server and an account that logs in to it. Skips, saying
// why, where no server can run here.

#include <gtest/gtest.h>

#include <optional>

#include "remote/ssh_account.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/ssh_test_server.hpp"

namespace TWL_Core::test {

class SshServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = SshTestServer::unavailable_reason();
    if (!reason.empty()) GTEST_SKIP() << "no SSH test server: " << reason;
    server.emplace();
    ASSERT_TRUE(server->ready()) << server->log();
    account = SshAccount("backup", server->host(), server->user(), server->password());
  }

  LogCapture capture;
  std::optional<SshTestServer> server;
  SshAccount account;
};

}  // namespace TWL_Core::test
