// The real ternwell binary with a key file it cannot use. The binary runs from a folder without
// catalogues, so its log shows the message keys themselves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

// A named pipe would block open() for good: at start, on every reload, and SIGTERM would no
// longer end the daemon. It is reported and left as it is.
TEST_F(DaemonConfigTest, NamedPipeAsKeyFileNeitherBlocksNorIsReplaced) {
  const fs::path key = config_file.parent_path() / "secret.key";
  ASSERT_EQ(::mkfifo(key.c_str(), 0600), 0);
  const std::string encrypted = "$AES256GCM$" + std::string(40, 'A');
  const std::string account =
      R"({"name": "srv", "host": "h", "user": "u", "password": ")" + encrypted + R"("})";
  const std::string config =
      "{" + logging_section(log, "Info") + R"(, "SshAccounts": [)" + account + "]}";
  write_config(config);
  start();
  EXPECT_EQ(count(" D FatalError\tcrypto_key_not_readable " + key.string()), 1u);
  EXPECT_EQ(count(" D FatalError\tssh_password_not_decryptablesrv"), 1u);

  change_config(config);
  EXPECT_TRUE(wait_for_log("config_reloaded", 3s)) << "a reload must not block on the pipe";
  EXPECT_EQ(count("crypto_key_not_readable"), 1u) << "reported once per process";

  daemon->send(SIGTERM);
  EXPECT_EQ(daemon->wait_for_exit(2s), 0);
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(key))) << "the key file must stay a named pipe";
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(key.parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"secret.key", "ternwell.json"}));
}

}  // namespace
}  // namespace TWL_Core
