// File comparison over real files whose sizes and times are set for each case.

#include "sync/file_difference.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scripted_remote.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

CompareItems criteria(std::initializer_list<CompareItem> items, std::uint16_t tolerance = 2) {
  CompareItems compare;
  compare.criteria = items;
  compare.time_tolerance_seconds = tolerance;
  return compare;
}

class FileDifferenceTest : public ::testing::Test {
 protected:
  FileDifferenceTest() { Logging::instance().set_log_level(LogLevel::Debug); }
  ~FileDifferenceTest() override { Config::unload(); }

  // Writes both files; the target's time is the source's moved by `target_later`.
  void pair(const std::string& source_bytes, const std::string& target_bytes,
            std::chrono::nanoseconds target_later) {
    test::write_file(source, source_bytes);
    test::write_file(target, target_bytes);
    const auto base = fs::file_time_type::clock::now() - 1h;
    fs::last_write_time(source, base);
    fs::last_write_time(target, base + target_later);
  }

  Difference compare(const CompareItems& items, bool two_way = false,
                     SSHPATH kind = SSHPATH::None) {
    FileDifference difference(util::from_path(source), util::from_path(target), items, kind,
                              two_way);
    (void)difference();
    return difference.result();
  }

  test::LogCapture capture;
  test::TempDir dir;
  fs::path source = dir / "source.txt";
  fs::path target = dir / "target.txt";
};

TEST_F(FileDifferenceTest, MetadataAndContentDecideByTheConfiguredCriteria) {
  using CI = CompareItem;
  struct Case {
    const char* name;
    std::string source_bytes, target_bytes;
    std::chrono::nanoseconds target_later;
    CompareItems items;
    bool two_way;
    Difference expected;
  };
  const std::string big = "0123456789";
  const Case cases[] = {
      {"2 s apart is within the tolerance", "abc", "abc", 2s, criteria({CI::Size, CI::Time}),
       false, Difference::Equal},
      {"2 s and 1 ns apart is not", "abc", "abc", 2s + 1ns, criteria({CI::Size, CI::Time}), false,
       Difference::DestModified},
      {"a later target wins over a larger source", big, "abc", 3s,
       criteria({CI::Size, CI::Time}), false, Difference::DestModified},
      {"a later source", "abc", "abc", -3s, criteria({CI::Size, CI::Time}), false,
       Difference::SourceModified},
      {"size only: larger target", "abc", big, -10s, criteria({CI::Size}), false,
       Difference::DestModified},
      {"size only: larger source", big, "abc", 10s, criteria({CI::Size}), false,
       Difference::SourceModified},
      {"size only: equal sizes, any times", "abc", "xyz", 100s, criteria({CI::Size}), false,
       Difference::Equal},
      {"content: identical", "same", "same", 100s, criteria({CI::Content}), true,
       Difference::Equal},
      {"content one-way: different", "abc", "xyz", 100s, criteria({CI::Content}), false,
       Difference::SourceModified},
      {"content two-way: same size, times within tolerance", "abc", "xyz", 1s,
       criteria({CI::Content}), true, Difference::ContentConflict},
      {"content two-way: sizes differ, times within tolerance", big, "xyz", 1s,
       criteria({CI::Content}), true, Difference::ContentConflict},
      {"content two-way: target 10 s later", "abc", "xyz", 10s, criteria({CI::Content}), true,
       Difference::DestModified},
      {"content two-way: source 10 s later", "abc", "xyz", -10s, criteria({CI::Content}), true,
       Difference::SourceModified},
      {"no criterion at all", "abc", big, 100s, criteria({}), true, Difference::Equal},
  };
  for (const auto& c : cases) {
    pair(c.source_bytes, c.target_bytes, c.target_later);
    EXPECT_EQ(compare(c.items, c.two_way), c.expected) << c.name;
  }
}

TEST_F(FileDifferenceTest, MissingFilesAndAbsentVolumes) {
  const CompareItems items = criteria({CompareItem::Size, CompareItem::Time});
  struct Case {
    const char* name;
    fs::path source, target;
    Difference expected;
  };
  test::write_file(dir / "there.txt", "x");
  fs::create_directory(dir / "folder");
  const Case cases[] = {
      {"both missing", dir / "gone.txt", dir / "gone too.txt", Difference::SourceNotExits},
      {"target missing", dir / "there.txt", dir / "gone.txt", Difference::DestNotExists},
      {"source folder missing", dir / "no folder" / "a.txt", dir / "there.txt",
       Difference::SourceDriveNotMounted},
      {"target folder missing", dir / "there.txt", dir / "no folder" / "a.txt",
       Difference::DestDriveNotMounted},
      {"source is a folder", dir / "folder", dir / "there.txt", Difference::SourceDriveNotMounted},
      {"target is a folder", dir / "there.txt", dir / "folder", Difference::DestDriveNotMounted},
  };
  for (const auto& c : cases) {
    source = c.source;
    target = c.target;
    EXPECT_EQ(compare(items), c.expected) << c.name;
  }
}

