// The single-file synchroniser over real files: each case sets up a source and a target,
// runs one pass of the pair and looks at both sides, the log and the run report.

#include "sync/sync_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_report.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class SyncFileTest : public ::testing::Test {
 protected:
  SyncFileTest() {
    fs::create_directories(source.parent_path());
    fs::create_directories(target.parent_path());
    RecycleBin::instance().bin_path(dir / "bin");
    Config::instance().settings.DeleteMode = DeleteMode::Permanent;
    flags.enabled = true;
  }
  ~SyncFileTest() override { Config::unload(); }

  // Writes `path` with `content`, `age` before now.
  static void put(const fs::path& path, const std::string& content, std::chrono::seconds age) {
    test::write_file(path, content);
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
  }

  SyncItem item(const fs::path& target_text) const {
    CompareItems compare;
    compare.criteria = criteria;
    return SyncItem(L"pair", SyncItemType::File, util::from_path(source),
                    util::from_path(target_text), L"*", {}, flags, compare);
  }

  void run(bool plan_only = false, bool target_is_dir = false) {
    SyncReportGuard guard(&report);
    SyncFile sync(item(target_is_dir ? target.parent_path() : target), files, plan_only,
                  target_is_dir);
    sync();
  }

  test::LogCapture capture;
  test::TempDir dir;
  const fs::path source = dir / "source" / "notes.txt";
  const fs::path target = dir / "target" / "notes.txt";
  SyncFlags flags;
  std::set<CompareItem> criteria{CompareItem::Size, CompareItem::Time};
  std::atomic<std::size_t> files{0};
  SyncReport report;
};

TEST_F(SyncFileTest, DecisionTable) {
  struct Case {
    const char* name;
    Difference difference;
    SyncFlags flags;
    std::optional<PlannedAction> expected;
  };
  auto with = [](auto set) {
    SyncFlags f;
    set(f);
    return f;
  };
  const SyncFlags none;
  const SyncFlags deletions = with([](SyncFlags& f) { f.syncDeletions = true; });
  const SyncFlags two_way = with([](SyncFlags& f) { f.twoWaySync = true; });
  const SyncFlags two_way_deletions =
      with([](SyncFlags& f) { f.twoWaySync = f.syncDeletions = true; });
  const SyncFlags move = with([](SyncFlags& f) { f.delAftercopy = true; });
  const SyncFlags move_deletions = with([](SyncFlags& f) { f.delAftercopy = f.syncDeletions = true; });
  const SyncFlags move_two_way = with([](SyncFlags& f) { f.delAftercopy = f.twoWaySync = true; });
  const SyncFlags overwrite = with([](SyncFlags& f) { f.copyWhenTargetNewer = true; });
  using A = PlannedAction;
  using D = Difference;
  const Case cases[] = {
      {"source gone, deletions", D::SourceNotExits, deletions, A::DeleteTarget},
      {"source gone, deletions win over two-way", D::SourceNotExits, two_way_deletions,
       A::DeleteTarget},
      {"source gone, two-way restores it", D::SourceNotExits, two_way, A::CopyToSource},
      {"source gone, no flags", D::SourceNotExits, none, std::nullopt},
      {"source gone after a move is no deletion", D::SourceNotExits, move_deletions, std::nullopt},
      {"source gone after a move is not restored", D::SourceNotExits, move_two_way, std::nullopt},
      {"source newer", D::SourceModified, none, A::CopyToTarget},
      {"source newer, move", D::SourceModified, move, A::MoveToTarget},
      {"target missing", D::DestNotExists, none, A::CopyToTarget},
      {"target newer, overwrite", D::DestModified, overwrite, A::CopyToTarget},
      {"target newer, two-way", D::DestModified, two_way, A::CopyToSource},
      {"target newer, two-way move", D::DestModified, move_two_way, std::nullopt},
      {"target newer, no flags", D::DestModified, none, std::nullopt},
      {"equal", D::Equal, two_way_deletions, std::nullopt},
      {"source volume gone", D::SourceDriveNotMounted, two_way_deletions, std::nullopt},
      {"target volume gone", D::DestDriveNotMounted, two_way_deletions, std::nullopt},
      {"conflict", D::ContentConflict, two_way_deletions, std::nullopt},
  };
  for (const auto& c : cases) {
    flags = c.flags;
    SyncFile sync(item(target), files, false, false);
    EXPECT_EQ(sync.decide(c.difference), c.expected) << c.name;
  }
}

TEST_F(SyncFileTest, CopiesIntoATargetFolderWithTheSourceTime) {
  put(source, "hello", 60s);
  run(false, true);
  EXPECT_EQ(test::read_file(target), "hello");
  EXPECT_EQ(fs::last_write_time(target), fs::last_write_time(source));
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(report.volume(), 5u);
  EXPECT_EQ(capture.count_lines("Info\tcopied_source_to_target"), 1u);
  run(false, true);
  EXPECT_EQ(files, 1u) << "equal now";
}

TEST_F(SyncFileTest, ANewerTargetIsReportedOnceUntilThePairWasEqual) {
  put(source, "old", 600s);
  put(target, "newer", 60s);
  for (int pass = 0; pass < 5; ++pass) run();
  EXPECT_EQ(test::read_file(target), "newer");
  EXPECT_EQ(capture.count_lines("Info\ttarget_newer_not_copied"), 1u);
  put(source, "newer", 60s);
  fs::last_write_time(target, fs::last_write_time(source));
  run();
  put(target, "newest", 0s);
  run();
  EXPECT_EQ(capture.count_lines("Info\ttarget_newer_not_copied"), 2u);
}

