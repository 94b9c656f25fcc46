#include "sync/sync_base.hpp"

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/mounted_drives.hpp"
#include "sync/synchronize.hpp"

namespace TWL_Core {

SyncBase::SyncBase(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only)
    : item_(item), files_(files), plan_only_(plan_only) {}

bool SyncBase::stop_requested() { return Synchronize::stopping(); }

bool SyncBase::drive_not_exist(const std::wstring& path, bool remote) {
  log_at(LogLevel::Debug, L"drive_not_exist: " + path);
  if (remote) return false;
  if (MountedDrives::instance().drive_mounted(util::to_path(path))) return false;
  log_at(LogLevel::Debug, "drive_not_exist: TRUE");
  return true;
}

}  // namespace TWL_Core
