#include "logging/log_cut.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <thread>

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

TEST_F(LogCutTest, LogPathsNamingNoRegularFileAreLeftAloneAndReported) {
  // Neither may block the cut or feed it without end; each is reported with its path.
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Case> cases = {
      {"folder", [](const fs::path& at) { fs::create_directories(at / "inside"); }},
      {"FIFO without a writer",
       [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
      {"link to /dev/zero", [](const fs::path& at) { fs::create_symlink("/dev/zero", at); }},
  };
  for (const auto& c : cases) {
    const fs::path odd_log = capture.file().parent_path() / "odd.log";
    c.make(odd_log);
    const auto type = fs::symlink_status(odd_log).type();
    Logging::instance().set_log_file_path_name(util::from_path(odd_log));
    Logging::instance().collect_messages(true);
    cut_now();
    EXPECT_EQ(fs::symlink_status(odd_log).type(), type) << c.name;
    EXPECT_FALSE(fs::exists(odd_log.string() + ".tmp")) << c.name;
    const auto messages = Logging::instance().take_collected_messages();
    ASSERT_EQ(messages.size(), 1u) << c.name;
    EXPECT_EQ(messages[0].level, LogLevel::Error);
    EXPECT_TRUE(messages[0].text.starts_with(
        "The log file could not be shortened: " + odd_log.string() + " "))
        << messages[0].text;
    Logging::instance().collect_messages(false);
    Logging::instance().set_log_file_path_name(util::from_path(capture.file()));
    fs::remove_all(odd_log);
  }
}

TEST_F(LogCutTest, DateHeadsSplitAcrossReadPiecesAreStillRead) {
  // The cut reads the log in pieces of 64 KiB; put an old line's head across that boundary.
  Logging::instance().set_retention_days(7);
  const std::string old = dated(30 * 24h, "old");
  const std::string recent = dated(0s, "recent");
  for (std::size_t head_start = 65536 - 25; head_start <= 65536 + 1; ++head_start) {
    const std::string padding(head_start - 1, 'p');
    test::write_file(capture.file(), padding + "\n" + old + "\n  old continuation\n" + recent);
    cut_now();
    EXPECT_EQ(test::read_file(capture.file()), padding + "\n" + recent + "\n")
        << "old head starting at " << head_start;
  }
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
  const auto start = std::chrono::system_clock::now() - 50h;
  const auto cut_at = [&](std::chrono::system_clock::duration offset) {
    test::write_file(capture.file(), "2000-01-01 00:00:00.000 D Info\tancient\n");
    daily(start + offset);
    return test::read_file(capture.file()).empty();
  };
  struct Case {
    std::chrono::seconds offset;
    bool cut;
  };
  const Case cases[] = {
      {0s, true},  {1s, false},       {12h, false},      {24h - 1s, false},
      {24h, true}, {24h + 1s, false}, {48h - 1s, false}, {48h, true},
  };
  for (const auto& c : cases) EXPECT_EQ(cut_at(c.offset), c.cut) << c.offset.count() << " s";
}

TEST(LogCutTimeTest, ReadsOnlyLineHeads) {
  LogCut::Time time;
  EXPECT_TRUE(LogCut::get_time_from_line("2024-03-05 14:03:07.045 D Info\tx", time));
  EXPECT_FALSE(LogCut::get_time_from_line("  continuation", time));
  EXPECT_FALSE(LogCut::get_time_from_line("", time));
  EXPECT_FALSE(LogCut::get_time_from_line("2024-03-05", time));
}

// Dates far from today, read in UTC: each is a date, none wraps around, and 1969-12-31
// 23:59:59 (one second before the epoch, -1 as a count of seconds) is no exception.
class FarDatesTest : public ::testing::Test {
 protected:
  FarDatesTest() {
    if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }
  ~FarDatesTest() override {
    if (saved_tz_) {
      ::setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  struct Case {
    const char* head;
    std::chrono::sys_days day;
    std::chrono::seconds time_of_day;
  };
  static std::vector<Case> cases() {
    using namespace std::chrono;
    return {
        {"0100-01-01 00:00:00", sys_days{year{100} / 1 / 1}, 0s},
        {"1600-02-29 12:00:00", sys_days{year{1600} / 2 / 29}, 12h},
        {"1677-09-21 00:12:43", sys_days{year{1677} / 9 / 21}, 12min + 43s},
        {"1969-12-31 23:59:59", sys_days{year{1969} / 12 / 31}, 23h + 59min + 59s},
        {"1970-01-01 00:00:00", sys_days{year{1970} / 1 / 1}, 0s},
        {"2262-04-11 23:47:17", sys_days{year{2262} / 4 / 11}, 23h + 47min + 17s},
        {"2263-01-01 00:00:00", sys_days{year{2263} / 1 / 1}, 0s},
        {"9999-12-31 23:59:59", sys_days{year{9999} / 12 / 31}, 23h + 59min + 59s},
    };
  }

 private:
  std::optional<std::string> saved_tz_;
};

TEST_F(FarDatesTest, EveryFourDigitYearIsReadExactly) {
  for (const Case& c : cases()) {
    LogCut::Time time;
    ASSERT_TRUE(LogCut::get_time_from_line(std::string(c.head) + ".000 D Info\tx", time)) << c.head;
    EXPECT_EQ(time, LogCut::Time(c.day) + c.time_of_day) << c.head;
  }
}

TEST_F(FarDatesTest, PastDatesAreDroppedAndFutureDatesKept) {
  test::LogCapture capture;
  Logging::instance().set_retention_days(7);
  const auto created =
      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  std::string content;
  std::string expected;
  for (const Case& c : cases()) {
    const std::string lines = std::string(c.head) + ".000 D Info\tx\n  continued\n";
    content += lines;
    if (LogCut::Time(c.day) > created) expected += lines;
  }
  test::write_file(capture.file(), content);
  LogCut cut(created);
  cut();
  EXPECT_EQ(test::read_file(capture.file()), expected);
}

// A cut that fails on a real volume keeps the log exactly as it was, leaves no temporary file
// behind and appends one Error line saying why. Each case runs with a mount table of its own.
class FailingCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small volume needs root";
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount table: " << std::strerror(errno);
    }
    fs::create_directories(volume_);
    ASSERT_EQ(::mount("tmpfs", volume_.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    mounted_ = true;
    Logging::instance().set_log_file_path_name(util::from_path(log_));
    Logging::instance().set_retention_days(7);
  }
  void TearDown() override {
    Logging::instance().set_log_file_path_name(util::from_path(dir_ / "after.log"));
    if (mounted_) ::umount2(volume_.c_str(), MNT_DETACH);
  }

  // Recent lines (all of them kept by a cut) of about `bytes` in all.
  static std::string recent_lines(std::size_t bytes) {
    const std::string line = timestamp() + " D Info\t" + std::string(200, 'r') + "\n";
    std::string text;
    while (text.size() < bytes) text += line;
    return text;
  }

  void expect_whole_log_and_one_error(const std::string& before, const std::string& reason) {
    const std::string after = test::read_file(log_);
    ASSERT_TRUE(after.starts_with(before)) << "the log was changed";
    const auto added = test::split_lines(after.substr(before.size()));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_NE(added[0].find(" D Error\tThe log file could not be shortened: " + log_.string() +
                            " " + reason),
              std::string::npos)
        << added[0];
    EXPECT_FALSE(fs::exists(log_.string() + ".tmp"));
  }

  test::TempDir dir_;
  const fs::path volume_ = dir_ / "volume";
  const fs::path log_ = volume_ / "ternwell.log";
  bool mounted_ = false;
};

TEST_F(FailingCutTest, VolumeFillingUpDuringTheCut) {
  test::use_english_catalogue(test::build_locale_dir());
  Logging::instance().set_origin_tag('D');
  const std::string before = recent_lines(700 * 1024);  // the copy needs as much again
  test::write_file(log_, before);
  LogCut cut;
  cut();
  expect_whole_log_and_one_error(before, std::strerror(ENOSPC));
}

TEST_F(FailingCutTest, LogThatCannotBeReplaced) {
  // A file mounted over the log's name cannot be renamed over.
  test::use_english_catalogue(test::build_locale_dir());
  Logging::instance().set_origin_tag('D');
  const std::string before = recent_lines(10 * 1024);
  test::write_file(log_, before);
  const fs::path elsewhere = dir_ / "elsewhere.log";
  test::write_file(elsewhere, before);
  ASSERT_EQ(::mount(elsewhere.c_str(), log_.c_str(), nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);
  LogCut cut;
  cut();
  expect_whole_log_and_one_error(before, std::strerror(EBUSY));
  ::umount2(log_.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace TWL_Core