TEST_F(SyncFileTest, TwoWayCopiesANewerTargetBackWithItsTime) {
  flags.twoWaySync = true;
  put(source, "old", 600s);
  put(target, "edited on the target", 60s);
  run();
  EXPECT_EQ(test::read_file(source), "edited on the target");
  EXPECT_EQ(fs::last_write_time(source), fs::last_write_time(target));
  EXPECT_EQ(capture.count_lines("Info\tcopied_target_to_source"), 1u);
}

TEST_F(SyncFileTest, MoveDeletesTheSourceOnceAndNeverTheCopy) {
  flags.delAftercopy = true;
  flags.syncDeletions = true;
  put(source, "moving", 60s);
  run();
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(test::read_file(target), "moving");
  run();
  EXPECT_EQ(test::read_file(target), "moving") << "the moved source is no deletion to pass on";
}

TEST_F(SyncFileTest, DeletionsGoByTheDeleteMode) {
  flags.syncDeletions = true;
  put(target, "orphan", 60s);
  Config::instance().settings.DeleteMode = DeleteMode::RecycleBin;
  run();
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(RecycleBin::instance().list_items().size(), 1u);

  put(target, "orphan", 60s);
  Config::instance().settings.DeleteMode = DeleteMode::Permanent;
  run();
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(RecycleBin::instance().list_items().size(), 1u);
  EXPECT_EQ(files, 0u) << "deletions are not counted";
}

TEST_F(SyncFileTest, AMissingSourceFolderDeletesNothing) {
  flags.syncDeletions = true;
  put(target, "keep", 60s);
  fs::remove(source.parent_path());
  run();
  EXPECT_EQ(test::read_file(target), "keep");
}

TEST_F(SyncFileTest, EmptyFilesAreCopiedOnlyWhenAsked) {
  put(source, "", 60s);
  run();
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(capture.count_lines("Warning\tempty_source_not_copied"), 1u);
  EXPECT_EQ(files, 0u);
  flags.syncEmptyFiles = true;
  run();
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(files, 1u);
}

TEST_F(SyncFileTest, GenerationsKeepEveryOldVersion) {
  flags.fatherSonPrinciple = true;
  for (int change = 1; change <= 4; ++change) {
    put(source, "version " + std::to_string(change), 600s - std::chrono::seconds(change * 10));
    run();
  }
  EXPECT_EQ(test::read_file(target), "version 4");
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(test::read_file(target.string() + ".bak." + std::to_string(n)),
              "version " + std::to_string(n));
  }
}

TEST_F(SyncFileTest, APlanChangesNothingAndCountsTheSteps) {
  put(source, "planned", 60s);
  SyncPlan plan;
  {
    SyncPlanGuard guard(&plan);
    run(true);
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(files, 1u);
  ASSERT_EQ(plan.steps().size(), 1u);
  EXPECT_EQ(plan.steps().front().action, PlannedAction::CopyToTarget);
  EXPECT_EQ(plan.steps().front().bytes, 7u);
}

TEST_F(SyncFileTest, AConflictIsReportedOnceAsAnError) {
  flags.twoWaySync = true;
  put(source, "mine", 60s);
  put(target, "theirs!", 60s);
  fs::last_write_time(target, fs::last_write_time(source));
  criteria = {CompareItem::Content};
  for (int pass = 0; pass < 3; ++pass) run();
  EXPECT_EQ(test::read_file(source), "mine");
  EXPECT_EQ(test::read_file(target), "theirs!");
  EXPECT_EQ(capture.count_lines("Error\tcontent_conflict_not_copied"), 1u);
  EXPECT_EQ(report.errors().size(), 1u);
}

}  // namespace
}  // namespace TWL_Core

namespace TWL_Core {
namespace {

// Sizes past 4 GiB must not wrap: sparse files cost no disk.
TEST_F(SyncFileTest, SizesAbove4GiBCompareWithoutWrapping) {
  put(source, "", 60s);
  put(target, "x", 60s);
  fs::resize_file(source, (std::uintmax_t{4} << 30) + 1);
  fs::last_write_time(target, fs::last_write_time(source));
  FileDifference difference(util::from_path(source), util::from_path(target),
                            item(target).compare_items, SSHPATH::None, false);
  EXPECT_EQ(difference(), (std::uint64_t{4} << 30) + 1);
  EXPECT_EQ(difference.result(), Difference::SourceModified);
}

TEST_F(SyncFileTest, OddNamesAreCopiedLikeAnyOther) {
  for (const char* name :
       {"line\nbreak.txt", "-rf", "  blanks  ", "ümlaut €.txt", "latin1 caf\xE9", "\xFF\xFE"}) {
    const fs::path odd_source = source.parent_path() / name;
    put(odd_source, name, 60s);
    SyncItem odd(L"odd", SyncItemType::File, util::from_path(odd_source),
                 util::from_path(target.parent_path()), L"*", {}, flags, {});
    SyncFile sync(odd, files, false, true);
    sync();
    EXPECT_EQ(test::read_file(target.parent_path() / name), name) << name;
  }
}

}  // namespace
}  // namespace TWL_Core
