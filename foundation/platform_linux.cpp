#include "foundation/platform.hpp"

#include <mntent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <system_error>

namespace TWL_Core::platform {
namespace {

// Long enough for the fields we keep; getmntent_r drops the rest of an overlong line.
constexpr std::size_t MOUNT_LINE_BUFFER = 16 * 1024;

struct MountTableCloser {
  void operator()(std::FILE* table) const { ::endmntent(table); }
};

}  // namespace

std::filesystem::path executable_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path{} : path;
}

std::optional<std::vector<MountInfo>> mount_table() {
  const std::unique_ptr<std::FILE, MountTableCloser> table(::setmntent("/proc/self/mounts", "r"));
  if (!table) return std::nullopt;
  std::vector<MountInfo> mounts;
  std::vector<char> buffer(MOUNT_LINE_BUFFER);
  mntent entry{};
  while (::getmntent_r(table.get(), &entry, buffer.data(), static_cast<int>(buffer.size()))) {
    mounts.push_back({entry.mnt_fsname, entry.mnt_dir, entry.mnt_type});
  }
  return mounts;
}

bool flush_to_device(int fd) { return ::fsync(fd) == 0; }

}  // namespace TWL_Core::platform
