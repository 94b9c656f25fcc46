#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/file_descriptor.hpp"
#include "foundation/platform.hpp"
#include "tests/support/case_insensitive_volume.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A folder to ask about, and what it holds. The folder asked about is the root itself or one
// of the root's entries; an entry ending in '/' is a folder.
struct FolderCase {
  const char* what;
  std::vector<std::string> entries;
  std::string asked;
};

const std::vector<FolderCase> FOLDER_CASES{
    {"an empty root", {}, ""},
    {"a root holding a file", {"Report.txt"}, ""},
    {"a root holding only names without letters", {"2024/"}, ""},
    {"an empty subfolder", {"Sub/"}, "Sub"},
    {"an empty subfolder whose name has no letters", {"2024/"}, "2024"},
};

void create_entries(const fs::path& root, const std::vector<std::string>& entries) {
  for (const auto& entry : entries) {
    if (entry.back() == '/') {
      fs::create_directory(root / entry);
    } else {
      test::write_file(root / entry, "content");
    }
  }
}

// Mounts the view of `dir`/backing on `dir`/Volume into `volume`; false after a failure.
bool mount(std::optional<test::CaseInsensitiveVolume>& volume, const test::TempDir& dir) {
  fs::create_directory(dir / "backing");
  fs::create_directory(dir / "Volume");
  volume.emplace(dir / "backing", dir / "Volume");
  if (volume->mounted()) return true;
  ADD_FAILURE() << "the case-insensitive volume did not mount";
  volume.reset();
  return false;
}

// Asks about each case's folder below a fresh root, an ordinary folder or a case-insensitive
// volume, and checks that asking leaves both the root and the folder as they were.
void expect_names_ignore_case(bool on_volume) {
  for (const auto& c : FOLDER_CASES) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::optional<test::CaseInsensitiveVolume> volume;
    if (on_volume && !mount(volume, dir)) return;
    const fs::path root = on_volume ? volume->path() : dir.path();
    create_entries(root, c.entries);
    const fs::path asked = c.asked.empty() ? root : root / c.asked;
    const auto root_before = listing(root);
    const auto asked_before = listing(asked);
    EXPECT_EQ(platform::names_ignore_case(asked), on_volume);
    EXPECT_EQ(listing(root), root_before);
    EXPECT_EQ(listing(asked), asked_before);
  }
}

TEST(NamesIgnoreCase, FalseForAnOrdinaryFolder) { expect_names_ignore_case(false); }

class CaseInsensitiveVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto reason = test::CaseInsensitiveVolume::unavailable_reason();
    if (!reason.empty()) GTEST_SKIP() << "no case-insensitive volume: " << reason;
  }
};

TEST_F(CaseInsensitiveVolumeTest, NamesIgnoreCaseOnTheVolume) { expect_names_ignore_case(true); }

TEST_F(CaseInsensitiveVolumeTest, KeepsTheSpellingAndFindsNamesInAnyCase) {
  test::TempDir dir;
  std::optional<test::CaseInsensitiveVolume> volume;
  ASSERT_TRUE(mount(volume, dir));
  const fs::path root = volume->path();

  test::write_file(root / "Report.txt", "first");
  EXPECT_EQ(test::read_file(root / "REPORT.TXT"), "first");
  EXPECT_TRUE(fs::equivalent(root / "report.txt", root / "REPORT.TXT"));
  EXPECT_EQ(listing(root), std::set<std::string>{"Report.txt"});
  EXPECT_EQ(listing(dir / "backing"), std::set<std::string>{"Report.txt"});

  // A temporary file renamed over the file in other case replaces it and brings its spelling.
  test::write_file(root / "x.tmp", "second");
  fs::rename(root / "x.tmp", root / "report.txt");
  EXPECT_EQ(test::read_file(root / "Report.txt"), "second");
  EXPECT_EQ(listing(root), std::set<std::string>{"report.txt"});

  // A rename that changes only the case respells the file.
  fs::rename(root / "report.txt", root / "REPORT.txt");
  EXPECT_EQ(listing(root), std::set<std::string>{"REPORT.txt"});

  fs::create_hard_link(root / "report.TXT", root / "Copy.txt");
  EXPECT_EQ(fs::hard_link_count(root / "COPY.TXT"), 2U);

  // The modification time alone, to the nanosecond.
  const auto time =
      std::chrono::file_clock::from_sys(std::chrono::sys_seconds(1709647387s)) + 123456789ns;
  fs::last_write_time(root / "copy.txt", time);
  EXPECT_EQ(fs::last_write_time(root / "Copy.txt"), time);
}

TEST_F(CaseInsensitiveVolumeTest, LeavesNoMountBehind) {
  test::TempDir dir;
  std::optional<test::CaseInsensitiveVolume> volume;
  ASSERT_TRUE(mount(volume, dir));
  const std::string mount_point = volume->path().string();
  const FileDescriptor open_file(
      ::open((mount_point + "/Busy.txt").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
  ASSERT_TRUE(open_file.is_open());
  volume.reset();  // unmounts even while a file on it is open
  const auto table = platform::mount_table();
  ASSERT_TRUE(table);
  for (const auto& mount : *table) EXPECT_NE(mount.mount_point, mount_point);
}

}  // namespace
}  // namespace TWL_Core
