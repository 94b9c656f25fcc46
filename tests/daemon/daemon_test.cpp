// The real ternwell binary, started with an empty home folder and stopped by signals.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "tests/support/catalogues.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

const fs::path DAEMON = fs::path(TERNWELL_RUNTIME_DIR) / "ternwell";
constexpr auto START_TIMEOUT = 20s;

bool contains(const std::vector<std::string>& lines, const std::string& fragment) {
  for (const auto& line : lines) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

class DaemonTest : public ::testing::Test {
 protected:
  fs::path log_file() const { return home.path() / ".cache" / "ternwell" / "ternwell.log"; }
  std::vector<std::string> log_lines() const { return test::split_lines(test::read_file(log_file())); }

  std::vector<std::string> environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env{"HOME=" + home.path().string(), "PATH=/usr/bin:/bin"};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  std::unique_ptr<test::ChildProcess> start(const std::vector<std::string>& extra_env,
                                            const fs::path& program = DAEMON) {
    auto daemon = std::make_unique<test::ChildProcess>(program, std::vector<std::string>{},
                                                       environment(extra_env));
    EXPECT_TRUE(test::wait_until([&] { return daemon->catches(SIGTERM); }, START_TIMEOUT));
    return daemon;
  }

  // Starts the daemon, waits for its start line, stops it with `signal` and returns the log.
  std::vector<std::string> run_once(const std::vector<std::string>& extra_env, int signal = SIGTERM,
                                    const fs::path& program = DAEMON) {
    auto daemon = start(extra_env, program);
    EXPECT_TRUE(test::wait_until([&] { return !log_lines().empty(); }, START_TIMEOUT));
    daemon->send(signal);
    EXPECT_EQ(daemon->wait_for_exit(2s), 0) << "the daemon must exit 0 within two seconds";
    return log_lines();
  }

  test::TempDir home;
};

TEST_F(DaemonTest, StopSignalsEndTheDaemonWithStartAndStopLines) {
  for (int signal : {SIGTERM, SIGINT}) {
    fs::remove_all(log_file().parent_path());
    const auto lines = run_once({"LANG=C.UTF-8"}, signal);
    ASSERT_GE(lines.size(), 2u) << "signal " << signal;
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} D \w+\t.*)");
    for (const auto& text : lines) EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_EQ(lines.back().substr(24), "D Info\tTernwell daemon stopped ");
    EXPECT_TRUE(contains(lines, " D Info\tTernwell daemon started "));
    EXPECT_TRUE(contains(lines, " D FatalError\tConfiguration file not found: "))
        << "without a configuration the log says where it belongs";
  }
}

TEST_F(DaemonTest, WithoutLangTheLogIsGerman) {
  if (!test::locale_available("de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not generated";
  EXPECT_TRUE(contains(run_once({}), "\tTernwell-Dienst gestartet "));
}

TEST_F(DaemonTest, EnglishLocaleGivesEnglish) {
  if (!test::locale_available("en_US.UTF-8")) GTEST_SKIP() << "locale en_US.UTF-8 is not generated";
  EXPECT_TRUE(contains(run_once({"LANG=en_US.UTF-8"}), "\tTernwell daemon started "));
}

TEST_F(DaemonTest, LocaleWithoutCatalogueFallsBackToEnglish) {
  EXPECT_TRUE(contains(run_once({"LANG=C.UTF-8"}), "\tTernwell daemon started "));
}

TEST_F(DaemonTest, CatalogueOfAnotherBuildIsReported) {
  test::TempDir install;
  fs::copy(DAEMON, install / "ternwell");
  fs::copy(test::outdated_locale_dir(), install / "locale", fs::copy_options::recursive);
  const auto lines = run_once({"LANG=C.UTF-8"}, SIGTERM, install / "ternwell");
  EXPECT_TRUE(contains(lines, " D Warning\tThe message catalogue in " + (install / "locale").string() +
                                  " does not belong to this version of Ternwell"));
}

TEST_F(DaemonTest, OnlyStopSignalsAreCaughtAndBrokenPipesIgnored) {
  auto daemon = start({"LANG=C.UTF-8"});
  EXPECT_TRUE(daemon->catches(SIGINT));
  EXPECT_TRUE(daemon->ignores(SIGPIPE));
  for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGQUIT}) {
    EXPECT_FALSE(daemon->ignores(signal) || daemon->catches(signal)) << "signal " << signal;
  }
  daemon->send(SIGTERM);
  EXPECT_EQ(daemon->wait_for_exit(2s), 0);
}

TEST_F(DaemonTest, UnusableLogLocationDoesNotStopTheDaemon) {
  test::write_file(home.path() / ".cache" / "ternwell", "a file where the log folder belongs");
  auto daemon = start({"LANG=C.UTF-8"});
  daemon->send(SIGTERM);
  EXPECT_EQ(daemon->wait_for_exit(2s), 0);
}

TEST_F(DaemonTest, WritesOneSystemLogLineAtStartAndOneAtStop) {
  if (::geteuid() != 0) GTEST_SKIP() << "capturing the system log needs root (a private mount namespace)";
  test::TempDir capture;
  const auto syslog_file = capture / "syslog";
  const auto pid_file = capture / "pid";
  test::ChildProcess wrapper(fs::path(TERNWELL_SOURCE_DIR) / "tests/support/capture_syslog.sh",
                             {syslog_file.string(), pid_file.string(), DAEMON.string()},
                             environment({"LANG=C.UTF-8"}));
  ASSERT_TRUE(test::wait_until([&] { return !log_lines().empty(); }, START_TIMEOUT));
  const pid_t daemon = std::stoi(test::read_file(pid_file));
  ::kill(daemon, SIGTERM);
  ASSERT_EQ(wrapper.wait_for_exit(5s), 0);
  const auto lines = test::split_lines(test::read_file(syslog_file));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(<14>.* ternwell: Ternwell is running in the background)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(<14>.* ternwell: Ternwell daemon stopped)")))
      << lines[1];
}

}  // namespace
}  // namespace TWL_Core
