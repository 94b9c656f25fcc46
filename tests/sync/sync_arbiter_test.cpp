// The arbiter with real lock files in a private folder and a second real process (flock(1))
// holding the other role's lock. Waiting is driven by a fake clock whose sleeps advance it.

#include "sync/sync_arbiter.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "logging/logging.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/lock_holder.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::hold_lock;
using test::locked_by_someone;

unsigned mode_of(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool use_private_lock_folder(const fs::path& folder) {
  ::setenv("TMPDIR", folder.c_str(), 1);
  SyncArbiter::use_private_scope();
  return true;
}

class SyncArbiterTest : public ::testing::Test {
 protected:
  // Fake time that moves only when the arbiter sleeps; `on_sleep` sees the sleeps so far.
  SyncArbiter::Timing fake_timing(std::function<void(int)> on_sleep = {}) {
    return {[this] { return fake_now; },
            [this, on_sleep](std::chrono::milliseconds pause) {
              fake_now += pause;
              ++sleeps;
              if (on_sleep) on_sleep(sleeps);
            },
            {}};
  }

  test::LogCapture capture;  // before the lock folder, which TempDir places below TMPDIR
  test::TempDir locks;
  const bool private_scope = use_private_lock_folder(locks.path());
  const std::string background = SyncArbiter::lock_path(SyncRole::Background);
  const std::string foreground = SyncArbiter::lock_path(SyncRole::Foreground);
  SyncArbiter::Clock::time_point fake_now{};
  int sleeps = 0;
  std::atomic<bool> stop{false};
};

TEST_F(SyncArbiterTest, LockPathsCarryUserAndRole) {
  const std::string uid = std::to_string(::getuid());
  EXPECT_EQ(background, (locks / ("ternwell-" + uid + "-test-background.lock")).string());
  EXPECT_EQ(foreground, (locks / ("ternwell-" + uid + "-test-foreground.lock")).string());
}

TEST_F(SyncArbiterTest, BackgroundAloneAcquiresAtOnceAndReleasesBetweenPasses) {
  SyncArbiter arbiter(SyncRole::Background, fake_timing());
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_TRUE(locked_by_someone(background));
  EXPECT_FALSE(locked_by_someone(foreground));
  EXPECT_EQ(mode_of(background), 0600u);
  EXPECT_EQ(mode_of(foreground), 0600u);
  arbiter.release();
  EXPECT_FALSE(locked_by_someone(background));
  EXPECT_EQ(sleeps, 0);
  EXPECT_TRUE(capture.lines().empty());
}

// Clean-up jobs in /tmp remove files whose times are days old; a lock file in use never is.
TEST_F(SyncArbiterTest, OwnLockFileTimesAreRenewedHourlyWhileInUse) {
  const auto age = [&] {
    return fs::file_time_type::clock::now() - fs::last_write_time(foreground);
  };
  const auto make_old = [&] {
    fs::last_write_time(foreground, fs::last_write_time(foreground) - 96h);
  };
  SyncArbiter arbiter(SyncRole::Foreground, fake_timing());
  test::write_file(foreground, "");
  fs::permissions(foreground, fs::perms::owner_read | fs::perms::owner_write);
  make_old();
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_LT(age(), 1h) << "renewed when taken";

  make_old();
  fake_now += 59min;
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_GT(age(), 95h) << "not renewed within the hour";
  fake_now += 1min;
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_LT(age(), 1h) << "renewed once the hour has passed, while still held";
}

TEST_F(SyncArbiterTest, LockFileReplacedBeforeItIsLockedIsLockedAnew) {
  auto timing = fake_timing();
  int replaced = 0;
  timing.before_lock = [&](const std::string& path) {
    if (replaced++ > 0) return;
    fs::remove(path);  // as a clean-up of /tmp would, just before our lock
  };
  SyncArbiter arbiter(SyncRole::Background, timing);
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_EQ(replaced, 2) << "opened a second time";
  EXPECT_TRUE(locked_by_someone(background)) << "the file the path names now is the locked one";
}

TEST_F(SyncArbiterTest, BackgroundWaitsSilentlyWhileForegroundIsActive) {
  auto holder = hold_lock(foreground);
  SyncArbiter arbiter(SyncRole::Background, fake_timing([this](int n) {
                        if (n == 5) stop = true;
                      }));
  EXPECT_FALSE(arbiter.acquire(stop));
  EXPECT_EQ(sleeps, 5);
  EXPECT_FALSE(locked_by_someone(background)) << "stepped back for the foreground";
  EXPECT_TRUE(capture.lines().empty());

  holder.reset();
  stop = false;
  EXPECT_TRUE(arbiter.acquire(stop));
}

TEST_F(SyncArbiterTest, ForegroundWaitsForARunningBackgroundPass) {
  auto holder = hold_lock(background);
  SyncArbiter arbiter(SyncRole::Foreground, fake_timing([&](int n) {
                        if (n == 25) holder.reset();
                      }));
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_EQ(sleeps, 25) << "about five seconds of polling";
  EXPECT_TRUE(locked_by_someone(foreground));
  EXPECT_EQ(capture.count("arbiter_service_not_releasing"), 0u);
}

TEST_F(SyncArbiterTest, ForegroundRunsAfterSixtySecondsWithAWarning) {
  auto holder = hold_lock(background);
  SyncArbiter arbiter(SyncRole::Foreground, fake_timing());
  ASSERT_TRUE(arbiter.acquire(stop));
  EXPECT_EQ(fake_now - SyncArbiter::Clock::time_point{}, 60s);
  EXPECT_EQ(capture.count_lines("Warning\tarbiter_service_not_releasing"), 1u);
}

TEST_F(SyncArbiterTest, StopWhileForegroundWaitsUnlocksItsFile) {
  auto holder = hold_lock(background);
  SyncArbiter arbiter(SyncRole::Foreground, fake_timing([this](int n) {
                        if (n == 3) stop = true;
                      }));
  EXPECT_FALSE(arbiter.acquire(stop));
  EXPECT_FALSE(locked_by_someone(foreground));
  EXPECT_FALSE(arbiter.held());
}

TEST_F(SyncArbiterTest, SecondProcessOfTheSameRoleWarnsAndStillRuns) {
  auto holder = hold_lock(background);
  SyncArbiter arbiter(SyncRole::Background, fake_timing());
  EXPECT_TRUE(arbiter.acquire(stop));
  EXPECT_EQ(capture.count_lines("Warning\tarbiter_own_lock_taken"), 1u);
}

// Files that another local user could have planted are never used; each gives one Error line
// naming the file, and a held lock on such a file does not hold this side back.
TEST_F(SyncArbiterTest, UnsafeLockFilesAreRefused) {
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const fs::path elsewhere = locks / "chosen-by-someone-else";
  const std::vector<Case> cases = {
      {"symbolic link",
       [&] {
         test::write_file(elsewhere, "");
         fs::create_symlink(elsewhere, foreground);
       }},
      {"writable by others",
       [&] {
         test::write_file(foreground, "");
         ::chmod(foreground.c_str(), 0666);
       }},
      {"owned by another user",
       [&] {
         test::write_file(foreground, "");
         if (::geteuid() == 0) (void)::chown(foreground.c_str(), 65534, 65534);
       }},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "owned by another user" && ::geteuid() != 0) continue;
    fs::remove(foreground);
    fs::remove(elsewhere);
    c.plant();
    auto holder = hold_lock(foreground);
    Logging::instance().erase_file();
    SyncArbiter arbiter(SyncRole::Background, fake_timing());
    EXPECT_TRUE(arbiter.acquire(stop)) << c.name;
    EXPECT_EQ(sleeps, 0) << c.name;
    EXPECT_EQ(capture.count_lines("Error\tarbiter_lock_file_unsafe " + foreground), 1u) << c.name;
  }
}

TEST_F(SyncArbiterTest, OwnUnsafeFileRunsWithoutAnnouncing) {
  const fs::path elsewhere = locks / "target-of-the-link";
  fs::create_symlink(elsewhere, background);
  SyncArbiter arbiter(SyncRole::Background, fake_timing());
  EXPECT_TRUE(arbiter.acquire(stop));
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_EQ(capture.count_lines("Error\tarbiter_lock_file_unsafe " + background), 1u);
  EXPECT_EQ(capture.count_lines("Warning\tarbiter_lock_file_failed " + std::to_string(ELOOP)), 1u);
}

TEST_F(SyncArbiterTest, MissingLockFolderLetsTheDaemonRun) {
  fs::remove_all(locks.path());
  SyncArbiter arbiter(SyncRole::Background, fake_timing());
  EXPECT_TRUE(arbiter.acquire(stop));
  EXPECT_EQ(capture.count_lines("Warning\tarbiter_lock_file_failed " + std::to_string(ENOENT)), 1u);
}

}  // namespace
}  // namespace TWL_Core
