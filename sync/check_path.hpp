#pragma once
// Reachability of the two sides of a sync item: a local side must exist, a remote side
// ("account:path") must accept an SSH login and, for the source, exist on the host. Whether a
// side is local or remote is the endpoint's own type, never guessed from its text. Answers
// are cached per pair for an interval that doubles while the answer stays the same (up to an
// hour when reachable, five minutes when not) and starts again at 2 seconds when it changes.
// Thread-safe: one lock serialises every cached check, the real check included. Nothing
// throws; an unreachable side is an Info line and a false result.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "config/sync_path.hpp"
#include "remote/remote_access.hpp"

namespace TWL_Core {

// One side of an item as the check sees it: the endpoint's text and its type.
struct CheckedSide {
  std::wstring path;
  PathType type = PathType::Filesystem;

  // The side of an item's endpoint; an absent endpoint is an empty local path.
  static CheckedSide of(const std::unique_ptr<SyncPath>& endpoint);
};

class CheckPath {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using SteadyClock = std::function<SteadyTime()>;

  struct DriveCheckCacheEntry {
    bool reachable = false;      // answer of the last real check of the pair
    std::uint16_t interval = 0;  // seconds during which that answer is reused
    SteadyTime checked_at;       // when the last real check ended
  };

  // `clock` ages the cached answers; the steady clock unless a test supplies another.
  // Remote sides are asked through `remote` (when given, the checks must come from the one
  // thread that uses it); without one they count as unreachable.
  explicit CheckPath(SteadyClock clock = {}, RemoteAccess* remote = nullptr);
  CheckPath(const CheckPath&) = delete;
  CheckPath& operator=(const CheckPath&) = delete;

  // True if both sides are reachable, from the cache while the pair's answer is fresh (with
  // a Debug line "CheckPath: cached result for <source>|<target>").
  [[nodiscard]] bool operator()(const CheckedSide& source, const CheckedSide& target);

  // Checks both sides now, without the cache. Each unreachable side is logged at Info
  // ("source_dir_not_reachable" or "target_dir_not_reachable" followed by the path); the
  // target is checked even when the source is not reachable.
  [[nodiscard]] bool both_sides_reachable(const CheckedSide& source, const CheckedSide& target);

  // A remote side is checked by ssh_path_reachable (which requires the path to exist for the
  // source), a local side by path_exists.
  [[nodiscard]] bool side_reachable(const CheckedSide& side, bool is_source);

  // True if an SSH login for the account named in `path` ("account:remote path") works and,
  // with `must_exist`, the remote path exists. Logs an Error line "ssh_account_not_found_for"
  // when the account is unknown and an Info line for a host or path that cannot be reached.
  [[nodiscard]] bool ssh_path_reachable(const std::wstring& path, bool must_exist);

  // True if something exists at the local `path` (links followed). Logs at Debug.
  [[nodiscard]] bool path_exists(const std::wstring& path);

  // True if the entry's interval has run out (whole seconds since checked_at).
  bool expired(const DriveCheckCacheEntry& entry) const;

 private:
  const SteadyClock clock_;
  RemoteAccess* const remote_;
  std::mutex mutex_;
  // guarded by mutex_; keyed by both sides' types and texts
  std::map<std::wstring, DriveCheckCacheEntry> cache_;
};

// The interval after a real check: 2 seconds when the answer changed, else twice `current`,
// at most 3600 seconds for a reachable pair and 300 for an unreachable one.
std::uint16_t next_check_interval(std::uint16_t current, bool unchanged, bool reachable);

}  // namespace TWL_Core
