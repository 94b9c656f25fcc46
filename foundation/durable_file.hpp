#pragma once
// Replacing a file so that a crash or a power loss leaves either its old or its whole new
// content, never an empty or partial file: the new content goes to a temporary file beside
// it, is flushed to the device, renamed over the file, and the folder is flushed too (as
// careful databases do). Free of shared state, callable from any thread; nothing throws.

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace TWL_Core::util {

// The temporary file that replace_file_durably writes: `path` + ".tmp".
std::filesystem::path temporary_path_for(const std::filesystem::path& path);

// Writes `bytes` to temporary_path_for(path) (created with `mode` less the umask, replacing a
// leftover regular file, never following a link), flushes it and renames it over `path`,
// then flushes the folder. On failure the temporary file is removed, `path` keeps its old
// content, and the error is returned; an empty error code means success.
[[nodiscard]] std::error_code replace_file_durably(const std::filesystem::path& path,
                                                   std::string_view bytes, mode_t mode = 0644);

// Renames the complete `temporary` over `path` after flushing it to the device, then flushes
// the folder. On failure `temporary` is removed and `path` keeps its old content.
[[nodiscard]] std::error_code commit_temporary_file(const std::filesystem::path& temporary,
                                                    const std::filesystem::path& path);

// Flushes the open file's data to the device; false with errno set on failure.
[[nodiscard]] bool flush_file(int fd);

// Flushes a folder's entries (after a rename or a creation in it); false on failure.
[[nodiscard]] bool flush_folder(const std::filesystem::path& dir);

}  // namespace TWL_Core::util
