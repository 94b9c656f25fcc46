#pragma once
// Keeps a foreground process and the background daemon of the same user from running sync
// passes at the same time, through one advisory lock file per role. The foreground has
// priority: the background steps back while it is active, and it waits at most 60 seconds
// for a running background pass. Used by one thread only.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "foundation/file_descriptor.hpp"
#include "sync/sync_role.hpp"

namespace TWL_Core {

class SyncArbiter {
 public:
  using Clock = std::chrono::steady_clock;
  // How the arbiter reads the time and pauses between polls; tests replace both.
  struct Timing {
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    std::function<void(std::chrono::milliseconds)> sleep;  // empty: a real sleep
  };

  explicit SyncArbiter(SyncRole role);
  SyncArbiter(SyncRole role, Timing timing);
  ~SyncArbiter();
  SyncArbiter(const SyncArbiter&) = delete;
  SyncArbiter& operator=(const SyncArbiter&) = delete;

  // True if the caller may run a pass now; false once `stop` is set while waiting.
  bool acquire(const std::atomic<bool>& stop);
  // Withdraws the own lock if the arbiter is held.
  void release();
  bool held() const { return held_; }

  // "/tmp/ternwell-<uid>-<role>.lock", or below the temporary directory with "-test-"
  // once use_private_scope() was called.
  static std::string lock_path(SyncRole role);
  // Moves every later lock path of this process to the private scope (for tests).
  static void use_private_scope();

 private:
  void publish_active();
  void withdraw_active();
  bool other_side_active() const;
  void pause() const;

  const SyncRole role_;
  const Timing timing_;
  bool held_ = false;
  FileDescriptor descriptor_;  // the own lock file while published
};

}  // namespace TWL_Core
