#include "sync/mounted_drives.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/text.hpp"
#include "sync/filesystem_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using FilesystemUtil::FileInfoResult;

std::wstring wide(const fs::path& path) { return util::string_to_wstring(path.string()); }

FileInfoResult fileinfo_of(const fs::path& path) {
  std::uintmax_t size = 0;
  util::FileTime time{};
  return FilesystemUtil::fileinfo(wide(path), size, time);
}

// A system clock that moves only when told.
class FakeSystemClock {
 public:
  using time_point = std::chrono::system_clock::time_point;

  void advance(std::chrono::system_clock::duration by) { *now_ += by; }
  auto reader() const {
    return [now = now_] { return *now; };
  }

 private:
  std::shared_ptr<time_point> now_ =
      std::make_shared<time_point>(std::chrono::sys_days{std::chrono::year{2024} / 3 / 1});
};

// Creates the missing folders of a path and removes exactly those again (deepest first, each
// only if empty) when the scope ends.
class CreatedFolders {
 public:
  explicit CreatedFolders(const fs::path& path) {
    for (fs::path folder = path; !fs::exists(folder); folder = folder.parent_path()) {
      created_.push_back(folder);
    }
    fs::create_directories(path);
  }
  ~CreatedFolders() {
    std::error_code ignored;
    for (const auto& folder : created_) fs::remove(folder, ignored);
  }
  CreatedFolders(const CreatedFolders&) = delete;
  CreatedFolders& operator=(const CreatedFolders&) = delete;

 private:
  std::vector<fs::path> created_;  // deepest first
};

// A small tmpfs on an existing folder, standing in for an external volume; unmounted when the
// scope ends unless that happened before.
class TmpfsVolume {
 public:
  TmpfsVolume(const fs::path& at, const std::string& device) : at_(at) {
    if (::mount(device.c_str(), at.c_str(), "tmpfs", 0, "size=1m") != 0) {
      error_ = "mount tmpfs on " + at.string() + ": " + std::strerror(errno);
    }
  }
  ~TmpfsVolume() { unmount(); }
  TmpfsVolume(const TmpfsVolume&) = delete;
  TmpfsVolume& operator=(const TmpfsVolume&) = delete;

  // Empty if the volume was mounted.
  const std::string& error() const { return error_; }
  void unmount() {
    if (error_.empty() && !unmounted_) unmounted_ = ::umount2(at_.c_str(), MNT_DETACH) == 0;
  }

 private:
  fs::path at_;
  std::string error_;
  bool unmounted_ = false;
};

// Tests that mount file systems need root and a mount table of their own: whatever they mount
// is seen by nobody else and vanishes with the test's process.
class MountedDrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a test volume needs root";
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount table: " << std::strerror(errno);
    }
    MountedDrives::instance().set_clock(clock_.reader());
  }

  // The next question finds the copy of the mount table too old and reads it again.
  void let_cache_expire() { clock_.advance(MountedDrives::CACHE_TIME + 1s); }

  FakeSystemClock clock_;
  const std::string tag_ = "ternwell-test-" + std::to_string(::getpid());
};

