#include "foundation/file_time.hpp"

#include <cstdio>
#include <ratio>

namespace TWL_Core::util {
namespace {

__extension__ typedef __int128 Nanoseconds128;

static_assert(std::ratio_equal_v<FileTime::period, std::nano>,
              "file times are expected to count nanoseconds");

Nanoseconds128 nanoseconds(FileTime ft) {
  return static_cast<Nanoseconds128>(ft.time_since_epoch().count());
}

std::string format_time(const char* format, const std::tm& time) {
  char text[256];
  const std::size_t length = std::strftime(text, sizeof text, format, &time);
  return std::string(text, length);
}

}  // namespace

std::time_t to_time_t(FileTime ft) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::file_clock::to_sys(ft).time_since_epoch());
  return std::chrono::system_clock::to_time_t(
      std::chrono::sys_time<std::chrono::microseconds>(micros));
}

FileTime to_file_time(std::time_t t) {
  const std::chrono::sys_time<std::chrono::microseconds> micros{std::chrono::seconds(t)};
  const auto nanos = std::chrono::time_point_cast<std::chrono::nanoseconds>(micros);
  return FileTime(std::chrono::file_clock::from_sys(nanos));
}

std::string to_string(FileTime ft) {
  const std::time_t seconds = to_time_t(ft);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  return format_time("%A, %d %B %Y %H:%M", utc);
}

bool equal(FileTime a, FileTime b) { return nanoseconds(a) == nanoseconds(b); }

bool greater(FileTime a, FileTime b) { return nanoseconds(a) > nanoseconds(b); }

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
