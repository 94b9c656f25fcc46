// The real ternwell binary with a log path that names no regular file: a FIFO nobody reads
// and a link to /dev/zero. Neither may hold the daemon up; it starts and stops as usual and
// its lines are simply lost.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

// Threads of a running process; the daemon's start has finished once its worker runs.
int thread_count(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
  }
  return 0;
}

class DaemonLogFileTest : public DaemonConfigTest {
 protected:
  const fs::path default_log = home / ".cache" / "ternwell" / "ternwell.log";
};

// Makes a FIFO or a link to /dev/zero at `at`.
void make_odd_file(const fs::path& at, fs::file_type type) {
  fs::create_directories(at.parent_path());
  if (type == fs::file_type::fifo) {
    ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
  } else {
    fs::create_symlink("/dev/zero", at);
  }
}

TEST_F(DaemonLogFileTest, LogPathNamingNoRegularFileNeitherHangsNorStopsTheDaemon) {
  struct Case {
    const char* name;
    bool configured;     // the configuration names the log path; else the default path is used
    fs::file_type type;  // what the log path names
  };
  const std::vector<Case> cases = {
      {"configured FIFO", true, fs::file_type::fifo},
      {"configured link to /dev/zero", true, fs::file_type::symlink},
      {"default path linked to /dev/zero", false, fs::file_type::symlink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home / ".cache");
    fs::remove_all(log.parent_path());
    const fs::path odd = c.configured ? log : default_log;
    make_odd_file(odd, c.type);
    if (c.configured) {
      write_config("{" + logging_section(log, "Debug") + "}");
    } else {
      fs::remove(config_file);
    }
    daemon = std::make_unique<test::ChildProcess>(install / "ternwell", std::vector<std::string>{},
                                                  environment);
    EXPECT_TRUE(test::wait_until([&] { return thread_count(daemon->pid()) >= 2; }, START_TIMEOUT))
        << "the daemon did not get past its start";
    daemon->send(SIGTERM);
    EXPECT_EQ(daemon->wait_for_exit(2s), 0) << "the daemon must exit 0 within two seconds";
    EXPECT_EQ(fs::symlink_status(odd).type(), c.type) << "the log path was replaced";
    daemon.reset();
  }
}

}  // namespace
}  // namespace TWL_Core
