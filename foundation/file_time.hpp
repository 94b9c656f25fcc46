#pragma once
// File modification times: points on the file-system clock with nanosecond resolution, their
// conversion to and from time_t seconds, their comparison and their display, and file names
// stamped with a time. Free of shared state, callable from any thread.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace TWL_Core::util {

using FileTime = std::filesystem::file_time_type;

// Whole seconds since the epoch; the fraction is dropped toward zero.
std::time_t to_time_t(FileTime ft);
// The file time of `t` seconds since the epoch.
FileTime to_file_time(std::time_t t);
// The file time of a time the system gives as seconds and nanoseconds since the epoch (as in
// struct stat); nothing if the file clock cannot hold it.
std::optional<FileTime> from_unix_time(std::int64_t seconds, std::int64_t nanoseconds);
// The time in UTC as "%A, %d %B %Y %H:%M"; weekday and month names follow the process locale.
std::string to_string(FileTime ft);

// True if a and b are the same to the nanosecond. No tolerance is applied.
bool equal(FileTime a, FileTime b);
// True if a is later than b. No tolerance is applied.
bool greater(FileTime a, FileTime b);
// True if a is later than b by more than `tolerance`, to the nanosecond; a difference of
// exactly the tolerance is none. Never overflows, whatever the times.
bool later_by_more_than(FileTime a, FileTime b, std::chrono::seconds tolerance);
// The same in whole seconds (the fractions dropped), for times that only hold seconds.
bool later_in_seconds_by_more_than(FileTime a, FileTime b, std::chrono::seconds tolerance);

// `path` with its file name prefixed by the local time of `t` as "YYYY-MM-DD_hh-mm-ss-mmm_".
// A path without a file name (empty, or ending in a separator) comes back unchanged.
std::filesystem::path with_timestamp_prefix(const std::filesystem::path& path,
                                            std::chrono::system_clock::time_point t);

}  // namespace TWL_Core::util
