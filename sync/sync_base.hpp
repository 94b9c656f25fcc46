#pragma once
// What the three synchronisers (of a file, a folder, a folder tree) share: their own copy of
// the item being run, the controller's file counter, whether the run only plans or counts,
// and which sides lie on an SSH host. One synchroniser runs once, on the sync worker thread.

#include <atomic>
#include <cstddef>
#include <string>

#include "config/sync_item.hpp"

namespace TWL_Core {

class SyncBase {
 public:
  SyncBase(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only);
  virtual ~SyncBase() = default;
  SyncBase(const SyncBase&) = delete;
  SyncBase& operator=(const SyncBase&) = delete;

  // Runs the synchroniser once. Nothing escapes: every failure is logged and reported.
  virtual void operator()() = 0;

  // True once the controller was asked to stop.
  [[nodiscard]] static bool stop_requested();
  // True when the local `path` lies on a volume that is not mounted; a remote path never does.
  [[nodiscard]] static bool drive_not_exist(const std::wstring& path, bool remote);

 protected:
  const SyncItem item_;
  std::atomic<std::size_t>& files_;  // the controller's; read by other threads
  const bool plan_only_;
  SSHPATH ssh_kind_ = SSHPATH::None;
};

}  // namespace TWL_Core
