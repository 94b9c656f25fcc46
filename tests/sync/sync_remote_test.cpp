// The folder synchronisers with a side on a scripted remote host: hostile names in listings,
// listings that fail and a host lost half-way must never cost the user a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/config.hpp"
#include "foundation/file_time.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_dir.hpp"
#include "sync/sync_file.hpp"
#include "sync/sync_report.hpp"
#include "sync/sync_tree.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scripted_remote.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::describe_tree;
using test::make_tree;

class SyncRemoteTest : public ::testing::Test {
 protected:
  SyncRemoteTest() {
    fs::create_directories(source);
    fs::create_directories(target);
    RecycleBin::instance().bin_path(dir / "bin");
    Config::instance().settings.DeleteMode = DeleteMode::Permanent;
    Config::instance().add(SshAccount("host", "scripted", "user", "password"), true);
    flags.enabled = true;
  }
  ~SyncRemoteTest() override { Config::unload(); }

  static std::wstring side(const fs::path& path, bool remote) {
    return (remote ? L"host:" : L"") + util::from_path(path);
  }

  void run(SyncItemType type, bool remote_source, bool remote_target) {
    CompareItems compare;
    compare.criteria = {CompareItem::Size, CompareItem::Time};
    const SyncItem item(L"remote", type, side(source, remote_source), side(target, remote_target),
                        L"*", {}, flags, compare);
    ASSERT_EQ(item.ssh_path_type() != SSHPATH::None, remote_source || remote_target);
    SyncReportGuard guard(&report);
    if (type == SyncItemType::Dir) {
      SyncDir sync(item, files, false, &remote);
      sync();
    } else {
      SyncTree sync(item, files, false, &remote);
      sync();
    }
  }

  bool reported(const std::string& key) const {
    const std::wstring text = translation::translate(key);
    return std::any_of(
        report.errors().begin(), report.errors().end(),
        [&](const std::wstring& error) { return error.find(text) != std::wstring::npos; });
  }

  test::LogCapture capture;
  test::TempDir dir;
  const fs::path source = dir / "source";
  const fs::path target = dir / "target";
  SyncFlags flags;
  std::atomic<std::size_t> files{0};
  SyncReport report;
  test::ScriptedRemote remote;
};

TEST_F(SyncRemoteTest, EitherSideMayLieOnTheHost) {
  const struct {
    bool remote_source;
    bool remote_target;
  } cases[] = {{false, true}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.remote_source) + std::to_string(c.remote_target));
    fs::remove_all(target);
    fs::remove_all(source);
    make_tree(source, "a/x.txt=x\na/b/y.txt=yy\na/b/c/\ntop.txt=top\n");
    files = 0;
    run(SyncItemType::Tree, c.remote_source, c.remote_target);
    EXPECT_EQ(describe_tree(target), describe_tree(source));
    EXPECT_EQ(files, 3u);
    run(SyncItemType::Tree, c.remote_source, c.remote_target);
    EXPECT_EQ(files, 3u) << "nothing changed, nothing copied";
    EXPECT_TRUE(report.errors().empty());
  }
}

// A file item with its target on the host: copied there, copied back, deleted there.
TEST_F(SyncRemoteTest, AFileItemCopiesAndDeletesOnTheHost) {
  const fs::path local_file = source / "notes.txt";
  const fs::path remote_file = target / "notes.txt";
  const auto run_file = [&] {
    const SyncItem item(L"file", SyncItemType::File, side(local_file, false),
                        side(remote_file, true), L"", {}, flags, CompareItems());
    SyncReportGuard guard(&report);
    SyncFile sync(item, files, false, false, &remote);
    sync();
  };
  test::write_file(local_file, "local");
  run_file();
  EXPECT_EQ(test::read_file(remote_file), "local");

  flags.twoWaySync = true;
  test::write_file(remote_file, "edited on the host");
  fs::last_write_time(remote_file, fs::last_write_time(local_file) + std::chrono::hours(1));
  run_file();
  EXPECT_EQ(test::read_file(local_file), "edited on the host");
  EXPECT_EQ(util::to_time_t(fs::last_write_time(local_file)),
            util::to_time_t(fs::last_write_time(remote_file)))
      << "in the whole seconds the host carries";

  flags.twoWaySync = false;
  flags.syncDeletions = true;
  fs::remove(local_file);
  run_file();
  EXPECT_FALSE(fs::exists(remote_file));
  EXPECT_TRUE(report.errors().empty());
}

