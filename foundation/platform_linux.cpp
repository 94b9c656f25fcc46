#include "foundation/platform.hpp"

#include <system_error>

namespace TWL_Core::platform {

std::filesystem::path executable_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path{} : path;
}

}  // namespace TWL_Core::platform
