// The safe copy over real files: whatever goes wrong, the destination holds its old content
// or the whole verified new one, and no temporary file stays behind.

#include "sync/safe_copy.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SafeCopyTest : public ::testing::Test {
 protected:
  SafeCopyTest() {
    fs::create_directories(target_dir);
    test::write_file(from, "new content");
    fs::permissions(from, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::last_write_time(from, fs::file_time_type::clock::now() - 48h + 123456789ns);
  }

  SeenDestination seen_now() const {
    if (!fs::exists(to)) return {};
    return {true, fs::file_size(to), fs::last_write_time(to)};
  }

  CopyResult copy(SafeCopyOptions options) {
    SyncReportGuard guard(&report);
    return safe_copy(from, to, options);
  }

  test::LogCapture capture;
  test::TempDir dir;
  const fs::path from = dir / "source" / "file.txt";
  const fs::path target_dir = dir / "target";
  const fs::path to = target_dir / "file.txt";
  SyncReport report;
};

TEST_F(SafeCopyTest, ANewFileGetsTheContentModeAndTimeOfTheSource) {
  ASSERT_EQ(copy({}), CopyResult::Copied);
  EXPECT_EQ(test::read_file(to), "new content");
  EXPECT_EQ(fs::status(to).permissions(), fs::status(from).permissions());
  EXPECT_EQ(fs::last_write_time(to), fs::last_write_time(from));
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
}

TEST_F(SafeCopyTest, AnOldFileIsReplacedAndKeptAsTheNextGenerationWhenAsked) {
  test::write_file(to, "old");
  test::write_file(target_dir / "file.txt.bak.1", "first");
  test::write_file(target_dir / "file.txt.bak.2", "second");
  ASSERT_EQ(copy({seen_now(), true, {}, {}}), CopyResult::Copied);
  EXPECT_EQ(test::read_file(to), "new content");
  EXPECT_EQ(test::read_file(target_dir / "file.txt.bak.3"), "old");
  EXPECT_EQ(test::read_file(target_dir / "file.txt.bak.1"), "first");

  test::write_file(target_dir / "file.txt.bak", "a file of the user's");
  ASSERT_EQ(copy({seen_now(), false, {}, {}}), CopyResult::Copied);
  EXPECT_EQ(test::read_file(target_dir / "file.txt.bak"), "a file of the user's")
      << "no safety copy is made, so the user's own .bak stays";
}

TEST_F(SafeCopyTest, ADestinationChangedSinceTheComparisonIsLeftAlone) {
  test::write_file(to, "old");
  const SeenDestination seen = seen_now();
  test::write_file(to, "saved by the user meanwhile");
  EXPECT_EQ(copy({seen, false, {}, {}}), CopyResult::Failed);
  EXPECT_EQ(test::read_file(to), "saved by the user meanwhile");
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
  EXPECT_EQ(report.errors().size(), 1u);

  fs::remove(to);
  test::write_file(to, "appeared meanwhile");
  EXPECT_EQ(copy({}), CopyResult::Failed) << "the comparison saw no destination";
  EXPECT_EQ(test::read_file(to), "appeared meanwhile");
}

TEST_F(SafeCopyTest, AStopLeavesTheDestinationAsItWas) {
  test::write_file(to, "old");
  EXPECT_EQ(copy({seen_now(), true, [] { return true; }, {}}), CopyResult::Cancelled);
  EXPECT_EQ(test::read_file(to), "old");
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"}) << "no generation either";
  EXPECT_EQ(capture.count_lines("Info\tcopy_cancelled"), 1u);
}

TEST_F(SafeCopyTest, ASourceChangedWhileItIsCopiedFails) {
  test::write_file(from, std::string(3 * 1024 * 1024, 'a'));
  test::write_file(to, "old");
  bool changed = false;
  const auto change_source = [&](std::uint64_t) {
    if (changed) return;
    changed = true;
    std::ofstream(from, std::ios::app) << "appended while copying";
  };
  EXPECT_EQ(copy({seen_now(), false, {}, change_source}), CopyResult::Failed);
  EXPECT_EQ(test::read_file(to), "old");
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
  EXPECT_EQ(capture.count("copy_source_changed"), 1u);
}

