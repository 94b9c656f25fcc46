#pragma once
// Keeps a foreground process and the background daemon of the same user from running sync
// passes at the same time, through one advisory lock file per role. The foreground has
// priority: the background steps back while it is active, and it waits at most 60 seconds
// for a running background pass. The own lock file's times are kept fresh, so that a clean-up
// of old files in /tmp never removes it while it is in use. Used by one thread only.

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
    // Runs after the own lock file is opened and before it is locked (for tests).
    std::function<void(const std::string& path)> before_lock;
  };

  // How often the own lock file's times are renewed while it is in use.
  static constexpr std::chrono::hours FRESHNESS_INTERVAL{1};

  explicit SyncArbiter(SyncRole role);
  SyncArbiter(SyncRole role, Timing timing);
  ~SyncArbiter();
  SyncArbiter(const SyncArbiter&) = delete;
  SyncArbiter& operator=(const SyncArbiter&) = delete;

  // True if the caller may run a pass now; false once `stop` is set while waiting. Renews
  // the own lock file's times when they are due.
  [[nodiscard]] bool acquire(const std::atomic<bool>& stop);
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
  // Locks the own lock file, as long as its path still names the file locked.
  bool lock_own_file(const std::string& path);
  void keep_fresh();
  void withdraw_active();
  bool other_side_active() const;
  void pause() const;

  const SyncRole role_;
  const Timing timing_;
  bool held_ = false;
  FileDescriptor descriptor_;  // the own lock file while published
  Clock::time_point freshened_ = Clock::time_point::min();  // last renewal of its times
};

}  // namespace TWL_Core
