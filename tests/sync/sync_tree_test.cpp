// The tree and folder synchronisers over real trees: each case builds a source and a target
// from a compact description, runs one pass and compares both sides with what they must hold.

#include "sync/sync_tree.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_dir.hpp"
#include "sync/sync_plan.hpp"
#include "sync/sync_report.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::describe_tree;
using test::make_tree;

class SyncTreeTest : public ::testing::Test {
 protected:
  SyncTreeTest() {
    fs::create_directories(source);
    RecycleBin::instance().bin_path(dir / "bin");
    Config::instance().settings.DeleteMode = DeleteMode::Permanent;
    flags.enabled = true;
  }
  ~SyncTreeTest() override { Config::unload(); }

  SyncItem item(SyncItemType type) const {
    CompareItems compare;
    compare.criteria = {CompareItem::Size, CompareItem::Time};
    return SyncItem(L"tree", type, util::from_path(source), util::from_path(target), wildcard,
                    exclusions, flags, compare);
  }

  void run(SyncItemType type = SyncItemType::Tree, bool plan_only = false) {
    SyncReportGuard guard(&report);
    if (type == SyncItemType::Dir) {
      SyncDir sync(item(type), files, plan_only);
      sync();
    } else {
      SyncTree sync(item(type), files, plan_only);
      sync();
    }
  }

  test::LogCapture capture;
  test::TempDir dir;
  const fs::path source = dir / "source";
  const fs::path target = dir / "target";
  SyncFlags flags;
  std::wstring wildcard = L"*";
  Exclusions exclusions;
  std::atomic<std::size_t> files{0};
  SyncReport report;
};

TEST_F(SyncTreeTest, AnEmptyTargetTakesTheSourceShapeAndASecondPassCopiesNothing) {
  make_tree(source, "a/x.txt=x\na/b/y.txt=y\na/b/c/\ntop.txt=top\n");
  run();
  EXPECT_EQ(describe_tree(target), describe_tree(source));
  EXPECT_EQ(files, 3u);
  EXPECT_TRUE(report.errors().empty());
  run();
  EXPECT_EQ(files, 3u) << "nothing changed, nothing copied";
}

struct TargetOnlyCase {
  const char* name;
  bool sync_deletions;
  bool two_way;
  bool father_son;
  const char* source_after;
  const char* target_after;
};

