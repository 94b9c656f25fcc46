#include "foundation/file_time.hpp"

#include <cstdio>
#include <limits>
#include <ratio>

namespace TWL_Core::util {
namespace {

__extension__ typedef __int128 Nanoseconds128;

static_assert(std::ratio_equal_v<FileTime::period, std::nano>,
              "file times are expected to count nanoseconds");

constexpr Nanoseconds128 NANOSECONDS_PER_SECOND = 1000000000;

Nanoseconds128 nanoseconds(FileTime ft) {
  return static_cast<Nanoseconds128>(ft.time_since_epoch().count());
}

// Where the file clock's epoch lies, in nanoseconds since the system clock's.
Nanoseconds128 file_epoch_nanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::file_clock::to_sys(FileTime{}).time_since_epoch())
      .count();
}

std::string format_time(const char* format, const std::tm& time) {
  char text[256];
  const std::size_t length = std::strftime(text, sizeof text, format, &time);
  return std::string(text, length);
}

}  // namespace

// Computed in 128 bits: the file clock's epoch lies far from the system clock's (2174 in
// libstdc++), and converting a time near either end of its range through the clocks overflows.
std::time_t to_time_t(FileTime ft) {
  const Nanoseconds128 seconds =
      (nanoseconds(ft) + file_epoch_nanoseconds()) / NANOSECONDS_PER_SECOND;
  constexpr auto lowest = std::numeric_limits<std::time_t>::min();
  constexpr auto highest = std::numeric_limits<std::time_t>::max();
  if (seconds < lowest) return lowest;
  if (seconds > highest) return highest;
  return static_cast<std::time_t>(seconds);
}

FileTime to_file_time(std::time_t t) {
  const std::chrono::sys_time<std::chrono::microseconds> micros{std::chrono::seconds(t)};
  const auto nanos = std::chrono::time_point_cast<std::chrono::nanoseconds>(micros);
  return FileTime(std::chrono::file_clock::from_sys(nanos));
}

std::optional<FileTime> from_unix_time(std::int64_t seconds, std::int64_t nanoseconds) {
  const Nanoseconds128 since_file_epoch =
      static_cast<Nanoseconds128>(seconds) * NANOSECONDS_PER_SECOND + nanoseconds -
      file_epoch_nanoseconds();
  const auto lowest = static_cast<Nanoseconds128>(FileTime::duration::min().count());
  const auto highest = static_cast<Nanoseconds128>(FileTime::duration::max().count());
  if (since_file_epoch < lowest || since_file_epoch > highest) return std::nullopt;
  return FileTime(FileTime::duration(static_cast<FileTime::rep>(since_file_epoch)));
}

std::string to_string(FileTime ft) {
  const std::time_t seconds = to_time_t(ft);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  return format_time("%A, %d %B %Y %H:%M", utc);
}

bool equal(FileTime a, FileTime b) { return nanoseconds(a) == nanoseconds(b); }

bool greater(FileTime a, FileTime b) { return nanoseconds(a) > nanoseconds(b); }

bool later_by_more_than(FileTime a, FileTime b, std::chrono::seconds tolerance) {
  constexpr Nanoseconds128 NANOSECONDS_PER_SECOND = 1000000000;
  return nanoseconds(a) - nanoseconds(b) >
         static_cast<Nanoseconds128>(tolerance.count()) * NANOSECONDS_PER_SECOND;
}

bool later_in_seconds_by_more_than(FileTime a, FileTime b, std::chrono::seconds tolerance) {
  return static_cast<Nanoseconds128>(to_time_t(a)) - static_cast<Nanoseconds128>(to_time_t(b)) >
         static_cast<Nanoseconds128>(tolerance.count());
}

std::filesystem::path with_timestamp_prefix(const std::filesystem::path& path,
                                            std::chrono::system_clock::time_point t) {
  if (!path.has_filename()) return path;
  const auto micros = std::chrono::floor<std::chrono::microseconds>(t);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(micros);
  const auto millis = (micros - seconds).count() / 1000;
  const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
  std::tm local{};
  ::localtime_r(&time, &local);
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "-%03d_", static_cast<int>(millis));
  std::filesystem::path name = format_time("%Y-%m-%d_%H-%M-%S", local) + suffix;
  name += path.filename();
  return path.parent_path() / name;
}

}  // namespace TWL_Core::util