TEST(VolumeFolderTest, UsualMountPlacesNameTheFolderOfTheVolume) {
  struct Case {
    const char* path;
    std::optional<fs::path> expected;
  };
  const Case cases[] = {
      {"/Volumes/Ext/a/b", "/Volumes/Ext"},
      {"/Volumes/Ext", "/Volumes/Ext"},
      {"/Volumes/My Disk/", "/Volumes/My Disk"},
      {"/media/Stick/x", "/media/Stick"},
      {"/media/anna/Stick/x", "/media/anna"},
      {"/run/media/anna/Stick/x", "/run/media/anna/Stick"},
      {"/mnt/data/x", "/mnt/data"},
      {"/mnt/./data/../backup/x", "/mnt/backup"},
      {"/Volumes", std::nullopt},
      {"/Volumes/", std::nullopt},
      {"/run/media/anna", std::nullopt},
      {"/run/user/0/x", std::nullopt},
      {"/Volumes/../Users/x", std::nullopt},
      {"/Users/anna/Volumes/Ext", std::nullopt},
      {"/home/anna/mnt/data", std::nullopt},
      {"Volumes/Ext/x", std::nullopt},
      {"/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(volume_folder(c.path), c.expected) << c.path;
}

TEST_F(MountedDrivesTest, VolumeInAMountPlaceCountsOnlyWhileMountedOnItsFolder) {
  // Where the volume is mounted, and the folder that holds it (created by the test).
  struct Layout {
    fs::path mount_point;
    fs::path created;
  };
  const Layout layouts[] = {
      {fs::path("/mnt") / tag_, fs::path("/mnt") / tag_},
      {fs::path("/media") / tag_, fs::path("/media") / tag_},
      {fs::path("/media") / tag_ / "Stick", fs::path("/media") / tag_},
      {fs::path("/run/media") / tag_ / "Stick", fs::path("/run/media") / tag_},
  };
  auto& drives = MountedDrives::instance();
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.mount_point.string());
    let_cache_expire();
    const CreatedFolders folders(layout.mount_point);
    const auto outside_root = FilesystemUtil::get_mount_root(layout.mount_point);
    const fs::path file = layout.mount_point / "data" / "file.txt";
    const fs::path missing = layout.mount_point / "data" / "missing.txt";
    TmpfsVolume volume(layout.mount_point, tag_);
    ASSERT_EQ(volume.error(), "");
    test::write_file(file, "hello");

    EXPECT_TRUE(drives.drive_mounted(file, L""));
    EXPECT_TRUE(drives.drive_mounted(missing, L""));
    EXPECT_EQ(FilesystemUtil::get_mount_root(missing.parent_path() / "deeper" / "x"),
              layout.mount_point.string());
    EXPECT_EQ(FilesystemUtil::is_mountpoint(layout.mount_point), layout.mount_point);
    EXPECT_EQ(fileinfo_of(file), FileInfoResult::Ok);
    EXPECT_EQ(fileinfo_of(missing), FileInfoResult::FileNotExist);

    volume.unmount();
    // No waiting for the cached mount table: the empty folder gives the volume away.
    EXPECT_FALSE(drives.drive_mounted(file, L""));
    EXPECT_EQ(FilesystemUtil::get_mount_root(file), outside_root);
    EXPECT_EQ(FilesystemUtil::is_mountpoint(layout.mount_point), std::nullopt);
    EXPECT_EQ(fileinfo_of(file), FileInfoResult::DriveNotMounted);
    EXPECT_EQ(fileinfo_of(layout.mount_point / "other"), FileInfoResult::DriveNotMounted);

    fs::remove(layout.mount_point);
    EXPECT_FALSE(drives.drive_mounted(file, L""));
    EXPECT_EQ(fileinfo_of(file), FileInfoResult::DriveNotMounted);
  }
  for (const auto& layout : layouts) EXPECT_FALSE(fs::exists(layout.created)) << layout.created;
}

