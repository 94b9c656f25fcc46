#include "config/settings.hpp"

#include "foundation/local_paths.hpp"
#include "foundation/text.hpp"

namespace TWL_Core {

std::filesystem::path Settings::recycle_bin_path() const {
  return RecycleBinPath.empty() ? default_recycle_bin_path() : util::to_path(RecycleBinPath);
}

std::filesystem::path default_recycle_bin_path() {
  const std::string home = FilesystemUtil::home_dir();
  return home.empty() ? std::filesystem::path(".recyclebin")
                      : std::filesystem::path(home) / ".recyclebin";
}

}  // namespace TWL_Core
