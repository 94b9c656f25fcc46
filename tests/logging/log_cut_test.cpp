#include "logging/log_cut.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <regex>
#include <thread>
#include <filesystem>

#include "foundation/text.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class LogCutTest : public ::testing::Test {
 protected:
  LogCutTest() { test::use_english_catalogue(test::build_locale_dir()); }

  // A line head for the local time `age` before the cut.
  std::string dated(std::chrono::seconds age, const std::string& text) const {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(created - age);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char head[32];
    std::strftime(head, sizeof head, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(head) + ".000 D Info\t" + text;
  }

  void cut_now() {
    LogCut cut(created);
    cut();
  }

  test::LogCapture capture;
  const LogCut::Time created = std::chrono::time_point_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now());
};

TEST_F(LogCutTest, KeepsTheRetainedDaysWithTheirContinuationLines) {
  std::string content = "undated first line\n";
  for (int day = 10; day >= 0; --day) {
    content += dated(std::chrono::hours(24 * day) - 1h, "day " + std::to_string(day)) + "\n";
    content += "  continuation of day " + std::to_string(day) + "\n";
  }
  test::write_file(capture.file(), content + dated(0s, "no newline at the end"));
  Logging::instance().set_retention_days(7);
  cut_now();
  std::vector<std::string> expected{"undated first line"};
  for (int day = 7; day >= 0; --day) {
    expected.push_back(dated(std::chrono::hours(24 * day) - 1h, "day " + std::to_string(day)));
    expected.push_back("  continuation of day " + std::to_string(day));
  }
  expected.push_back(dated(0s, "no newline at the end"));
  EXPECT_EQ(test::split_lines(test::read_file(capture.file())), expected);
  EXPECT_FALSE(fs::exists(capture.file().string() + ".tmp"));
  log_at(LogLevel::Info, "after the cut");
  EXPECT_EQ(capture.texts().back(), "after the cut") << "the logger follows the new file";
}

TEST_F(LogCutTest, ZeroRetentionDropsEveryOlderDatedLine) {
  test::write_file(capture.file(), "undated\n" + dated(1s, "old") + "\n  old continuation\n" +
                                       dated(-1s, "newer than the cut") + "\n");
  Logging::instance().set_retention_days(0);
  cut_now();
  EXPECT_EQ(test::split_lines(test::read_file(capture.file())),
            (std::vector<std::string>{"undated", dated(-1s, "newer than the cut")}));
}

TEST_F(LogCutTest, HostileContentIsCutWithoutHarm) {
  const std::string huge(5 << 20, 'x');
  const std::string binary("\xff\xfe\0\x01 bytes", 10);
  test::write_file(capture.file(), dated(30 * 24h, "old") + "\n" + huge + "\n" + binary + "\n" +
                                       dated(0s, "kept") + "\n" + binary + "\n");
  cut_now();
  EXPECT_EQ(test::read_file(capture.file()), dated(0s, "kept") + "\n" + binary + "\n");
}

TEST_F(LogCutTest, FailedRenameLeavesTheLogUncutAndSaysSo) {
  // A non-empty folder under the log's name cannot be replaced by the renamed file.
  const fs::path folder_log = capture.file().parent_path() / "folder.log";
  fs::create_directories(folder_log / "inside");
  Logging::instance().set_log_file_path_name(util::from_path(folder_log));
  Logging::instance().collect_messages(true);
  cut_now();
  EXPECT_TRUE(fs::is_directory(folder_log / "inside"));
  const auto messages = Logging::instance().take_collected_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, LogLevel::Error);
  EXPECT_EQ(messages[0].text.rfind("The log file could not be shortened: " + folder_log.string() + " ", 0), 0u)
      << messages[0].text;
}

TEST_F(LogCutTest, UncreatableTemporaryFileLeavesTheLogUncut) {
  test::write_file(capture.file(), dated(30 * 24h, "old") + "\n");
  const fs::path tmp = capture.file().string() + ".tmp";
  fs::create_directories(tmp);  // the temporary file cannot even be created
  cut_now();
  EXPECT_EQ(test::split_lines(test::read_file(capture.file())).size(), 1u) << "nothing was cut";
  log_at(LogLevel::Info, "still logging");
  EXPECT_EQ(capture.texts().back(), "still logging");
}

TEST_F(LogCutTest, MissingLogFileIsNoError) {
  fs::remove(capture.file());
  cut_now();
  log_at(LogLevel::Info, "first line");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"first line"});
}

TEST_F(LogCutTest, OtherThreadsLoggingDuringCutsLeaveWholeLines) {
  Logging::instance().set_retention_days(7);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([t, &stop] {
      for (int n = 0; !stop; ++n) {
        log_at(LogLevel::Info, "writer " + std::to_string(t) + " line " + std::to_string(n));
      }
    });
  }
  for (int i = 0; i < 50; ++i) cut_now();
  stop = true;
  for (auto& writer : writers) writer.join();
  log_at(LogLevel::Info, "after the cuts");

  const std::regex whole_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [A-Z] Info\t)"
                              R"((writer \d line \d+|after the cuts))");
  const auto lines = test::split_lines(test::read_file(capture.file()));
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, whole_line)) << line;
  EXPECT_EQ(lines.back().substr(lines.back().find('\t') + 1), "after the cuts");
}

TEST(DailyLogCutTest, CutsAtTheFirstCallAndThenEveryTwentyFourHours) {
  test::LogCapture capture;
  Logging::instance().set_retention_days(0);
  DailyLogCut daily;
  const auto start = std::chrono::system_clock::now() - 30h;
  int cuts = 0;
  for (auto now = start; now < start + 25h; now += 1s) {
    test::write_file(capture.file(), "2000-01-01 00:00:00.000 D Info\tancient\n");
    daily(now);
    if (test::read_file(capture.file()).empty()) ++cuts;
  }
  EXPECT_EQ(cuts, 2);
}

TEST(LogCutTimeTest, ReadsOnlyLineHeads) {
  LogCut::Time time;
  EXPECT_TRUE(LogCut::get_time_from_line("2024-03-05 14:03:07.045 D Info\tx", time));
  EXPECT_FALSE(LogCut::get_time_from_line("  continuation", time));
  EXPECT_FALSE(LogCut::get_time_from_line("", time));
  EXPECT_FALSE(LogCut::get_time_from_line("2024-03-05", time));
}

}  // namespace
}  // namespace TWL_Core
