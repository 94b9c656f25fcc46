#include "sync/mounted_drives.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "logging/logging.hpp"
#include "sync/filesystem_util.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;

// A place where volumes are mounted: the folders leading there and how many further names
// make up the volume folder.
struct MountPlace {
  std::array<std::string_view, 2> prefix;
  std::size_t prefix_length;
  std::size_t names;
};

constexpr std::array<MountPlace, 4> MOUNT_PLACES{{
    {{"Volumes", ""}, 1, 1},
    {{"media", ""}, 1, 1},
    {{"run", "media"}, 2, 2},
    {{"mnt", ""}, 1, 1},
}};

std::vector<std::string> names_of(const fs::path& path) {
  std::vector<std::string> names;
  for (const auto& part : path.relative_path()) names.push_back(part.string());
  if (!names.empty() && names.back().empty()) names.pop_back();
  return names;
}

bool starts_with(const std::vector<std::string>& names, const MountPlace& place) {
  if (names.size() < place.prefix_length + place.names) return false;
  return std::equal(place.prefix.begin(), place.prefix.begin() + place.prefix_length,
                    names.begin());
}

// True if `inner` is `outer` or lies below it.
bool lies_within(const fs::path& inner, const fs::path& outer) {
  const auto normal_inner = inner.lexically_normal();
  const auto normal_outer = outer.lexically_normal();
  return std::mismatch(normal_outer.begin(), normal_outer.end(), normal_inner.begin(),
                       normal_inner.end())
             .first == normal_outer.end();
}

// A path below a volume folder must lie on a volume mounted at or below that folder; on an
// unmounted volume its mount root is the root volume's (or that of /run, say) instead.
bool volume_in_place(const fs::path& path, const std::string& mount_root) {
  const auto folder = volume_folder(FilesystemUtil::normalize_best_effort(path));
  return !folder || lies_within(mount_root, *folder);
}

}  // namespace

std::optional<fs::path> volume_folder(const fs::path& path) {
  const fs::path normal = path.lexically_normal();
  if (!normal.has_root_directory()) return std::nullopt;
  const auto names = names_of(normal);
  for (const auto& place : MOUNT_PLACES) {
    if (!starts_with(names, place)) continue;
    fs::path folder = normal.root_path();
    for (std::size_t i = 0; i < place.prefix_length + place.names; ++i) folder /= names[i];
    return folder;
  }
  return std::nullopt;
}

MountedDrives& MountedDrives::instance() {
  static MountedDrives drives;
  return drives;
}

MountedDrives::MountedDrives() : clock_([] { return std::chrono::system_clock::now(); }) {}

bool MountedDrives::drive_mounted(const fs::path& path, const std::wstring& /*name*/) {
  log_at(LogLevel::Debug, "MountedDrives::drive_mounted");
  const std::lock_guard lock(mutex_);
  const auto root = FilesystemUtil::get_mount_root(path);
  if (!root || !volume_in_place(path, *root)) return false;
  return time_elapsed_locked() ? refresh_locked(*root) : check_locked(root);
}

bool MountedDrives::check(const fs::path& path) {
  const std::lock_guard lock(mutex_);
  return check_locked(FilesystemUtil::get_mount_root(path));
}

bool MountedDrives::refresh(const std::string& root, const std::wstring& /*name*/) {
  const std::lock_guard lock(mutex_);
  return refresh_locked(root);
}

bool MountedDrives::mount_point_exist(const std::string& device) {
  const std::lock_guard lock(mutex_);
  return std::any_of(all_mounts_.begin(), all_mounts_.end(),
                     [&](const auto& mount) { return mount.device == device; });
}

bool MountedDrives::time_elapsed() {
  const std::lock_guard lock(mutex_);
  return time_elapsed_locked();
}

void MountedDrives::set_clock(SystemClock clock) {
  const std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
  all_mounts_.clear();
  last_refresh_ = {};
}

bool MountedDrives::check_locked(const std::optional<std::string>& root) const {
  log_at(LogLevel::Debug, "MountedDrives::check");
  return root && listed(*root);
}

bool MountedDrives::listed(const std::string& root) const {
  return std::any_of(all_mounts_.begin(), all_mounts_.end(),
                     [&](const auto& mount) { return mount.mount_point == root; });
}

bool MountedDrives::refresh_locked(const std::string& root) {
  log_at(LogLevel::Debug, "MountedDrives::refresh");
  all_mounts_.clear();
  last_refresh_ = clock_();
  auto table = platform::mount_table();
  if (!table || table->empty()) return false;
  all_mounts_ = std::move(*table);
  return listed(root);
}

bool MountedDrives::time_elapsed_locked() const {
  const auto age = std::chrono::duration_cast<std::chrono::microseconds>(clock_() - last_refresh_);
  return age > CACHE_TIME;
}

}  // namespace TWL_Core
