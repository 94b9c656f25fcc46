#include "sync/check_path.hpp"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/filesystem_util.hpp"

namespace TWL_Core {
namespace {

constexpr std::uint16_t FIRST_INTERVAL = 2;
constexpr std::uint32_t REACHABLE_CAP = 3600;
constexpr std::uint32_t UNREACHABLE_CAP = 300;

std::string utf8(const std::wstring& text) { return util::wstring_to_string(text); }

wchar_t type_mark(PathType type) { return type == PathType::Ssh ? L'S' : L'F'; }

}  // namespace

CheckedSide CheckedSide::of(const std::unique_ptr<SyncPath>& endpoint) {
  if (!endpoint) return {};
  return {endpoint->path(), endpoint->path_type};
}

CheckPath::CheckPath(SteadyClock clock, RemoteAccess* remote)
    : clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      remote_(remote) {}

bool CheckPath::operator()(const CheckedSide& source, const CheckedSide& target) {
  const std::wstring pair = source.path + L"|" + target.path;
  const std::wstring key = std::wstring{type_mark(source.type), type_mark(target.type)} + pair;
  const std::lock_guard lock(mutex_);
  const auto cached = cache_.find(key);
  if (cached != cache_.end() && !expired(cached->second)) {
    log_lazily(LogLevel::Debug, [&] { return "CheckPath: cached result for " + utf8(pair); });
    return cached->second.reachable;
  }
  const bool reachable = both_sides_reachable(source, target);
  const std::uint16_t interval =
      cached == cache_.end()
          ? FIRST_INTERVAL
          : next_check_interval(cached->second.interval, cached->second.reachable == reachable,
                                reachable);
  cache_[key] = DriveCheckCacheEntry{reachable, interval, clock_()};
  return reachable;
}

bool CheckPath::both_sides_reachable(const CheckedSide& source, const CheckedSide& target) {
  const bool source_reachable = side_reachable(source, true);
  if (!source_reachable) {
    log_at(LogLevel::Info, translation::translate("source_dir_not_reachable") + source.path);
  }
  const bool target_reachable = side_reachable(target, false);
  if (!target_reachable) {
    log_at(LogLevel::Info, translation::translate("target_dir_not_reachable") + target.path);
  }
  return source_reachable && target_reachable;
}

bool CheckPath::side_reachable(const CheckedSide& side, bool is_source) {
  if (side.type == PathType::Ssh) return ssh_path_reachable(side.path, is_source);
  return path_exists(side.path);
}

bool CheckPath::ssh_path_reachable(const std::wstring& path, bool must_exist) {
  log_at(LogLevel::Debug, "ssh_path_reachable: " + utf8(path));
  const auto account = get_account_from_path(path);
  if (!account) {
    log_at(LogLevel::Error, translation::translate("ssh_account_not_found_for") + path);
    return false;
  }
  if (remote_ == nullptr) {
    log_at(LogLevel::Info, translation::translate("ssh_path_not_reachable") + path +
                               L" - SFTP access is not available");
    return false;
  }
  if (!remote_->log_in(*account)) {
    log_at(LogLevel::Info, translation::translate("ssh_path_not_reachable") + path);
    return false;
  }
  if (!must_exist) return true;
  switch (remote_->exists({*account, get_remote_path(path)})) {
    case RemoteAnswer::Yes:
      return true;
    case RemoteAnswer::No:
      log_at(LogLevel::Info, translation::translate("ssh_path_not_exist") + path);
      return false;
    case RemoteAnswer::Unknown:
      break;
  }
  log_at(LogLevel::Info, translation::translate("ssh_path_not_reachable") + path);
  return false;
}

bool CheckPath::path_exists(const std::wstring& path) {
  log_at(LogLevel::Debug, "CheckPath::path_exists()");
  return FilesystemUtil::file_exists(path);
}

bool CheckPath::expired(const DriveCheckCacheEntry& entry) const {
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(clock_() - entry.checked_at);
  return age.count() >= entry.interval;
}

std::uint16_t next_check_interval(std::uint16_t current, bool unchanged, bool reachable) {
  if (!unchanged) return FIRST_INTERVAL;
  const std::uint32_t doubled = std::uint32_t{current} * 2;
  return static_cast<std::uint16_t>(std::min(doubled, reachable ? REACHABLE_CAP : UNREACHABLE_CAP));
}

}  // namespace TWL_Core