// A file that exists but cannot be examined is never taken for a deleted one.
TEST_F(FileDifferenceTest, AFileThatCannotBeExaminedIsReportedAsAnError) {
  fs::create_directory(dir / "folder");
  test::write_file(target, "x");
  source = dir / "folder";
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    EXPECT_EQ(compare(criteria({CompareItem::Size})), Difference::SourceDriveNotMounted);
  }
  ASSERT_EQ(report.errors().size(), 1u);
  EXPECT_NE(report.errors().front().find(util::from_path(source)), std::wstring::npos);
}

TEST_F(FileDifferenceTest, RemoteSidesCountAsAbsentHostsAndAreComparedWithoutContent) {
  Config::instance().add(SshAccount("nas", "127.0.0.1", "anna", "secret"), true);
  test::write_file(source, "x");
  target = "nas:/srv/target.txt";
  EXPECT_EQ(compare(criteria({CompareItem::Content}), false, SSHPATH::Target),
            Difference::DestDriveNotMounted);
  EXPECT_EQ(capture.count_lines("Warning\tssh_not_reachable_for"), 1u);
  EXPECT_EQ(capture.count("content comparison is not available for SSH paths"), 1u);

  target = "no colon here";
  EXPECT_EQ(compare(criteria({CompareItem::Size}), false, SSHPATH::Target),
            Difference::DestDriveNotMounted);
  EXPECT_EQ(capture.count_lines("Error\tssh_path_invalid"), 1u);

  target = "ghost:/srv/target.txt";
  EXPECT_EQ(compare(criteria({CompareItem::Size}), false, SSHPATH::Target),
            Difference::DestDriveNotMounted);
  EXPECT_EQ(capture.count_lines("Error\tssh_account_not_found"), 1u);
}

// A remote time has 32 bits: a local time outside them compares as the time an upload set.
// A host that cannot be asked, or a folder in place of the file, is never a missing file.
TEST_F(FileDifferenceTest, RemoteSidesAreExaminedThroughTheRemoteAccess) {
  Config::instance().add(SshAccount("nas", "scripted", "anna", "secret"), true);
  const fs::path remote_file = dir / "remote.txt";
  const auto at = [](std::int64_t seconds) { return *util::from_unix_time(seconds, 0); };
  const struct {
    const char* name;
    std::int64_t local_seconds;
    std::int64_t remote_seconds;
    Difference expected;
  } cases[] = {
      {"after 2106", 7258118400, 4294967295, Difference::Equal},
      {"before 1970", -315619200, 0, Difference::Equal},
      {"ordinary, newer source", 1700000100, 1700000000, Difference::SourceModified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::write_file(source, "same");
    test::write_file(remote_file, "same");
    fs::last_write_time(source, at(c.local_seconds));
    fs::last_write_time(remote_file, at(c.remote_seconds));
    test::ScriptedRemote remote;
    FileDifference difference(util::from_path(source), L"nas:" + util::from_path(remote_file),
                              criteria({CompareItem::Size, CompareItem::Time}), SSHPATH::Target,
                              false, &remote);
    (void)difference();
    EXPECT_EQ(difference.result(), c.expected);
  }

  SyncReport report;
  SyncReportGuard guard(&report);
  test::ScriptedRemote lost;
  lost.lose_connection_after(0);
  FileDifference unreachable(util::from_path(source), L"nas:" + util::from_path(remote_file),
                             criteria({CompareItem::Size}), SSHPATH::Target, false, &lost);
  (void)unreachable();
  EXPECT_EQ(unreachable.result(), Difference::DestDriveNotMounted);
  test::ScriptedRemote remote;
  FileDifference folder(util::from_path(source), L"nas:" + util::from_path(dir / ""),
                        criteria({CompareItem::Size}), SSHPATH::Target, false, &remote);
  (void)folder();
  EXPECT_EQ(folder.result(), Difference::DestDriveNotMounted);
  EXPECT_EQ(report.errors().size(), 2u) << "both go into the run report";
}

// Times far from today must neither overflow nor wrap.
TEST_F(FileDifferenceTest, TimesFarFromTodayCompareCorrectly) {
  using Time = util::FileTime;
  const Time early = Time::min() + 1h;
  const Time late = Time::max() - 1h;
  FileDifference local(L"a", L"b", criteria({CompareItem::Time}), SSHPATH::None, false);
  EXPECT_TRUE(local.newer(late, early));
  EXPECT_FALSE(local.newer(early, late));
  EXPECT_FALSE(local.newer(late, late - 2s));
  EXPECT_TRUE(local.newer(late, late - 3s));
  FileDifference remote(L"a", L"b", criteria({CompareItem::Time}), SSHPATH::Source, false);
  EXPECT_TRUE(remote.newer(late, early));
  EXPECT_FALSE(remote.newer(early, late));
  EXPECT_FALSE(remote.newer(late, late - 2500ms)) << "whole seconds only";
}

TEST_F(FileDifferenceTest, FilesOfManyBlocksAreEqualOnlyToTheLastByte) {
  std::string bytes(3 * 1024 * 1024 + 17, 'x');
  pair(bytes, bytes, 0s);
  EXPECT_EQ(compare(criteria({CompareItem::Content})), Difference::Equal);
  bytes.back() = 'y';
  test::write_file(target, bytes);
  fs::last_write_time(target, fs::last_write_time(source));
  EXPECT_EQ(compare(criteria({CompareItem::Content})), Difference::SourceModified);
}

}  // namespace
}  // namespace TWL_Core
