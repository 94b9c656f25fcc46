#pragma once
// Whole writes on an open descriptor: write(2) may take fewer bytes than asked or be
// interrupted by a signal, and every caller needs all or a reason. Callable from any thread.

#include <cstddef>
#include <string_view>
#include <system_error>

namespace TWL_Core::util {

// Writes every byte of `bytes` to `fd`, retrying after interruptions. An empty error code on
// success; otherwise the system's reason (a write that takes nothing counts as an I/O error).
[[nodiscard]] std::error_code write_all(int fd, std::string_view bytes);

// Reads up to `max_bytes` at the current offset of `from` and writes them whole to `to`.
// Returns the bytes copied, 0 at the end of `from`, or -1 with errno set.
[[nodiscard]] long long copy_by_reading(int from, int to, std::size_t max_bytes);

}  // namespace TWL_Core::util
