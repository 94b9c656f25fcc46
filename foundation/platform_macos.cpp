#include "foundation/platform.hpp"

#include <fcntl.h>
#include <mach-o/dyld.h>
#include <unistd.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>

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

std::optional<std::vector<MountInfo>> mount_table() {
  // The entries live in a buffer that getmntinfo owns and reuses on its next call.
  struct statfs* entries = nullptr;
  const int count = ::getmntinfo(&entries, MNT_NOWAIT);
  if (count < 1 || entries == nullptr) return std::nullopt;
  std::vector<MountInfo> mounts;
  mounts.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    mounts.push_back({entries[i].f_mntfromname, entries[i].f_mntonname, entries[i].f_fstypename});
  }
  return mounts;
}

bool flush_to_device(int fd) {
  // F_FULLFSYNC also empties the drive's own cache; some file systems (network volumes)
  // do not support it, and for them fsync is the best there is.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
  return ::fsync(fd) == 0;
}

}  // namespace TWL_Core::platform