// A bind mount of a folder that lies on the same device as its new parent.
class BindMount {
 public:
  BindMount(const fs::path& from, const fs::path& at) : at_(at) {
    if (::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error_ = "bind " + from.string() + " on " + at.string() + ": " + std::strerror(errno);
    }
  }
  ~BindMount() {
    if (error_.empty()) ::umount2(at_.c_str(), MNT_DETACH);
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;

  const std::string& error() const { return error_; }

 private:
  fs::path at_;
  std::string error_;
};

TEST_F(MountedDrivesTest, MountRootIsTheMountPointTheSystemNamesAlsoWhereTheDeviceStaysTheSame) {
  test::TempDir dir;
  const auto outside_root = FilesystemUtil::get_mount_root(dir.path());
  ASSERT_TRUE(outside_root.has_value());
  for (const char* name : {"source/sub", "bound", "volume", "sub_of_volume", "stacked"}) {
    fs::create_directories(dir / name);
  }
  test::write_file(dir / "source" / "sub" / "file.txt", "x");
  // Same device as the folder it is mounted in: a walk up the folders cannot see these.
  const BindMount bound(dir / "source", dir / "bound");
  ASSERT_EQ(bound.error(), "");
  TmpfsVolume volume(dir / "volume", tag_ + "-volume");
  ASSERT_EQ(volume.error(), "");
  fs::create_directories(dir / "volume" / "sub" / "deeper");
  const BindMount sub_of_volume(dir / "volume" / "sub", dir / "sub_of_volume");
  ASSERT_EQ(sub_of_volume.error(), "");
  TmpfsVolume lower(dir / "stacked", tag_ + "-lower");
  TmpfsVolume upper(dir / "stacked", tag_ + "-upper");
  ASSERT_EQ(upper.error(), "");

  const struct {
    fs::path path;
    fs::path expected;
  } cases[] = {
      {dir / "bound" / "sub" / "file.txt", dir / "bound"},
      {dir / "bound" / "sub" / "missing" / "x", dir / "bound"},
      {dir / "bound", dir / "bound"},
      {dir / "source" / "sub" / "file.txt", *outside_root},
      {dir / "volume" / "sub" / "x", dir / "volume"},
      {dir / "sub_of_volume" / "deeper" / "x", dir / "sub_of_volume"},
      {dir / "stacked" / "x", dir / "stacked"},
  };
  auto& drives = MountedDrives::instance();
  let_cache_expire();
  for (const auto& c : cases) {
    EXPECT_EQ(FilesystemUtil::get_mount_root(c.path), c.expected.string()) << c.path;
    EXPECT_TRUE(drives.drive_mounted(c.path, L"")) << c.path;
  }
  EXPECT_EQ(FilesystemUtil::is_mountpoint(dir / "bound"), dir / "bound");
  EXPECT_EQ(FilesystemUtil::is_mountpoint(dir / "source"), std::nullopt);
}

TEST_F(MountedDrivesTest, FolderBoundIntoAMountPlaceCountsAsMounted) {
  test::TempDir dir;
  const fs::path place = fs::path("/mnt") / tag_;
  const CreatedFolders folders(place);
  test::write_file(dir / "file.txt", "x");
  {
    const BindMount bound(dir.path(), place);
    ASSERT_EQ(bound.error(), "");
    let_cache_expire();
    EXPECT_TRUE(MountedDrives::instance().drive_mounted(place / "file.txt", L""));
    EXPECT_EQ(fileinfo_of(place / "missing.txt"), FileInfoResult::FileNotExist);
  }
  EXPECT_EQ(fileinfo_of(place / "missing.txt"), FileInfoResult::DriveNotMounted);
}

TEST_F(MountedDrivesTest, MountTableIsReadAgainOnlyAfterTenSeconds) {
  test::TempDir dir;
  const CreatedFolders first_folder(dir / "first");
  const CreatedFolders second_folder(dir / "second");
  auto& drives = MountedDrives::instance();
  EXPECT_TRUE(drives.time_elapsed()) << "nothing read yet";

  TmpfsVolume first(dir / "first", tag_ + "-first");
  ASSERT_EQ(first.error(), "");
  EXPECT_TRUE(drives.drive_mounted(dir / "first" / "x", L""));
  EXPECT_FALSE(drives.time_elapsed());
  EXPECT_TRUE(drives.mount_point_exist(tag_ + "-first"));

  TmpfsVolume second(dir / "second", tag_ + "-second");
  ASSERT_EQ(second.error(), "");
  clock_.advance(MountedDrives::CACHE_TIME);
  EXPECT_FALSE(drives.time_elapsed());
  EXPECT_FALSE(drives.drive_mounted(dir / "second" / "x", L"")) << "answered from the old table";
  EXPECT_FALSE(drives.check(dir / "second" / "x"));
  EXPECT_FALSE(drives.mount_point_exist(tag_ + "-second"));

  clock_.advance(1us);
  EXPECT_TRUE(drives.time_elapsed());
  EXPECT_TRUE(drives.drive_mounted(dir / "second" / "x", L""));
  EXPECT_TRUE(drives.mount_point_exist(tag_ + "-second"));
  EXPECT_TRUE(drives.check(dir / "second" / "x"));
  EXPECT_FALSE(drives.mount_point_exist((dir / "second").string())) << "names devices only";

  EXPECT_TRUE(drives.refresh((dir / "first").string(), L""));
  EXPECT_FALSE(drives.refresh(dir.path().string(), L"")) << "a plain folder";
  EXPECT_FALSE(drives.refresh((dir / "first" / "").string(), L"")) << "compared byte for byte";
}

}  // namespace
}  // namespace TWL_Core
