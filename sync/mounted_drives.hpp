#pragma once
// Whether the volume that should hold a path is mounted, answered from a copy of the
// system's mount table that is read again when it is older than ten seconds. A process-wide
// singleton; every member is thread-safe and holds the one lock for its whole call.

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/platform.hpp"

namespace TWL_Core {

class MountedDrives {
 public:
  using SystemClock = std::function<std::chrono::system_clock::time_point()>;

  // How long a copy of the mount table is used before it is read again.
  static constexpr std::chrono::seconds CACHE_TIME{10};

  static MountedDrives& instance();
  MountedDrives(const MountedDrives&) = delete;
  MountedDrives& operator=(const MountedDrives&) = delete;

  // True if the volume holding `path` is mounted: the mount root of the deepest existing
  // ancestor is in the mount table. A path below a volume folder (see volume_folder) counts
  // as mounted only if that mount root is the volume folder or lies below it, so a volume
  // whose folder is missing or empty is seen as unmounted at once. `name` is not used.
  bool drive_mounted(const std::filesystem::path& path, const std::wstring& name = {});

  // True if the mount root of `path` is in the mount table as last read (no re-reading).
  bool check(const std::filesystem::path& path);

  // Reads the mount table anew; true if `root` (UTF-8) is one of its mount points. A table
  // that cannot be read leaves the copy empty and gives false. `name` is not used.
  bool refresh(const std::string& root, const std::wstring& name = {});

  // True if the mount table as last read has an entry whose device is exactly `device`.
  bool mount_point_exist(const std::string& device);

  // True once more than CACHE_TIME has passed since the mount table was last read (always
  // before the first read).
  bool time_elapsed();

  // Replaces the clock that ages the copy of the mount table (the system clock unless
  // replaced). Forgets the copy, whose time belongs to the old clock.
  void set_clock(SystemClock clock);

 private:
  MountedDrives();

  bool check_locked(const std::optional<std::string>& root) const;
  bool refresh_locked(const std::string& root);
  // True if `root` is a mount point of the table as last read.
  bool listed(const std::string& root) const;
  bool time_elapsed_locked() const;

  std::mutex mutex_;
  std::vector<platform::MountInfo> all_mounts_;         // guarded by mutex_; the last read
  std::chrono::system_clock::time_point last_refresh_;  // guarded by mutex_; epoch before any
  SystemClock clock_;                                   // guarded by mutex_
};

// The folder a volume holding `path` (absolute, normalised) is mounted on, when `path` lies
// at or below one of the usual mount places: /Volumes/<name>, /media/<name> (which also
// covers /media/<user>/<name>), /run/media/<user>/<name> and /mnt/<name>. Nothing for any
// other path. Looks at the text only.
std::optional<std::filesystem::path> volume_folder(const std::filesystem::path& path);

}  // namespace TWL_Core
