#include "foundation/platform.hpp"

#include <mach-o/dyld.h>

#include <cstdint>
#include <system_error>
#include <vector>

namespace TWL_Core::platform {

std::filesystem::path executable_path() {
  std::uint32_t size = 1024;
  std::vector<char> buffer(size);
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
    buffer.resize(size);
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  }
  std::error_code error;
  auto path = std::filesystem::canonical(buffer.data(), error);
  return error ? std::filesystem::path{buffer.data()} : path;
}

}  // namespace TWL_Core::platform
