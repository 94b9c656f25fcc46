#include "foundation/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace TWL_Core {
namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

}  // namespace

FileDescriptor open_regular_file(const std::filesystem::path& path, int flags,
                                 std::error_code& error, mode_t mode) {
  error.clear();
  FileDescriptor file(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  if (!file.is_open()) {
    error = last_error();
    return file;
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    error = last_error();
    return {};
  }
  if (!S_ISREG(status.st_mode)) {
    error = std::make_error_code(S_ISDIR(status.st_mode) ? std::errc::is_a_directory
                                                         : std::errc::no_such_device);
    return {};
  }
  const int status_flags = ::fcntl(file.get(), F_GETFL);
  if (status_flags < 0 || ::fcntl(file.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    error = last_error();
    return {};
  }
  return file;
}

}  // namespace TWL_Core
