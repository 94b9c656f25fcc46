// Trees between a volume that tells names apart by case and one that does not (as the Mac's
// default volumes), on a real case-insensitive volume: no file handled in a pass is deleted or
// overwritten by the same pass through a name in other case.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_report.hpp"
#include "sync/sync_tree.hpp"
#include "tests/support/case_insensitive_volume.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

using test::describe_tree;
using test::make_tree;

class SyncTreeCaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = test::CaseInsensitiveVolume::unavailable_reason();
        !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    fs::create_directories(dir / "backing");
    fs::create_directories(dir / "Volume");
    fs::create_directories(dir / "disk");
    volume.emplace(dir / "backing", dir / "Volume");
    ASSERT_TRUE(volume->mounted());
    RecycleBin::instance().bin_path(dir / "bin");
    Config::instance().settings.DeleteMode = DeleteMode::RecycleBin;
    flags.enabled = true;
    flags.syncDeletions = true;
  }
  void TearDown() override {
    volume.reset();
    Config::unload();
  }

  void run(const fs::path& source, const fs::path& target) {
    CompareItems compare;
    compare.criteria = {CompareItem::Size, CompareItem::Time};
    const SyncItem item(L"case", SyncItemType::Tree, util::from_path(source),
                        util::from_path(target), L"*", {}, flags, compare);
    SyncReportGuard guard(&report);
    SyncTree sync(item, files, false);
    sync();
  }

  static void make_older(const fs::path& path) {
    fs::last_write_time(path, fs::last_write_time(path) - 1h);
  }

  test::LogCapture capture;
  test::TempDir dir;
  std::optional<test::CaseInsensitiveVolume> volume;
  const fs::path disk = dir / "disk";
  SyncFlags flags;
  std::atomic<std::size_t> files{0};
  SyncReport report;
};

// Without matching names as the target does, the pass would find "report.txt" equal to the
// source's "Report.txt" (the target volume opens one for the other) and then move it into the
// bin as a file without a source; the next pass would copy it anew, and so on for ever.
TEST_F(SyncTreeCaseTest, AFileHandledThroughANameInOtherCaseIsNotDeletedAfterwards) {
  make_tree(disk, "docs/Report.txt=same\ndocs/Notes.txt=new\n");
  make_tree(volume->path(), "docs/report.txt=same\ndocs/notes.txt=old\n");
  fs::last_write_time(volume->path() / "docs/report.txt",
                      fs::last_write_time(disk / "docs/Report.txt"));
  make_older(volume->path() / "docs/notes.txt");
  for (int pass = 0; pass < 3; ++pass) run(disk, volume->path());
  EXPECT_EQ(test::read_file(volume->path() / "docs/report.txt"), "same");
  EXPECT_EQ(test::read_file(volume->path() / "docs/notes.txt"), "new");
  EXPECT_EQ(describe_tree(dir / "bin"), "");
  EXPECT_EQ(files, 1u) << "one copy, in the first pass";
  EXPECT_TRUE(report.errors().empty());
}

// "Makefile" and "makefile" would become one file on the target: neither is synchronised, and
// with two-way the target can never be copied back over one of them.
TEST_F(SyncTreeCaseTest, SourceNamesThatAreOneNameOnTheTargetAreSkippedAndReported) {
  flags.twoWaySync = true;
  make_tree(disk, "Makefile=upper\nmakefile=lower\nother.txt=o\n");
  for (int pass = 0; pass < 2; ++pass) run(disk, volume->path());
  EXPECT_EQ(describe_tree(volume->path()), "other.txt=o\n");
  EXPECT_EQ(describe_tree(disk), "Makefile=upper\nmakefile=lower\nother.txt=o\n");
  EXPECT_EQ(report.errors().size(), 2u) << "one per pass";
}

// The source ignores case: looking up the target's "report.txt" there would find "Report.txt",
// and two-way would copy the target's other file back over it.
TEST_F(SyncTreeCaseTest, ATargetNameTheSourceTakesForAnotherIsLeftAlone) {
  flags.syncDeletions = false;
  flags.twoWaySync = true;
  make_tree(volume->path(), "Report.txt=source\n");
  make_tree(disk, "Report.txt=source\nreport.txt=another file of the target\n");
  fs::last_write_time(disk / "Report.txt", fs::last_write_time(volume->path() / "Report.txt"));
  run(volume->path(), disk);
  EXPECT_EQ(describe_tree(volume->path()), "Report.txt=source\n");
  EXPECT_EQ(describe_tree(disk), "Report.txt=source\nreport.txt=another file of the target\n");
  EXPECT_EQ(report.errors().size(), 1u);
}

}  // namespace
}  // namespace TWL_Core