TEST_F(SafeCopyTest, LeftoversOfACrashAreRemovedButLookalikesOfTheUserStay) {
  const std::vector<std::string> lookalikes{".file.txt.ternwell-partial-0123",
                                            ".file.txt.ternwell-partial-0123456789ABCDEF",
                                            "file.txt.ternwell-partial-0123456789abcdef",
                                            ".other.txt.ternwell-partial-0123456789abcdef",
                                            "file.txt.partial"};
  for (const auto& name : lookalikes) test::write_file(target_dir / name, "the user's");
  test::write_file(target_dir / ".file.txt.ternwell-partial-0123456789abcdef", "half a copy");
  ASSERT_EQ(copy({}), CopyResult::Copied);
  auto expected = lookalikes;
  expected.push_back("file.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(target_dir), expected);
}

// Between the comparison and the copy the source may vanish or turn into something else.
TEST_F(SafeCopyTest, ASourceThatIsGoneOrNoFileAnyMoreFails) {
  test::write_file(to, "old");
  const auto seen = seen_now();
  const std::function<void()> changes[] = {
      [&] { fs::remove(from); },
      [&] { fs::create_directory(from); },
      [&] { ::mkfifo(from.c_str(), 0600); },
  };
  for (const auto& change : changes) {
    fs::remove_all(from);
    change();
    EXPECT_EQ(copy({seen, true, {}, {}}), CopyResult::Failed);
    EXPECT_EQ(test::read_file(to), "old");
    EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
  }
}

TEST(TemporaryCopyNameTest, RecognisesOnlyTheExactForm) {
  struct Case {
    const char* name;
    bool temporary;
  };
  const Case cases[] = {
      {".a.txt.ternwell-partial-0123456789abcdef", true},
      {"..ternwell-partial-0123456789abcdef", true},
      {".a.txt.ternwell-partial-0123456789abcde", false},
      {".a.txt.ternwell-partial-0123456789abcdeF", false},
      {"a.txt.ternwell-partial-0123456789abcdef", false},
      {".a.txt.ternwell-partial0123456789abcdef", false},
      {"a.txt", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_temporary_copy_name(c.name), c.temporary) << c.name;
}

// A volume that fills up mid-copy: the old destination stays, and nothing is left behind.
TEST_F(SafeCopyTest, AFullVolumeLeavesTheOldDestination) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small volume needs root";
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount table: " << std::strerror(errno);
  }
  ASSERT_EQ(::mount("tmpfs", target_dir.c_str(), "tmpfs", 0, "size=2m"), 0) << std::strerror(errno);
  test::write_file(from, std::string(3 * 1024 * 1024, 'x'));
  test::write_file(to, "old");
  EXPECT_EQ(copy({seen_now(), true, {}, {}}), CopyResult::Failed);
  EXPECT_EQ(test::read_file(to), "old");
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
  EXPECT_EQ(report.errors().size(), 1u);
  ::umount2(target_dir.c_str(), MNT_DETACH);
}

// A destination folder that cannot be written: made read-only by its mode, or for root (whom
// modes do not stop) by a read-only bind mount over it.
TEST_F(SafeCopyTest, AFolderWithoutWritePermissionLeavesTheOldDestination) {
  test::write_file(to, "old");
  if (::geteuid() != 0) {
    fs::permissions(target_dir, fs::perms::owner_read | fs::perms::owner_exec);
  } else {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount table: " << std::strerror(errno);
    }
    ASSERT_EQ(::mount(target_dir.c_str(), target_dir.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(
        ::mount(nullptr, target_dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
  }
  EXPECT_EQ(copy({seen_now(), true, {}, {}}), CopyResult::Failed);
  EXPECT_EQ(test::read_file(to), "old");
  EXPECT_EQ(names_in(target_dir), std::vector<std::string>{"file.txt"});
  EXPECT_EQ(report.errors().size(), 1u);
  if (::geteuid() == 0) ::umount2(target_dir.c_str(), MNT_DETACH);
  fs::permissions(target_dir, fs::perms::owner_all);
}

}  // namespace
}  // namespace TWL_Core
