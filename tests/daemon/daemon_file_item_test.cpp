// File items synchronised by the real ternwell binary, one pass a second, checked on disk.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class DaemonFileItemTest : public DaemonConfigTest {
 protected:
  DaemonFileItemTest() {
    remove_stale_lock_files();
    fs::create_directories(source.parent_path());
    fs::create_directories(target_dir);
  }

  // One file item from `source` into the target folder, run on every pass, with the flags
  // named in `set` switched on.
  void configure(const std::vector<std::string>& set) {
    std::string flags;
    for (const char* flag : {"delAftercopy", "twoWaySync", "copyWhenTargetNewer",
                             "fatherSonPrinciple", "syncDeletions"}) {
      const bool on = std::find(set.begin(), set.end(), flag) != set.end();
      flags += "\"" + std::string(flag) + "\": " + (on ? "true" : "false") + ", ";
    }
    write_config(R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
                   "Autostart": false, "StartSyncAtStart": true, "DeleteMode": "Permanent"}, )" +
                 logging_section(log, "Info") +
                 R"(, "Syncitems": [{"name": "Notes", "type": "Datei", "source": ")" +
                 source.string() + R"(", "target": ")" + target_dir.string() +
                 R"(", "wildcard": "*", "SyncCycle": 0,
                   "compareitems": {"size": "true", "time": "true"},
                   "syncflags": {)" +
                 flags + R"("enabled": true}}]})");
  }

  static void put(const fs::path& path, const std::string& content, std::chrono::seconds age) {
    test::write_file(path, content);
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
  }

  bool target_holds(const std::string& content) const {
    return test::wait_until([&] { return test::read_file(target) == content; }, 10s);
  }

  const fs::path source = home / "documents" / "notes.txt";
  const fs::path target_dir = home / "backup";
  const fs::path target = target_dir / "notes.txt";
};

TEST_F(DaemonFileItemTest, CopiesIntoTheTargetFolderWithTheSourceTime) {
  put(source, "first", 120s);
  configure({});
  start();
  ASSERT_TRUE(target_holds("first")) << test::read_file(log);
  stop();
  EXPECT_EQ(fs::last_write_time(target), fs::last_write_time(source));
  EXPECT_EQ(count("Info\tcopied_source_to_target"), 1u) << test::read_file(log);
}

TEST_F(DaemonFileItemTest, ANewerTargetIsReportedOnceAcrossManyPasses) {
  put(source, "older", 600s);
  put(target, "newer", 60s);
  configure({});
  start();
  ASSERT_TRUE(wait_for_log("target_newer_not_copied", 10s)) << test::read_file(log);
  std::this_thread::sleep_for(3s);  // several more passes, each finding the same newer target
  stop();
  EXPECT_EQ(count("Info\ttarget_newer_not_copied"), 1u) << test::read_file(log);
  EXPECT_EQ(test::read_file(target), "newer");
}

TEST_F(DaemonFileItemTest, TwoWayCopiesANewerTargetBack) {
  put(source, "older", 600s);
  put(target, "edited in the backup", 60s);
  configure({"twoWaySync"});
  start();
  ASSERT_TRUE(test::wait_until([&] { return test::read_file(source) == "edited in the backup"; },
                               10s))
      << test::read_file(log);
  stop();
  EXPECT_EQ(fs::last_write_time(source), fs::last_write_time(target));
}

TEST_F(DaemonFileItemTest, MoveRemovesTheSourceAfterAVerifiedCopy) {
  put(source, "moving out", 60s);
  configure({"delAftercopy", "syncDeletions"});
  start();
  ASSERT_TRUE(test::wait_until([&] { return !fs::exists(source); }, 10s)) << test::read_file(log);
  std::this_thread::sleep_for(2s);  // later passes find the source missing
  stop();
  EXPECT_EQ(test::read_file(target), "moving out") << "the copy is never deleted";
  EXPECT_EQ(count("Info\tsync_item_move_keeps_targets"), 1u) << "said once, at load";
}

TEST_F(DaemonFileItemTest, GenerationsKeepThreeEarlierVersions) {
  configure({"fatherSonPrinciple"});
  put(source, "version 0", 600s);
  start();
  ASSERT_TRUE(target_holds("version 0")) << test::read_file(log);
  for (int change = 1; change <= 3; ++change) {
    put(source, "version " + std::to_string(change), 600s - std::chrono::seconds(change * 60));
    ASSERT_TRUE(target_holds("version " + std::to_string(change))) << test::read_file(log);
  }
  stop();
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(test::read_file(target.string() + ".bak." + std::to_string(n)),
              "version " + std::to_string(n - 1));
  }
}

}  // namespace
}  // namespace TWL_Core

namespace TWL_Core {
namespace {

bool has_temporary_copy(const fs::path& folder) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().filename().string().find(".ternwell-partial-") != std::string::npos) {
      return true;
    }
  }
  return false;
}

void write_large_file(const fs::path& path, char fill, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(1 << 20, fill);
  for (std::size_t written = 0; written < bytes; written += block.size()) out << block;
}

// A daemon killed in the middle of a copy leaves the old file under the real name, and the
// next daemon finishes the job: no side ever holds a partial file under its own name.
class DaemonCrashTest : public DaemonFileItemTest,
                        public ::testing::WithParamInterface<bool> {};

TEST_P(DaemonCrashTest, KilledDuringALargeCopyAndRestarted) {
  const bool back_to_source = GetParam();
  const fs::path& newer = back_to_source ? target : source;
  const fs::path& older = back_to_source ? source : target;
  constexpr std::size_t SIZE = std::size_t{512} << 20;
  test::write_file(older, "the old version");
  fs::last_write_time(older, fs::file_time_type::clock::now() - 600s);
  write_large_file(newer, 'n', SIZE);
  fs::last_write_time(newer, fs::file_time_type::clock::now() - 60s);
  configure({"twoWaySync"});

  start();
  ASSERT_TRUE(test::wait_until([&] { return has_temporary_copy(older.parent_path()); }, 20s))
      << test::read_file(log);
  daemon->send(SIGKILL);
  (void)daemon->wait_for_exit(5s);
  EXPECT_EQ(test::read_file(older), "the old version") << "the real name keeps the old file";

  start();
  ASSERT_TRUE(test::wait_until([&] { return fs::file_size(older) == SIZE; }, 60s))
      << test::read_file(log);
  ASSERT_TRUE(test::wait_until([&] { return !has_temporary_copy(older.parent_path()); }, 10s));
  stop();
  EXPECT_TRUE(util::files_equal(util::from_path(older), util::from_path(newer)));
  EXPECT_EQ(fs::last_write_time(older), fs::last_write_time(newer));
}

INSTANTIATE_TEST_SUITE_P(BothDirections, DaemonCrashTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TargetToSource" : "SourceToTarget"; });

}  // namespace
}  // namespace TWL_Core
