#pragma once
// The process-wide sync controller. Its worker walks the configured items, runs each one that
// is due and reachable through the synchroniser for its type, records the outcome in the
// configuration and writes backup proof. One instance exists at a time (create/destroy);
// the static functions may be called from any thread and are how synchronisers learn that
// they must stop and publish their progress.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/sync_item.hpp"
#include "foundation/worker_thread.hpp"
#include "remote/remote_access.hpp"
#include "sync/check_path.hpp"
#include "sync/sync_arbiter.hpp"
#include "sync/sync_message.hpp"
#include "sync/sync_plan.hpp"
#include "sync/sync_report.hpp"
#include "sync/sync_role.hpp"
#include "sync/thread_save_stack.hpp"

namespace TWL_Core {

// What a run does. Continuous repeats its pass once a second; every other type runs one pass.
enum class SyncType : std::int32_t { CountFiles = 1, Plan = 2, Continuous = 4, Once = 8 };

// A controlling user interface; the controller only keeps the pointer.
class SyncControler {
 public:
  virtual ~SyncControler() = default;
};

// One run of one item, as handed to the synchroniser of its type.
struct ItemRun {
  const SyncItem& item;
  std::atomic<std::size_t>& files;  // increased per file handled; read by other threads
  bool plan_only;                   // describe or count, change nothing
  bool target_is_dir;               // file items only: the target names a folder
  RemoteAccess* remote;             // the pass's remote sessions, for remote sides
};
using ItemRunner = std::function<void(const ItemRun&)>;

class Synchronize {
 public:
  struct SshTargetDirCacheEntry {
    bool is_dir = false;
    std::chrono::steady_clock::time_point checked_at;
  };

  // Starts a controller, replacing any existing one, whose worker begins its first pass at once.
  // The controller is reachable through instance() before that pass starts.
  static Synchronize& create(SyncType type, SyncControler* controler, SyncRole role);
  // Stops the worker, waits for it and deletes the controller; nothing if there is none.
  static void destroy();
  // Throws std::runtime_error with the translated "no_sync_active" when there is none.
  static Synchronize& instance();
  static bool has_instance();
  // Asks the controller and every running synchroniser to stop as soon as they can.
  static void stop();
  static bool stopping();
  static void set_progress_message(const std::wstring& text, const std::wstring& detail,
                                   std::int64_t total);
  static void report_copied_bytes(std::uint64_t bytes);

  // The synchroniser for items of `type`. An item of a type without one is reported as a
  // failed run ("sync_item_type_not_supported") and tried again after its cycle.
  // Requires: no controller exists.
  static void set_item_runner(SyncItemType type, ItemRunner runner);

  virtual ~Synchronize();
  Synchronize(const Synchronize&) = delete;
  Synchronize& operator=(const Synchronize&) = delete;

  std::size_t count_files() const { return files_; }
  std::uint64_t copied_bytes() const { return copied_bytes_; }
  // The newest progress message (empty if none); older ones are discarded.
  SyncMessage get_message();
  // How many progress messages wait to be read; a few at most, however many were published.
  std::size_t pending_messages() const { return messages_.size(); }
  bool has_controler() const { return controler_ != nullptr; }
  SyncControler* sync_controler() const { return controler_; }
  bool path_exists(const std::wstring& path) const;
  bool is_ssh_target_dir(const std::wstring& path);
  // The steps collected by a SyncType::Plan run; read it once the worker has ended.
  const SyncPlan& plan() const { return plan_; }
  // Blocks until the worker has ended (after a single pass, a stop or a failure).
  void wait();

  void operator()();

 private:
  // One item of the pass: its place in the configuration's item list and a copy of it.
  // Items are told apart by place, never by name, which two items may share.
  struct PassItem {
    std::size_t index;
    const SyncItem& item;
  };

  Synchronize(SyncType type, SyncControler* controler, SyncRole role);
  void start_worker();

  void sync_items();
  void sync_item(const PassItem& entry);
  bool pause_elapsed(const SyncItem& item) const;
  void run_sync_item(const PassItem& entry);
  void run_guarded(const PassItem& entry);
  void run_synchroniser(const SyncItem& item);
  bool target_is_directory(const SyncItem& item);
  void report_sync_item(const PassItem& entry);
  void report_unreachable(const PassItem& entry);
  LastRun last_run_of(std::size_t index, const SyncReport& report) const;
  void wait_for_next_pass();
  bool real_run() const;

  std::atomic<SyncType> type_;
  std::atomic<std::size_t> files_{0};  // handed to the synchronisers by reference
  SyncControler* const controler_;
  WorkerThread worker_;
  std::atomic<bool> stop_requested_{false};
  ThreadSaveStack<SyncMessage> messages_;
  std::atomic<std::uint64_t> copied_bytes_{0};
  // Declared before the path check, which asks through it. Sessions last one item's pass.
  std::unique_ptr<RemoteAccess> remote_;  // worker only
  CheckPath check_path_;
  std::mutex wait_mutex_;
  std::condition_variable wake_up_;
  const SyncRole role_;
  SyncArbiter arbiter_;
  SyncPlan plan_;
  std::map<std::wstring, SshTargetDirCacheEntry> ssh_target_dir_cache_;  // worker only
  std::map<std::size_t, bool> reachability_;  // worker only; by place in the item list

  static std::atomic<Synchronize*> this_;
  static std::atomic<bool> stop_;
};

}  // namespace TWL_Core
