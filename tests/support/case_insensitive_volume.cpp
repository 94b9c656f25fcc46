#include "tests/support/case_insensitive_volume.hpp"

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "foundation/platform.hpp"

namespace TWL_Core::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto MOUNT_WAIT = 10s;
constexpr auto EXIT_WAIT = 10s;

const std::vector<std::string>& child_environment() {
  static const std::vector<std::string> environment{
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C.UTF-8"};
  return environment;
}

fs::path script() { return fs::path(TERNWELL_SOURCE_DIR) / "tests/support/case_insensitive_fs.py"; }

// Runs `program` to its end; its exit code, or nothing if it cannot start or does not end.
std::optional<int> run(const fs::path& program, const std::vector<std::string>& args) {
  try {
    ChildProcess child(program, args, child_environment());
    return child.wait_for_exit(EXIT_WAIT);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// `name` in the folders of PATH, after the system's own folders.
std::vector<fs::path> candidates(const std::string& name) {
  std::vector<fs::path> found;
  std::istringstream folders(std::string("/usr/bin:/bin:") +
                             (std::getenv("PATH") ? std::getenv("PATH") : ""));
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path program = fs::path(folder) / name;
    if (!folder.empty() && ::access(program.c_str(), X_OK) == 0) found.push_back(program);
  }
  return found;
}

// The first Python interpreter that can run the file system: the distribution's own, where
// the FUSE module is packaged, usually comes first.
const std::optional<fs::path>& python_with_fuse() {
  static const std::optional<fs::path> python = []() -> std::optional<fs::path> {
    for (const auto& candidate : candidates("python3")) {
      if (run(candidate, {script().string(), "--check"}) == 0) return candidate;
    }
    return std::nullopt;
  }();
  return python;
}

std::optional<fs::path> fusermount() {
  const auto found = candidates("fusermount3");
  if (found.empty()) return std::nullopt;
  return found.front();
}

}  // namespace

CaseInsensitiveVolume::CaseInsensitiveVolume(const fs::path& backing, const fs::path& mount_point)
    : mount_point_(fs::canonical(mount_point)) {
  if (!unavailable_reason().empty()) return;
  file_system_.emplace(*python_with_fuse(),
                       std::vector<std::string>{script().string(), fs::canonical(backing).string(),
                                                mount_point_.string()},
                       child_environment());
  (void)wait_until([this] { return listed_as_fuse() || file_system_->wait_for_exit(0ms); },
                   MOUNT_WAIT);
  mounted_ = listed_as_fuse();
}

CaseInsensitiveVolume::~CaseInsensitiveVolume() {
  if (!file_system_) return;
  // Cleanly unmounted, the file system ends by itself; detached or never mounted, on SIGTERM.
  if (!unmount() && !file_system_->wait_for_exit(0ms)) file_system_->send(SIGTERM);
  (void)file_system_->wait_for_exit(EXIT_WAIT);
  file_system_.reset();  // kills it if it still runs
  // A file system killed before it unmounted leaves a mount that answers nothing.
  if (listed_as_fuse()) ::umount2(mount_point_.c_str(), MNT_DETACH);
}

bool CaseInsensitiveVolume::unmount() const {
  if (!listed_as_fuse()) return false;
  const auto program = fusermount();
  if (program && run(*program, {"-u", mount_point_.string()}) == 0) return true;
  // Busy (a file on it still open): detached from the tree instead.
  ::umount2(mount_point_.c_str(), MNT_DETACH);
  return false;
}

bool CaseInsensitiveVolume::listed_as_fuse() const {
  const auto table = platform::mount_table();
  if (!table) return false;
  for (const auto& mount : *table) {
    if (mount.mount_point == mount_point_.string() &&
        (mount.fs_type == "fuse" || mount.fs_type.rfind("fuse.", 0) == 0)) {
      return true;
    }
  }
  return false;
}

std::string CaseInsensitiveVolume::unavailable_reason() {
  if (::geteuid() != 0) return "mounting a FUSE file system needs root";
  if (!fs::exists("/dev/fuse")) return "no /dev/fuse on this system";
  if (!fusermount()) return "no fusermount3 (Debian package fuse3)";
  if (!python_with_fuse()) {
    return "no python3 that can import fusepy and load libfuse (Debian package python3-fusepy)";
  }
  return {};
}

}  // namespace TWL_Core::test
