// The real ternwell binary running its sync controller: reachability reports, backup proof
// and the arbiter's real lock files in /tmp (the daemon tests run one at a time).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/daemon/daemon_fixture.hpp"
#include "tests/support/lock_holder.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::hold_lock;
using test::locked_by_someone;

class DaemonSyncTest : public DaemonConfigTest {
 protected:
  DaemonSyncTest() {
    // Lock files left by earlier runs may have other modes or owners.
    std::error_code ignored;
    for (const char* role : {"background", "foreground"}) fs::remove(lock_file(role), ignored);
    fs::create_directories(home / "source");
    fs::create_directories(home / "target");
  }

  std::string config(const fs::path& source, std::uint16_t cycle) const {
    return R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
               "Autostart": false, "StartSyncAtStart": true, "BackupProofPath": ")" +
           proof.string() + R"("}, )" + logging_section(log, "Debug") +
           R"(, "Syncitems": [{"name": "Fotos", "type": "Verzeichnis", "source": ")" +
           source.string() + R"(", "target": ")" + (home / "target").string() +
           R"(", "wildcard": "*", "SyncCycle": )" + std::to_string(cycle) +
           R"(, "syncflags": {"delAftercopy": false, "twoWaySync": false,
               "copyWhenTargetNewer": false, "fatherSonPrinciple": false, "enabled": true,
               "backupProof": true, "warnIfUnreachable": true}}]})";
  }

  std::size_t passes() const { return count("Synchronize::sync_item: Fotos"); }

  const fs::path proof = home / "proof";
};

TEST_F(DaemonSyncTest, UnreachableItemWarnsOnceAndLeavesOneRecord) {
  write_config(config(home / "missing", 0));
  start();
  ASSERT_TRUE(test::wait_until([&] { return passes() >= 4; }, 15s)) << test::read_file(log);
  stop();
  const std::string warning = " D Warning\tsource_or_target_not_reachable" +
                              (home / "missing").string() + " -> " + (home / "target").string();
  EXPECT_EQ(count(warning), 1u) << test::read_file(log);
  const std::string record = test::read_file(proof / "Fotos.json");
  EXPECT_NE(record.find("backup_proof_status_failed"), std::string::npos) << record;
  EXPECT_EQ(record.find("backup_proof_field_status"), record.rfind("backup_proof_field_status"))
      << "exactly one record:\n" << record;
}

TEST_F(DaemonSyncTest, ForegroundLockHoldsTheDaemonBack) {
  auto foreground = hold_lock(lock_file("foreground"));
  write_config(config(home / "source", 0));
  start();
  ASSERT_TRUE(wait_for_log("Synchronize::operator()()", 5s));
  EXPECT_FALSE(test::wait_until([&] { return passes() > 0; }, 2s)) << "no item while held";

  foreground.reset();
  EXPECT_TRUE(test::wait_until([&] { return passes() > 0; }, 1500ms))
      << "resumes within about a second";
  stop();
}

TEST_F(DaemonSyncTest, BusyOwnLockIsReportedAndTheDaemonStillRuns) {
  auto other_daemon = hold_lock(lock_file("background"));
  write_config(config(home / "source", 0));
  start();
  ASSERT_TRUE(test::wait_until([&] { return passes() >= 2; }, 10s)) << test::read_file(log);
  EXPECT_EQ(count(" D Warning\tarbiter_own_lock_taken"), 1u) << "repeats are suppressed";
  other_daemon.reset();

  for (const char* role : {"background", "foreground"}) {
    struct stat status {};
    ASSERT_EQ(::lstat(lock_file(role).c_str(), &status), 0) << role;
    EXPECT_TRUE(S_ISREG(status.st_mode)) << role;
    EXPECT_EQ(status.st_mode & 07777, 0600u) << role;
  }
  stop();
}

}  // namespace
}  // namespace TWL_Core
