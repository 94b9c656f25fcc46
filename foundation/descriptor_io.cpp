#include "foundation/descriptor_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace TWL_Core::util {

std::error_code write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return {errno, std::generic_category()};
    if (written == 0) return std::make_error_code(std::errc::io_error);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

long long copy_by_reading(int from, int to, std::size_t max_bytes) {
  constexpr std::size_t BLOCK = std::size_t{1} << 20;
  static thread_local std::vector<char> block(BLOCK);
  for (;;) {
    const ssize_t got = ::read(from, block.data(), std::min(block.size(), max_bytes));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got;
    if (const auto error = write_all(to, std::string_view(block.data(), static_cast<std::size_t>(got)))) {
      errno = error.value();
      return -1;
    }
    return got;
  }
}

}  // namespace TWL_Core::util
