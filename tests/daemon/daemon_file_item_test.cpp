// File items synchronised by the real ternwell binary, one pass a second, checked on disk.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/daemon/daemon_fixture.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class DaemonFileItemTest : public DaemonConfigTest {
 protected:
  DaemonFileItemTest() {
    std::error_code ignored;
    for (const char* role : {"background", "foreground"}) {
      fs::remove("/tmp/ternwell-" + std::to_string(::getuid()) + "-" + role + ".lock", ignored);
    }
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
