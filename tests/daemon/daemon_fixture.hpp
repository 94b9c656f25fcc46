#pragma once
// The real ternwell binary, copied to a folder without catalogues (its log shows message
// keys), run with a private home folder, a configuration file and a log file of the test's own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core {

// The lock file a daemon of this user holds in `role` ("background" or "foreground").
inline std::string lock_file(const char* role) {
  return "/tmp/ternwell-" + std::to_string(::getuid()) + "-" + role + ".lock";
}

// Removes lock files that earlier runs left, so that no test waits for a lock nobody holds.
inline void remove_stale_lock_files() {
  std::error_code ignored;
  for (const char* role : {"background", "foreground"})
    std::filesystem::remove(lock_file(role), ignored);
}

inline std::string logging_section(const std::filesystem::path& log, const char* level) {
  return R"("Logging": {"LogLevel": ")" + std::string(level) + R"(", "LogFilePathName": ")" +
         log.string() + R"(", "RetentionDays": 7, "EditorPathName": "/usr/bin/vi"})";
}

inline std::string item(const char* name, const std::filesystem::path& source,
                        const std::string& cycle) {
  return R"({"name": ")" + std::string(name) + R"(", "type": "Verzeichnis", "source": ")" +
         source.string() + R"(", "target": ")" + source.string() + R"(-copy", "wildcard": "*",
           "SyncCycle": )" +
         cycle + "}";
}

class DaemonConfigTest : public ::testing::Test {
 protected:
  static constexpr std::chrono::seconds START_TIMEOUT{20};

  DaemonConfigTest() {
    std::filesystem::copy(std::filesystem::path(TERNWELL_RUNTIME_DIR) / "ternwell",
                          install / "ternwell");
    std::filesystem::create_directories(config_file.parent_path());
  }

  void write_config(const std::string& json) { test::write_file(config_file, json); }

  // Rewrites the configuration with a later modification time, so the daemon reloads it.
  void change_config(const std::string& json) {
    write_config(json);
    std::filesystem::last_write_time(
        config_file, std::filesystem::last_write_time(config_file) + std::chrono::seconds(2));
  }

  void start() {
    daemon = std::make_unique<test::ChildProcess>(install / "ternwell", std::vector<std::string>{},
                                                  environment);
    ASSERT_TRUE(wait_for_log("daemon_started")) << test::read_file(log);
  }

  void stop() {
    daemon->send(SIGTERM);
    // A bound for a loaded machine and sanitiser builds; the two-second rule has its own tests.
    EXPECT_EQ(daemon->wait_for_exit(std::chrono::seconds(10)), 0);
  }

  std::size_t count(const std::string& fragment) const {
    std::size_t n = 0;
    for (const auto& line : test::split_lines(test::read_file(log))) {
      if (line.find(fragment) != std::string::npos) ++n;
    }
    return n;
  }

  bool wait_for_log(const std::string& fragment,
                    std::chrono::milliseconds timeout = START_TIMEOUT) const {
    return test::wait_until([&] { return count(fragment) > 0; }, timeout);
  }

  test::TempDir install;
  test::TempDir home;
  const std::filesystem::path config_file =
      home / "Library" / "Application Support" / "ternwell" / "ternwell.json";
  const std::filesystem::path log = home / "custom" / "ternwell.log";
  std::vector<std::string> environment = {"HOME=" + home.path().string(), "LANG=C.UTF-8",
                                          "PATH=/usr/bin:/bin"};
  std::unique_ptr<test::ChildProcess> daemon;
};

}  // namespace TWL_Core
