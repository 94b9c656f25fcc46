#include "sync/sync_arbiter.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {

namespace {

using namespace std::chrono_literals;

constexpr auto POLL_INTERVAL = 200ms;
constexpr auto FOREGROUND_PATIENCE = 60s;
// A lock file removed and made anew between our open and our lock is rare; a few tries settle it.
constexpr int LOCK_ATTEMPTS = 3;

std::atomic<bool> private_scope{false};

SyncRole other_role(SyncRole role) {
  return role == SyncRole::Background ? SyncRole::Foreground : SyncRole::Background;
}

struct OpenedLockFile {
  FileDescriptor descriptor;
  int error = 0;  // errno of the failure when the descriptor is closed
};

bool safe_lock_file(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void report_unsafe(const std::string& path) {
  log_at(LogLevel::Error, translation::translate("arbiter_lock_file_unsafe"),
         util::string_to_wstring(path));
}

// The lock files lie in a folder that everybody may write to. A file is used only when it
// is a regular file of this user that nobody else can write; a symbolic link is never
// followed, so nobody can make the daemon create or lock a file of his choosing.
OpenedLockFile open_lock_file(const std::string& path) {
  OpenedLockFile opened{
      FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                            0600)),
      0};
  if (!opened.descriptor.is_open()) {
    opened.error = errno;
    if (opened.error == ELOOP) report_unsafe(path);
    return opened;
  }
  struct stat status {};
  if (::fstat(opened.descriptor.get(), &status) != 0) {
    opened.error = errno;
  } else if (!safe_lock_file(status)) {
    opened.error = EPERM;
    report_unsafe(path);
  }
  if (opened.error != 0) opened.descriptor.reset();
  return opened;
}

// True if `path` still names the open file: a lock on a file that was removed from the folder
// meanwhile keeps nobody out, since the other side opens whatever the path names now.
bool path_names(const std::string& path, int descriptor) {
  struct stat open_status {};
  struct stat path_status {};
  return ::fstat(descriptor, &open_status) == 0 && ::lstat(path.c_str(), &path_status) == 0 &&
         open_status.st_dev == path_status.st_dev && open_status.st_ino == path_status.st_ino;
}

}  // namespace

SyncArbiter::SyncArbiter(SyncRole role) : SyncArbiter(role, Timing()) {}

SyncArbiter::SyncArbiter(SyncRole role, Timing timing) : role_(role), timing_(std::move(timing)) {}

SyncArbiter::~SyncArbiter() { release(); }

std::string SyncArbiter::lock_path(SyncRole role) {
  const bool private_ = private_scope.load();
  const char* tmpdir = private_ ? std::getenv("TMPDIR") : nullptr;
  const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  return folder + "/ternwell-" + std::to_string(::getuid()) + (private_ ? "-test-" : "-") +
         (role == SyncRole::Background ? "background" : "foreground") + ".lock";
}

void SyncArbiter::use_private_scope() { private_scope = true; }

bool SyncArbiter::acquire(const std::atomic<bool>& stop) {
  if (held_) {
    keep_fresh();
    return true;
  }
  if (role_ == SyncRole::Background) {
    while (!stop) {
      publish_active();
      if (!other_side_active()) return held_ = true;
      withdraw_active();  // lets the foreground proceed
      pause();
    }
    return false;
  }
  publish_active();
  const auto start = timing_.now();
  if (!other_side_active()) return held_ = true;
  while (timing_.now() - start < FOREGROUND_PATIENCE) {
    if (stop) {
      withdraw_active();
      return false;
    }
    pause();
    if (!other_side_active()) return held_ = true;
  }
  log_at(LogLevel::Warning, translation::translate("arbiter_service_not_releasing"));
  return held_ = true;
}

void SyncArbiter::release() {
  if (!held_) return;
  withdraw_active();
  held_ = false;
}

void SyncArbiter::publish_active() {
  const std::string path = lock_path(role_);
  for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
    if (lock_own_file(path)) return;
  }
  descriptor_.reset();
  log_at(LogLevel::Warning, translation::translate("arbiter_lock_file_failed"),
         std::to_wstring(ESTALE));
}

bool SyncArbiter::lock_own_file(const std::string& path) {
  OpenedLockFile opened = open_lock_file(path);
  if (!opened.descriptor.is_open()) {
    log_at(LogLevel::Warning, translation::translate("arbiter_lock_file_failed"),
           std::to_wstring(opened.error));
    return true;
  }
  if (timing_.before_lock) timing_.before_lock(path);
  if (::flock(opened.descriptor.get(), LOCK_EX | LOCK_NB) != 0) {
    log_at(LogLevel::Warning, translation::translate("arbiter_own_lock_taken"));
    descriptor_ = std::move(opened.descriptor);
    return true;
  }
  if (!path_names(path, opened.descriptor.get())) return false;
  descriptor_ = std::move(opened.descriptor);
  keep_fresh();
  return true;
}

// Clean-up jobs remove files in /tmp whose times are old (three days on macOS).
void SyncArbiter::keep_fresh() {
  const auto now = timing_.now();
  if (!descriptor_.is_open() ||
      (freshened_ != Clock::time_point::min() && now - freshened_ < FRESHNESS_INTERVAL)) {
    return;
  }
  if (::futimens(descriptor_.get(), nullptr) == 0) freshened_ = now;
}

void SyncArbiter::withdraw_active() {
  if (!descriptor_.is_open()) return;
  ::flock(descriptor_.get(), LOCK_UN);
  descriptor_.reset();
}

// Only contention counts as activity: a lock that fails for another reason must not keep
// this side waiting for ever.
bool SyncArbiter::other_side_active() const {
  const OpenedLockFile opened = open_lock_file(lock_path(other_role(role_)));
  if (!opened.descriptor.is_open()) return false;
  if (::flock(opened.descriptor.get(), LOCK_EX | LOCK_NB) == 0) {
    ::flock(opened.descriptor.get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

void SyncArbiter::pause() const {
  if (timing_.sleep) {
    timing_.sleep(POLL_INTERVAL);
  } else {
    std::this_thread::sleep_for(POLL_INTERVAL);
  }
}

}  // namespace TWL_Core