// The target holds a file and a folder the source does not, and a generation of a file.
TEST_F(SyncTreeTest, FilesOnlyInTheTargetAreHandledAsTheFlagsSay) {
  const TargetOnlyCase cases[] = {
      {"no flag", false, false, false, "a/\na/x.txt=x\n",
       "a/\na/only.txt=o\na/x.txt=x\na/x.txt.bak.2=g\nextra/\nextra/e.txt=e\n"},
      {"deletions", true, false, false, "a/\na/x.txt=x\n",
       "a/\na/x.txt=x\nextra/\nextra/e.txt=e\n"},
      {"deletions keep generations", true, false, true, "a/\na/x.txt=x\n",
       "a/\na/x.txt=x\na/x.txt.bak.2=g\nextra/\nextra/e.txt=e\n"},
      {"two-way", false, true, false, "a/\na/only.txt=o\na/x.txt=x\na/x.txt.bak.2=g\n",
       "a/\na/only.txt=o\na/x.txt=x\na/x.txt.bak.2=g\nextra/\nextra/e.txt=e\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(source);
    fs::remove_all(target);
    make_tree(source, "a/x.txt=x\n");
    make_tree(target, "a/x.txt=x\na/only.txt=o\na/x.txt.bak.2=g\nextra/e.txt=e\n");
    fs::last_write_time(target / "a/x.txt", fs::last_write_time(source / "a/x.txt"));
    flags.syncDeletions = c.sync_deletions;
    flags.twoWaySync = c.two_way;
    flags.fatherSonPrinciple = c.father_son;
    run();
    EXPECT_EQ(describe_tree(source), c.source_after);
    EXPECT_EQ(describe_tree(target), c.target_after);
  }
}

TEST_F(SyncTreeTest, WildcardAndExclusionsLeaveTheirTargetNamesakesAlone) {
  make_tree(source, "docs/a.txt=a\ndocs/b.log=b\ncache/c.txt=c\n");
  make_tree(target, "docs/b.log=old\ncache/c.txt=old\ncache/d.txt=d\n");
  wildcard = L"*.txt";
  exclusions = {L"cache"};
  flags.syncDeletions = true;
  run();
  EXPECT_EQ(describe_tree(target),
            "cache/\ncache/c.txt=old\ncache/d.txt=d\ndocs/\ndocs/a.txt=a\n"
            "docs/b.log=old\n");
}

TEST_F(SyncTreeTest, LinksToFoldersAndDanglingLinksAreNotFollowedNorTakenForDeletions) {
  make_tree(dir.path(), "elsewhere/inside.txt=i\nfile.txt=f\n");
  make_tree(source,
            "dirlink->../elsewhere\nfilelink->../file.txt\ngone->/no/such/volume/x\n"
            "loop/up->..\n");
  make_tree(target, "gone=kept copy\n");
  flags.syncDeletions = true;
  for (const SyncItemType type : {SyncItemType::Dir, SyncItemType::Tree}) {
    run(type);
    EXPECT_EQ(describe_tree(target), type == SyncItemType::Dir
                                         ? "filelink=f\ngone=kept copy\n"
                                         : "filelink=f\ngone=kept copy\nloop/\n");
    EXPECT_TRUE(capture.count(translation::translate_utf8("symlink_not_followed")) > 0);
  }
}

// A target folder that is a link to another folder of the user's is never written into: the
// pass would otherwise fill it, and delete or copy back everything else in it.
TEST_F(SyncTreeTest, ATargetFolderThatIsALinkIsReportedAndItsSubtreeSkipped) {
  make_tree(dir.path(), "users-photos/private.jpg=p\n");
  make_tree(source, "docs/a.txt=a\nnotes/n.txt=n\n");
  make_tree(target, "docs->../users-photos\nnotes=a file\n");
  flags.syncDeletions = true;
  flags.twoWaySync = true;
  run();
  EXPECT_EQ(describe_tree(dir / "users-photos"), "private.jpg=p\n");
  EXPECT_EQ(describe_tree(target), "docs->../users-photos\nnotes=a file\n");
  EXPECT_EQ(describe_tree(source), "docs/\ndocs/a.txt=a\nnotes/\nnotes/n.txt=n\n");
  EXPECT_EQ(report.errors().size(), 2u);
}

TEST_F(SyncTreeTest, ATargetInsideTheSourceIsNotCopiedIntoItself) {
  make_tree(source, "a.txt=a\nsub/b.txt=b\n");
  const fs::path inner = source / "backup";
  SyncItem inside(L"tree", SyncItemType::Tree, util::from_path(source), util::from_path(inner),
                  L"*", {}, flags, {});
  for (int pass = 0; pass < 3; ++pass) {
    SyncReportGuard guard(&report);
    SyncTree sync(inside, files, false);
    sync();
  }
  EXPECT_EQ(describe_tree(inner), "a.txt=a\nsub/\nsub/b.txt=b\n");
  EXPECT_EQ(report.errors().size(), 3u) << "once per pass";
}

TEST_F(SyncTreeTest, ATreeOfAThousandLevelsIsWalkedWithoutRecursion) {
  std::string deep;
  for (int level = 0; level < 1000; ++level) deep += "d/";
  make_tree(source, deep + "bottom.txt=b\n");
  run();
  EXPECT_EQ(test::read_file(target / deep / "bottom.txt"), "b");
}

TEST_F(SyncTreeTest, OddNamesCopyAndAreNeverTakenForTargetOnlyFiles) {
  make_tree(source, "line\nbreak/x=1\nlatin1 caf\xE9/\xFF\xFE.txt=2\n-rf=3\n");
  flags.syncDeletions = true;
  run();
  run();
  EXPECT_EQ(describe_tree(target), describe_tree(source));
  EXPECT_EQ(files, 3u);
}

TEST_F(SyncTreeTest, ATargetFolderThatCannotBeCreatedEndsOnlyThatFolder) {
  make_tree(source, "a/x.txt=x\nb/y.txt=y\n");
  make_tree(target, "a=a file where a folder belongs\n");
  fs::remove(target / "a");
  test::write_file(target / "a", "blocker");
  run();
  EXPECT_EQ(describe_tree(target), "a=blocker\nb/\nb/y.txt=y\n");
  EXPECT_EQ(report.errors().size(), 1u);
}

TEST_F(SyncTreeTest, PlansAndCountsChangeNothing) {
  make_tree(source, "a/x.txt=x\na/b/y.txt=y\nz.txt=z\n");
  run(SyncItemType::Tree, true);
  EXPECT_EQ(files, 3u);
  SyncPlan plan;
  {
    SyncPlanGuard guard(&plan);
    run(SyncItemType::Tree, true);
  }
  EXPECT_EQ(plan.steps().size(), 3u);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(SyncTreeTest, AFolderItemLeavesSubfoldersAloneAndSkipsNamesOutsideTheWildcard) {
  make_tree(source, "a.txt=a\nb.log=b\nsub/c.txt=c\n");
  make_tree(target, "b.log=old\nx.dat=x\n");
  wildcard = L"*.txt";
  flags.syncDeletions = true;
  Logging::instance().set_log_level(LogLevel::Debug);
  run(SyncItemType::Dir);
  EXPECT_EQ(describe_tree(target), "a.txt=a\nb.log=old\nx.dat=x\n");
  EXPECT_TRUE(capture.count("sync_dir_entry: uebersprungen b.log") > 0);
}

}  // namespace
}  // namespace TWL_Core
