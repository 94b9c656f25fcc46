#include "foundation/file_time.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>

#include "foundation/platform.hpp"

namespace TWL_Core::util {
namespace {

using namespace std::chrono_literals;

constexpr std::time_t MARCH_5_2024_140307_UTC = 1709647387;
constexpr std::time_t JANUARY_1_2100_UTC = 4102444800;

TEST(FileTime, ConvertsWholeSecondsBothWays) {
  for (const std::time_t t :
       {std::time_t{0}, std::time_t{1}, MARCH_5_2024_140307_UTC, JANUARY_1_2100_UTC}) {
    EXPECT_EQ(to_time_t(to_file_time(t)), t) << t;
    EXPECT_EQ(to_time_t(to_file_time(t) + 999'999'999ns), t) << t << " and a fraction";
  }
}

TEST(FileTime, FileTimeOfEpochSecondsMatchesTheSystemClock) {
  const auto expected = std::chrono::file_clock::from_sys(
      std::chrono::sys_seconds(std::chrono::seconds(MARCH_5_2024_140307_UTC)));
  EXPECT_TRUE(equal(to_file_time(MARCH_5_2024_140307_UTC), expected));
}

// A file's time read with one stat must be the very time the standard library reads.
TEST(FileTime, TimesFromStatAreTheStandardLibrarysFileTimes) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("ternwell-file-time-" + std::to_string(::getpid()));
  std::FILE* created = std::fopen(file.c_str(), "w");
  ASSERT_NE(created, nullptr);
  std::fclose(created);
  for (const std::int64_t seconds :
       {std::int64_t{-315619200}, std::int64_t{0}, std::int64_t{MARCH_5_2024_140307_UTC},
        std::int64_t{JANUARY_1_2100_UTC}}) {
    const timespec times[2] = {{seconds, 123456789}, {seconds, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const auto status = platform::file_status(file);
    ASSERT_TRUE(status.has_value());
    const auto converted = from_unix_time(status->modified_seconds, status->modified_nanoseconds);
    ASSERT_TRUE(converted.has_value()) << seconds;
    EXPECT_TRUE(equal(*converted, std::filesystem::last_write_time(file))) << seconds;
  }
  std::filesystem::remove(file);
  EXPECT_FALSE(from_unix_time(std::numeric_limits<std::int64_t>::max(), 0).has_value());
  EXPECT_FALSE(from_unix_time(std::numeric_limits<std::int64_t>::min(), 0).has_value());
}

struct DisplayCase {
  FileTime time;
  const char* expected;
};

TEST(FileTime, DisplaysTheTimeInUtcToTheMinute) {
  const DisplayCase cases[] = {
      {to_file_time(0), "Thursday, 01 January 1970 00:00"},
      {to_file_time(MARCH_5_2024_140307_UTC) + 52s + 999ms, "Tuesday, 05 March 2024 14:03"},
      {to_file_time(JANUARY_1_2100_UTC), "Friday, 01 January 2100 00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_string(c.time), c.expected) << c.expected;
  }
}

struct CompareCase {
  const char* name;
  FileTime a;
  FileTime b;
  bool equal;
  bool greater;
};

TEST(FileTime, ComparesToTheNanosecond) {
  const FileTime base = to_file_time(MARCH_5_2024_140307_UTC);
  const CompareCase cases[] = {
      {"same time", base, base, true, false},
      {"one nanosecond later", base + 1ns, base, false, true},
      {"one nanosecond earlier", base, base + 1ns, false, false},
      {"a century later", to_file_time(JANUARY_1_2100_UTC), to_file_time(0), false, true},
      {"latest against earliest", FileTime::max(), FileTime::min(), false, true},
      {"earliest against latest", FileTime::min(), FileTime::max(), false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(equal(c.a, c.b), c.equal) << c.name;
    EXPECT_EQ(greater(c.a, c.b), c.greater) << c.name;
  }
}

struct PrefixCase {
  std::filesystem::path path;
  std::chrono::system_clock::time_point time;
  std::filesystem::path expected;
};

TEST(WithTimestampPrefix, PutsTheLocalTimeBeforeTheFileName) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  using std::chrono::March;
  using std::chrono::sys_days;
  const std::chrono::system_clock::time_point moment =
      sys_days{std::chrono::year(2024) / March / 5} + 14h + 3min + 7s + 45ms + 999us;
  const std::chrono::system_clock::time_point before_epoch =
      std::chrono::system_clock::time_point{} - 500ms;
  const PrefixCase cases[] = {
      {"/data/report.txt", moment, "/data/2024-03-05_14-03-07-045_report.txt"},
      {"report.txt", moment, "2024-03-05_14-03-07-045_report.txt"},
      {"/data/report.txt", moment - 45ms - 999us, "/data/2024-03-05_14-03-07-000_report.txt"},
      {"/data/old.log", before_epoch, "/data/1969-12-31_23-59-59-500_old.log"},
      {"/data/", moment, "/data/"},
      {"", moment, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(with_timestamp_prefix(c.path, c.time), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace TWL_Core::util
