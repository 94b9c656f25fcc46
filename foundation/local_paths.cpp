#include "foundation/local_paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "foundation/text.hpp"

namespace TWL_Core::FilesystemUtil {

bool file_exists(const std::wstring& path) {
  std::error_code ec;
  const auto type = std::filesystem::status(util::to_path(path), ec).type();
  return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

std::string home_dir() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* account = ::getpwuid(::getuid());
  if (account != nullptr && account->pw_dir != nullptr) return account->pw_dir;
  return {};
}

}  // namespace TWL_Core::FilesystemUtil
