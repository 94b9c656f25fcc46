// The demo home that scripts/run.sh prepares: its configuration checks clean, and within
// seconds of starting the daemon copies the demo tree and the demo file, with no Error line.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/daemon/daemon_fixture.hpp"
#include "tests/support/file_tree.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class DemoHomeTest : public DaemonConfigTest {
 protected:
  DemoHomeTest() { remove_stale_lock_files(); }
};

TEST_F(DemoHomeTest, TheDemoFillsItsTargetsWithinSeconds) {
  const fs::path script = fs::path(TERNWELL_SOURCE_DIR) / "scripts" / "make-demo-home.sh";
  test::ChildProcess make("/bin/bash", {script.string(), home.path().string()}, environment);
  ASSERT_EQ(make.wait_for_exit(30s), 0);
  const fs::path demo = home / "demo";
  // The demo's own configuration names its log, so the fixture's start() cannot wait for it.
  daemon = std::make_unique<test::ChildProcess>(install / "ternwell", std::vector<std::string>{},
                                                environment);
  ASSERT_TRUE(test::wait_until(
      [&] { return test::describe_tree(demo / "target") == test::describe_tree(demo / "source"); },
      10s))
      << test::describe_tree(demo / "target");
  ASSERT_TRUE(test::wait_until([&] { return fs::exists(demo / "notes-copy" / "notes.txt"); }, 10s));
  stop();
  const std::string demo_log = test::read_file(home / ".cache" / "ternwell" / "ternwell.log");
  EXPECT_NE(demo_log.find("copied_source_to_target"), std::string::npos) << demo_log;
  EXPECT_EQ(demo_log.find("Error\t"), std::string::npos) << demo_log;
}

}  // namespace
}  // namespace TWL_Core