// What an interrupted upload left (a partial copy, an old file held aside) is no file of the
// user's: never copied back, never deleted as a target-only file.
TEST_F(SyncRemoteTest, LeftoversOfUploadsAreNoFilesOfTheUser) {
  make_tree(source, "a.txt=a\n");
  const std::string aside = util::aside_name("a.txt");
  const std::string partial = util::temporary_copy_name("b.txt");
  make_tree(target, aside + "=old\n" + partial + "=part\n");
  for (const bool two_way : {true, false}) {
    flags.twoWaySync = two_way;
    flags.syncDeletions = !two_way;
    run(SyncItemType::Dir, false, true);
    EXPECT_EQ(describe_tree(source), "a.txt=a\n");
    EXPECT_TRUE(fs::exists(target / aside));
  }
}

// Joined into local paths, such names would create, overwrite or delete files outside the
// item's folders.
TEST_F(SyncRemoteTest, HostileListingNamesAreRefusedOnceEach) {
  make_tree(source, "good.txt=good\n");
  make_tree(target, "good.txt=old\n");
  remote.add_listed_names(source.string(),
                          {"", ".", "..", "a/b", "../../escape.txt", std::string("nul\0.txt", 8),
                           "back\\slash.txt", "latin\xe9.txt"});
  flags.syncDeletions = true;
  for (const SyncItemType type : {SyncItemType::Dir, SyncItemType::Tree}) {
    run(type, true, false);
    EXPECT_EQ(describe_tree(target), "good.txt=good\n");
    EXPECT_FALSE(fs::exists(dir / "escape.txt"));
    EXPECT_FALSE(fs::exists((dir / "").parent_path().parent_path() / "escape.txt"));
    // The logger folds the repeats of the second pass into one line.
    EXPECT_EQ(capture.count_lines("Error\tremote_name_unsafe"), 4u);
    EXPECT_EQ(capture.count_lines("Warning\tremote_name_backslash"), 1u);
    EXPECT_EQ(capture.count_lines("Warning\tremote_name_not_utf8"), 1u);
  }
}

// A folder that could not be listed is not an empty one: its target-only files stay. The
// folders that were listed are handled as usual.
TEST_F(SyncRemoteTest, AFailedListingLeavesItsTargetFolderAloneAndIsReported) {
  make_tree(source, "a.txt=a\nsub/b.txt=b\n");
  flags.syncDeletions = true;
  const struct {
    SyncItemType type;
    const char* failing;
    const char* target_after;
  } cases[] = {
      {SyncItemType::Dir, "", "a.txt=a\nkeep.txt=k\nsub/\nsub/b.txt=b\nsub/keep.txt=k\n"},
      {SyncItemType::Tree, "", "a.txt=a\nkeep.txt=k\nsub/\nsub/b.txt=b\nsub/keep.txt=k\n"},
      {SyncItemType::Tree, "sub", "a.txt=a\nsub/\nsub/b.txt=b\nsub/keep.txt=k\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    fs::remove_all(target);
    make_tree(target, "a.txt=a\nkeep.txt=k\nsub/b.txt=b\nsub/keep.txt=k\n");
    remote = test::ScriptedRemote();
    remote.fail_listing(*c.failing == '\0' ? source.string() : (source / c.failing).string());
    report = SyncReport();
    run(c.type, true, false);
    EXPECT_EQ(describe_tree(target), c.target_after);
    EXPECT_TRUE(reported("remote_folder_not_listed"));
  }
}

// Wherever the connection drops, no file is deleted or taken for deleted, the walk ends, and
// the run report says so.
TEST_F(SyncRemoteTest, AHostLostHalfWayDeletesNothingAndEndsTheWalk) {
  make_tree(source, "a/1.txt=1\na/2.txt=2\nb/3.txt=3\nb/c/4.txt=4\n5.txt=5\n");
  flags.syncDeletions = true;
  run(SyncItemType::Tree, true, false);
  make_tree(target, "only-here.txt=t\n");
  const std::string before = describe_tree(target);
  remote = test::ScriptedRemote();
  run(SyncItemType::Tree, true, false);
  const std::size_t operations = remote.operations();
  ASSERT_GT(operations, 5u);
  EXPECT_FALSE(fs::exists(target / "only-here.txt")) << "a complete pass deletes it";
  make_tree(target, "only-here.txt=t\n");

  for (std::size_t lost_after = 0; lost_after < operations; ++lost_after) {
    SCOPED_TRACE(lost_after);
    remote = test::ScriptedRemote();
    remote.lose_connection_after(lost_after);
    report = SyncReport();
    const std::size_t lines_before = capture.count_lines("remote_host_lost");
    run(SyncItemType::Tree, true, false);
    EXPECT_EQ(describe_tree(target), before);
    EXPECT_FALSE(report.errors().empty()) << "the run must not pass for a complete one";
    EXPECT_LE(capture.count_lines("remote_host_lost"), lines_before + 1);
  }
}

}  // namespace
}  // namespace TWL_Core
