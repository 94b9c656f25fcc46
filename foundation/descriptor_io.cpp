#include "foundation/descriptor_io.hpp"

#include <unistd.h>

#include <cerrno>

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

}  // namespace TWL_Core::util
