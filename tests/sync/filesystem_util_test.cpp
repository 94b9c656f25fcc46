#include "sync/filesystem_util.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core::FilesystemUtil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::wstring wide(const fs::path& path) { return util::string_to_wstring(path.string()); }

// Restores HOME as it was when the scope ends.
class SavedHome {
 public:
  SavedHome() {
    if (const char* home = std::getenv("HOME")) home_ = home;
  }
  ~SavedHome() {
    if (home_) {
      ::setenv("HOME", home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  SavedHome(const SavedHome&) = delete;
  SavedHome& operator=(const SavedHome&) = delete;

 private:
  std::optional<std::string> home_;
};

TEST(FilesystemUtilTest, FileExistsFollowsLinksAndCountsErrorsAsMissing) {
  test::TempDir dir;
  test::write_file(dir / "plain", "x");
  test::write_file(dir / "gr\xc3\xbcn.txt", "x");
  fs::create_directory(dir / "folder");
  fs::create_symlink("plain", dir / "link");
  fs::create_symlink("missing", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");

  struct Case {
    const wchar_t* name;
    bool expected;
  };
  const Case cases[] = {
      {L"plain", true},    {L"gr\u00fcn.txt", true}, {L"folder", true}, {L"link", true},
      {L"missing", false}, {L"dangling", false},     {L"loop", false},  {L"plain/below", false},
  };
  const std::wstring base = util::string_to_wstring(dir.path().string()) + L"/";
  for (const auto& c : cases) {
    EXPECT_EQ(file_exists(base + c.name), c.expected) << util::wstring_to_string(c.name);
  }
  EXPECT_FALSE(file_exists(L""));
}

TEST(FilesystemUtilTest, HomeDirIsHomeWheneverItIsSet) {
  const SavedHome saved;
  for (const char* home : {"/home/anna", "", "/Users/J\xc3\xbcrgen Maier"}) {
    ::setenv("HOME", home, 1);
    EXPECT_EQ(home_dir(), home) << "HOME=" << home;
  }
}

TEST(FilesystemUtilTest, HomeDirWithoutHomeIsTheAccountsHomeDirectory) {
  const SavedHome saved;
  ::unsetenv("HOME");
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr) << "this user has no account entry";
  EXPECT_EQ(home_dir(), account->pw_dir);
}

TEST(FilesystemUtilTest, FileinfoGivesSizeAndTimeOrTellsWhyNot) {
  test::TempDir dir;
  test::write_file(dir / "plain", "hello");
  const auto time = fs::file_time_type::clock::now() - 1000h + 123456789ns;
  fs::last_write_time(dir / "plain", time);
  test::write_file(dir / "empty", "");
  fs::create_directory(dir / "folder");
  fs::create_symlink("plain", dir / "link");
  fs::create_symlink("missing", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");

  struct Case {
    const char* name;
    FileInfoResult expected;
    std::uintmax_t size;
  };
  const Case cases[] = {
      {"plain", FileInfoResult::Ok, 5},
      {"link", FileInfoResult::Ok, 5},
      {"empty", FileInfoResult::Ok, 0},
      {"folder", FileInfoResult::ReadError, 0},
      {"loop", FileInfoResult::ReadError, 0},
      {"missing", FileInfoResult::FileNotExist, 0},
      {"dangling", FileInfoResult::FileNotExist, 0},
      {"plain/below", FileInfoResult::FileNotExist, 0},
      {"missing/folder/file", FileInfoResult::FileNotExist, 0},
  };
  for (const auto& c : cases) {
    std::uintmax_t size = 77;
    util::FileTime file_time{};
    EXPECT_EQ(fileinfo(wide(dir / c.name), size, file_time), c.expected) << c.name;
    if (c.expected == FileInfoResult::Ok) {
      EXPECT_EQ(size, c.size) << c.name;
      EXPECT_EQ(file_time, fs::last_write_time(dir / c.name)) << c.name;
    } else {
      EXPECT_EQ(size, 77u) << c.name << ": size changed on failure";
      EXPECT_EQ(file_time, util::FileTime{}) << c.name << ": time changed on failure";
    }
  }
  std::uintmax_t size = 0;
  util::FileTime file_time{};
  ASSERT_EQ(fileinfo(wide(dir / "plain"), size, file_time), FileInfoResult::Ok);
  EXPECT_EQ(file_time, time);
}

TEST(FilesystemUtilTest, ErrorMessagesAreTheTranslatedTexts) {
  test::use_english_catalogue(test::build_locale_dir());
  struct Case {
    FileInfoResult result;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {FileInfoResult::Ok, L""},
      {FileInfoResult::FileNotExist, L"The file does not exist"},
      {FileInfoResult::DriveNotMounted, L"The volume is not mounted"},
      {FileInfoResult::AttributesUnreadable, L"The file attributes cannot be read"},
      {FileInfoResult::TimeInvalid, L"The file time is invalid"},
      {FileInfoResult::ReadError, L"The file information cannot be read"},
      {static_cast<FileInfoResult>(6), L"unknown error"},
      {static_cast<FileInfoResult>(-1), L"unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(make_error_message(c.result), c.expected) << static_cast<int>(c.result);
  }
}

TEST(FilesystemUtilTest, NormalizeResolvesWhatExistsAndKeepsWhatCannotBeResolved) {
  test::TempDir dir;
  const fs::path real = fs::canonical(dir.path());
  fs::create_directory(dir / "folder");
  fs::create_directory_symlink("folder", dir / "link");
  fs::create_symlink("loop", dir / "loop");

  EXPECT_EQ(normalize_best_effort(dir / "link" / "missing" / ".." / "x"), real / "folder" / "x");
  EXPECT_EQ(normalize_best_effort(dir / "link"), real / "folder");
  EXPECT_EQ(normalize_best_effort(dir / "loop" / "x"), dir / "loop" / "x");
  EXPECT_EQ(normalize_best_effort("/"), fs::path("/"));
}

TEST(FilesystemUtilTest, MountRootOfAPathIsTheMountPointOfItsDeepestExistingAncestor) {
  test::TempDir dir;
  const auto root = get_mount_root(dir.path());
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(is_mountpoint(*root), fs::path(*root)) << *root;

  EXPECT_EQ(get_mount_root(dir / "missing" / "deeper" / "file"), root);
  EXPECT_EQ(get_mount_point(dir / "missing"), fs::path(*root));
  EXPECT_EQ(get_mount_root("/"), "/");
  EXPECT_EQ(get_mount_root("/ternwell-no-such-folder/a/b"), "/");
  EXPECT_EQ(get_mount_point(""), fs::path());

  EXPECT_EQ(is_mountpoint("/"), fs::path("/"));
  EXPECT_EQ(is_mountpoint(dir.path()), std::nullopt);
  EXPECT_EQ(is_mountpoint(dir / "missing"), std::nullopt);
}

TEST(FilesystemUtilTest, MountRootOfPathsThatAreMissingOrOddIsThatOfWhatExistsAboveThem) {
  test::TempDir dir;
  const auto root = get_mount_root(dir.path());
  ASSERT_TRUE(root.has_value());
  test::write_file(dir / "file", "x");
  fs::create_symlink("nowhere", dir / "dangling");
  fs::create_symlink(dir / "file", dir / "link");
  const struct {
    fs::path path;
    std::optional<std::string> expected;
  } cases[] = {
      {dir / "file", root},
      {dir / "file" / "below a file", root},
      {dir / "dangling", root},
      {dir / "dangling" / "x", root},
      {dir / "link", root},
      {dir / "a" / ".." / ".." / "b", root},
      {dir / "vanished" / "a" / "b" / "c", root},
      {"/", "/"},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(get_mount_root(c.path), c.expected) << c.path;
}

// The folders of a path come and go while its mount root is asked for again and again.
TEST(FilesystemUtilTest, MountRootOfAPathThatVanishesWhileItIsExaminedIsStillFound) {
  test::TempDir dir;
  const auto root = get_mount_root(dir.path());
  ASSERT_TRUE(root.has_value());
  const fs::path deep = dir / "a" / "b" / "c" / "d";
  std::atomic<bool> done{false};
  std::thread churn([&] {
    std::error_code ignored;
    while (!done) {
      fs::create_directories(deep, ignored);
      fs::remove_all(dir / "a", ignored);
    }
  });
  std::size_t wrong = 0;
  for (int i = 0; i < 3000; ++i) wrong += get_mount_root(deep / "file") != root;
  done = true;
  churn.join();
  EXPECT_EQ(wrong, 0u);
}

TEST(FilesystemUtilTest, TouchSetsTheTimeToNowOrLogsWhyNot) {
  test::TempDir dir;
  test::write_file(dir / "file", "x");
  fs::last_write_time(dir / "file", fs::file_time_type::clock::now() - 1000h);

  const auto before = fs::file_time_type::clock::now();
  EXPECT_TRUE(touch(dir / "file"));
  const auto touched = fs::last_write_time(dir / "file");
  EXPECT_GE(touched, before - 1s);
  EXPECT_LE(touched, fs::file_time_type::clock::now() + 1s);

  const test::LogCapture capture;
  EXPECT_FALSE(touch(dir / "missing"));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" Error\tError in function touch: "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find((dir / "missing").string()), std::string::npos) << lines[0];
}

TEST(FilesystemUtilTest, FstabKeepsLinesWithAllSixFields) {
  test::TempDir dir;
  test::write_file(dir / "fstab",
                   "# <file system> <mount point> <type> <options> <dump> <pass>\n"
                   "\n"
                   "   \t\n"
                   "UUID=1234-abcd / ext4 errors=remount-ro 0 1\n"
                   "  # indented comment\n"
                   "/dev/sdb1\t/media/Backup\\040Disk  vfat\tuid=1000,gid=1000 0\t2\n"
                   "tmpfs /tmp tmpfs defaults 0\n"
                   "proc /proc proc defaults zero 0\n"
                   "server:/export /mnt/nfs nfs rw 1 2 trailing\n"
                   "last /mnt/last ext4 defaults 0 0");
  const std::vector<FstabEntry> expected{
      {"UUID=1234-abcd", "/", "ext4", "errors=remount-ro", 0, 1},
      {"/dev/sdb1", "/media/Backup Disk", "vfat", "uid=1000,gid=1000", 0, 2},
      {"server:/export", "/mnt/nfs", "nfs", "rw", 1, 2},
      {"last", "/mnt/last", "ext4", "defaults", 0, 0},
  };
  EXPECT_EQ(parse_fstab(dir / "fstab"), expected);
  EXPECT_TRUE(parse_fstab(dir / "missing").empty());
}

}  // namespace
}  // namespace TWL_Core::FilesystemUtil
