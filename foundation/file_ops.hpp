#pragma once
// File operations at the boundary of a synchronisation step. Paths are wide strings, stored
// on disk in UTF-8. rename_file, remove_file and set_last_write_time never throw: a failure
// becomes a log line and a false result. Free of shared state, callable from any thread.

#include <filesystem>
#include <string>
#include <string_view>

#include "foundation/file_time.hpp"
#include "foundation/log_level.hpp"

namespace TWL_Core::util {

// True if both are regular files that can be read to their end and hold identical bytes.
[[nodiscard]] bool files_equal(std::wstring_view a, std::wstring_view b);

// Renames `from` to `to`, replacing an existing target file. Logs the rename at Info and a
// failure at Error; true on success.
[[nodiscard]] bool rename_file(std::wstring_view from, std::wstring_view to);

// Removes the file or empty directory at `path`; true if something was removed. Nothing at the
// path gives false without a log line. A file-system error is logged at `level`, or not at all
// when `level` is None.
[[nodiscard]] bool remove_file(std::wstring_view path, LogLevel level);

// Sets the modification time of `path` to `ft`; true on success. A file-system error is logged
// at `level`, or not at all when `level` is None.
[[nodiscard]] bool set_last_write_time(std::wstring_view path, FileTime ft, LogLevel level);

// The whole file decoded from UTF-8, invalid bytes as U+FFFD. Throws std::ios_base::failure
// when the file cannot be opened.
std::wstring read_utf8_file(const std::filesystem::path& path);

// Replaces the content of the file with `text` in UTF-8. Throws std::ios_base::failure when
// the file cannot be opened or written.
void write_utf8_file(const std::filesystem::path& path, std::wstring_view text);

// Logs a file-system error at Error with its message, its paths and its error code.
void handle_last_error(const std::filesystem::filesystem_error& e);

}  // namespace TWL_Core::util
