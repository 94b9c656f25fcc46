// The service files that start the daemon at login: the systemd user unit passes systemd's own
// check, the launchd property list parses and asks for what a daemon needs, and the daemon,
// busy copying, stops well within the time both service managers give it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

const fs::path SERVICE_SCRIPT = fs::path(TERNWELL_SOURCE_DIR) / "scripts" / "service.sh";

class ServiceFilesTest : public DaemonConfigTest {
 protected:
  ServiceFilesTest() { remove_stale_lock_files(); }

  // Runs `command` through the shell; its exit status, and its output in `out`.
  int shell(const std::string& command) {
    test::ChildProcess process("/bin/sh", {"-c", command + " > '" + out.string() + "' 2>&1"},
                               environment);
    return process.wait_for_exit(60s).value_or(-1);
  }

  // The filled-in service file that the install script shows for `what` ("show-unit" or
  // "show-plist"), saved under `name`.
  std::string shown(const char* what, const char* name) {
    const fs::path file = home / name;
    EXPECT_EQ(shell("{ bash '" + SERVICE_SCRIPT.string() + "' " + what + " '" + binary().string() +
                    "' > '" + file.string() + "'; }"),
              0)
        << test::read_file(out);
    return file.string();
  }
  std::string unit() { return shown("show-unit", "ternwell.service"); }
  std::string plist() { return shown("show-plist", "org.ternwell.daemon.plist"); }

  fs::path binary() const { return install / "ternwell"; }

  static int seconds_after(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? std::stoi(match[1]) : -1;
  }

  const fs::path out = home / "out.txt";
};

TEST_F(ServiceFilesTest, TheSystemdUnitPassesSystemdsCheck) {
  if (shell("command -v systemd-analyze") != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  const std::string unit_file = unit();
  const std::string text = test::read_file(unit_file);
  EXPECT_NE(text.find("ExecStart=" + binary().string()), std::string::npos) << text;
  EXPECT_NE(text.find("Restart=on-failure"), std::string::npos) << "no restart after a clean stop";
  EXPECT_EQ(shell("systemd-analyze verify '" + unit_file + "'"), 0) << test::read_file(out);
  EXPECT_EQ(test::read_file(out), "") << "no complaint at all";
}

TEST_F(ServiceFilesTest, TheLaunchdPropertyListParsesAndAsksForWhatTheDaemonNeeds) {
  const std::string plist_file = plist();
  const std::string check =
      "import plistlib, sys\n"
      "p = plistlib.load(open(sys.argv[1], 'rb'))\n"
      "assert p['Label'] == 'org.ternwell.daemon', p\n"
      "assert p['ProgramArguments'] == [sys.argv[2]], p\n"
      "assert p['RunAtLoad'] is True, p\n"
      "assert p['KeepAlive'] == {'SuccessfulExit': False}, p\n"
      "assert p['StandardOutPath'].endswith('/ternwell/ternwell.stdout.log'), p\n"
      "assert p['StandardErrorPath'].endswith('/ternwell/ternwell.stderr.log'), p\n";
  test::write_file(home / "check.py", check);
  EXPECT_EQ(shell("python3 '" + (home / "check.py").string() + "' '" + plist_file + "' '" +
                  binary().string() + "'"),
            0)
      << test::read_file(out);
}

// Both managers kill a daemon that outlives their stop time-out; a busy one must not.
TEST_F(ServiceFilesTest, ABusyDaemonStopsWithinTheServiceManagersTimeOuts) {
  const int systemd_limit = seconds_after(test::read_file(unit()), "TimeoutStopSec=(\\d+)");
  const int launchd_limit = seconds_after(test::read_file(plist()),
                                          "<key>ExitTimeOut</key>\\s*<integer>(\\d+)</integer>");
  ASSERT_GT(systemd_limit, 0);
  ASSERT_GT(launchd_limit, 0);
  const fs::path source = home / "documents";
  fs::create_directories(source);
  fs::create_directories(home / "backup");
  test::write_file(source / "large.bin", std::string(std::size_t{256} << 20, 'x'));
  write_config(R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
                 "Autostart": false, "StartSyncAtStart": true, "DeleteMode": "Permanent"}, )" +
               logging_section(log, "Info") +
               R"(, "Syncitems": [{"name": "Documents", "type": "Verzeichnis", "source": ")" +
               source.string() + R"(", "target": ")" + (home / "backup").string() +
               R"(", "wildcard": "*", "SyncCycle": 0,
                 "compareitems": {"size": "true", "time": "true"},
                 "syncflags": {"delAftercopy": false, "twoWaySync": false,
                   "copyWhenTargetNewer": false, "fatherSonPrinciple": false,
                   "syncDeletions": false, "enabled": true}}]})");
  start();
  ASSERT_TRUE(test::wait_until([&] { return !fs::is_empty(home / "backup"); }, 20s));
  const auto asked = std::chrono::steady_clock::now();
  daemon->send(SIGTERM);
  const auto limit = std::chrono::seconds(std::min(systemd_limit, launchd_limit));
  EXPECT_EQ(daemon->wait_for_exit(limit), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, limit / 4) << "with room to spare";
}

}  // namespace
}  // namespace TWL_Core
