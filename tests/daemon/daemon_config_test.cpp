// The real ternwell binary with configuration files. The binary runs from a folder without
// catalogues, so its log shows the message keys themselves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

TEST_F(DaemonConfigTest, ConfiguredLogFileAndLevelAreUsed) {
  write_config("{" + logging_section(log, "Debug") + R"(, "Syncitems": [)" +
               item("docs", home / "docs", "60") + "]}");
  start();
  EXPECT_GT(count(" D Debug\tSyncItem::source called with: " + (home / "docs").string()), 0u);
  EXPECT_FALSE(fs::exists(home / ".cache" / "ternwell" / "ternwell.log") &&
               test::read_file(home / ".cache" / "ternwell" / "ternwell.log").find("daemon_started") !=
                   std::string::npos)
      << "the start line belongs in the configured log";
  stop();
}

TEST_F(DaemonConfigTest, ItemWithBadCycleIsSkippedAndTheRestLoads) {
  write_config("{" + logging_section(log, "Debug") + R"(, "Syncitems": [)" +
               item("bad", home / "bad", "\"70000\"") + ", " + item("good", home / "good", "60") + "]}");
  start();
  EXPECT_EQ(count(" D Error\tconfig_read_sync_settingsSyncCycle: value_out_of_uint16_range70000"), 1u);
  EXPECT_EQ(count(" D Error\tsync_item_entry_skipped"), 1u);
  EXPECT_GT(count("SyncItem::source called with: " + (home / "good").string()), 0u);
  stop();
}

TEST_F(DaemonConfigTest, EditedFileIsReloadedWithinTwoSeconds) {
  write_config("{" + logging_section(log, "Info") + "}");
  start();
  EXPECT_EQ(count("config_reloaded"), 0u);
  write_config("{" + logging_section(log, "Debug") + "}");
  fs::last_write_time(config_file, fs::last_write_time(config_file) + 2s);
  EXPECT_TRUE(wait_for_log(" D Info\tconfig_reloaded " + config_file.string(), 2s));
  EXPECT_EQ(count("config_reloaded"), 1u);
  stop();
}

TEST_F(DaemonConfigTest, BrokenFileKeepsTheDaemonRunningUntilItIsRepaired) {
  write_config("{ \"Logging\": ");
  daemon = std::make_unique<test::ChildProcess>(
      install / "ternwell", std::vector<std::string>{},
      std::vector<std::string>{"HOME=" + home.path().string(), "LANG=C.UTF-8", "PATH=/usr/bin:/bin"});
  const fs::path default_log = home / ".cache" / "ternwell" / "ternwell.log";
  ASSERT_TRUE(test::wait_until(
      [&] { return test::read_file(default_log).find("daemon_started") != std::string::npos; },
      START_TIMEOUT));
  const std::string first = test::read_file(default_log);
  EXPECT_NE(first.find(" D FatalError\tconfig_read_exception <unspecified file>"), std::string::npos) << first;
  EXPECT_NE(first.find(" D FatalError\tconfig_not_readable"), std::string::npos) << first;

  write_config("{" + logging_section(log, "Info") + "}");
  fs::last_write_time(config_file, fs::last_write_time(config_file) + 2s);
  EXPECT_TRUE(wait_for_log("config_reloaded", 2s));
  stop();
}

TEST_F(DaemonConfigTest, UndecryptablePasswordIsReportedAndTheKeyFileCreated) {
  const std::string garbage = "$AES256GCM$" + std::string(40, 'A');
  write_config("{" + logging_section(log, "Info") +
               R"(, "SshAccounts": [{"name": "srv", "host": "h", "user": "u", "password": ")" +
               garbage + R"("}]})");
  start();
  EXPECT_EQ(count(" D FatalError\tssh_password_not_decryptablesrv"), 1u);
  const fs::path key = config_file.parent_path() / "secret.key";
  ASSERT_TRUE(fs::exists(key));
  EXPECT_EQ(fs::file_size(key), 32u);
  struct stat status {};
  ASSERT_EQ(::stat(key.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  stop();
}

}  // namespace
}  // namespace TWL_Core

namespace TWL_Core {
namespace {

TEST_F(DaemonConfigTest, LogIsCutAtStart) {
  test::write_file(log, "2001-01-01 00:00:00.000 D Info\tvery old\n  its continuation\n");
  write_config("{" + logging_section(log, "Info") + "}");
  start();
  EXPECT_EQ(count("very old"), 0u);
  EXPECT_EQ(count("its continuation"), 0u);
  stop();
}

}  // namespace
}  // namespace TWL_Core
