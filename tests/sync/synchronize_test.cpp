// The controller over real folders and real lock files. Synchronisers are stood in for by
// runners that count, plan, report or throw; single passes (SyncType::Once and the dry-run
// types) make the cycle rules testable without waiting.

#include "sync/synchronize.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/backup_proof.hpp"
#include "sync/file_difference.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

bool use_private_lock_folder(const fs::path& folder) {
  fs::create_directories(folder);
  ::setenv("TMPDIR", folder.c_str(), 1);
  SyncArbiter::use_private_scope();
  return true;
}

class SynchronizeTest : public ::testing::Test {
 protected:
  SynchronizeTest() {
    Logging::instance().set_log_level(LogLevel::Debug);
    fs::create_directories(source);
    fs::create_directories(target);
    Synchronize::set_item_runner(SyncItemType::Dir, [this](const ItemRun& run) { on_run(run); });
    Synchronize::set_item_runner(SyncItemType::File, [this](const ItemRun& run) { on_run(run); });
  }
  ~SynchronizeTest() override {
    Synchronize::destroy();
    Synchronize::set_item_runner(SyncItemType::Dir, {});
    Synchronize::set_item_runner(SyncItemType::File, {});
    Config::unload();
  }

  // Adds an item; by default a folder item between two existing folders.
  void add_item(const std::wstring& name, std::uint16_t cycle,
                const std::function<void(SyncItem&)>& adjust = {}) {
    SyncItem item(name, SyncItemType::Dir, util::from_path(source), util::from_path(target), L"*");
    item.sync_cycle = cycle;
    if (adjust) adjust(item);
    Config::instance().add(item, true);
  }

  // Runs one pass of `type` and waits until it has ended.
  void pass(SyncType type = SyncType::Once) {
    Synchronize::create(type, nullptr, SyncRole::Background).wait();
  }

  void on_run(const ItemRun& run) {
    std::function<void(const ItemRun&)> behaviour;
    {
      std::lock_guard lock(mutex);
      ++runs[util::wstring_to_string(run.item.name)];
      last_target_is_dir = run.target_is_dir;
      plan_only.push_back(run.plan_only);
      behaviour = behaviours[run.item.name];
    }
    if (behaviour) behaviour(run);
  }

  int runs_of(const std::string& name) {
    std::lock_guard lock(mutex);
    return runs[name];
  }

  std::optional<LastRun> last_run(const std::wstring& name) {
    return Config::instance().find_by_name(name)->last_run;
  }

  test::LogCapture capture;
  test::TempDir dir;
  const bool private_locks = use_private_lock_folder(dir / "locks");
  const fs::path source = dir / "source";
  const fs::path target = dir / "target";
  const fs::path proof = dir / "proof";
  std::mutex mutex;
  std::map<std::string, int> runs;                                       // guarded by mutex
  std::map<std::wstring, std::function<void(const ItemRun&)>> behaviours;  // set before passes
  std::vector<bool> plan_only;                                           // guarded by mutex
  bool last_target_is_dir = false;                                       // guarded by mutex
};

TEST_F(SynchronizeTest, CycleDecidesWhenAnItemRunsAgain) {
  add_item(L"hourly", 3600);
  add_item(L"failing", 3600);
  add_item(L"every pass", 0);
  add_item(L"disabled", 0, [](SyncItem& item) { item.flags.enabled = false; });
  behaviours[L"failing"] = [](const ItemRun&) { throw std::runtime_error("disk on fire"); };

  pass();
  EXPECT_EQ(capture.count_lines("Error\tsync_item_failed failing"), 1u);
  EXPECT_EQ(capture.count_lines("Error\tdisk on fire"), 1u);
  EXPECT_EQ(last_run(L"failing"), (LastRun{true, 1, L"disk on fire"}));
  EXPECT_EQ(last_run(L"hourly"), (LastRun{true, 0, L""}));
  pass();
  EXPECT_EQ(runs_of("hourly"), 1) << "not due again for an hour";
  EXPECT_EQ(runs_of("failing"), 2) << "a failed run does not move the cycle";
  EXPECT_EQ(runs_of("every pass"), 2);
  EXPECT_EQ(runs_of("disabled"), 0);
  EXPECT_EQ(capture.count_lines("Synchronize::operator()() Start of disabled"), 0u);

  SyncItem hourly = *Config::instance().find_by_name(L"hourly");
  hourly.last_sync -= 3601s;
  Config::instance().update_by_name(L"hourly", hourly);
  pass();
  EXPECT_EQ(runs_of("hourly"), 2) << "due once its hour has passed";
}

TEST_F(SynchronizeTest, ItemsOfTheSameNameKeepTheirOwnCycleAndOutcome) {
  const fs::path other_target = dir / "other target";
  fs::create_directories(other_target);
  add_item(L"twin", 3600);
  add_item(L"twin", 3600, [&](SyncItem& item) { item.target(util::from_path(other_target)); });
  behaviours[L"twin"] = [&](const ItemRun& run) {
    if (run.item.target()->path() == util::from_path(other_target)) {
      report_sync_error(L"second twin failed");
    }
  };

  pass();
  pass();
  EXPECT_EQ(runs_of("twin"), 2) << "each twin runs once an hour";
  EXPECT_EQ(Config::instance().item(0).last_run, (LastRun{true, 0, L""}));
  EXPECT_EQ(Config::instance().item(1).last_run, (LastRun{true, 1, L"second twin failed"}));
}

TEST_F(SynchronizeTest, ItemTypeWithoutSynchroniserIsAFailedRun) {
  Config::instance().settings.BackupProofPath = util::from_path(proof);
  add_item(L"odd", 3600, [](SyncItem& item) {
    item.type = SyncItemType::Unknown;
    item.flags.backupProof = true;
  });
  pass();
  pass();
  EXPECT_EQ(capture.count_lines("Error\tsync_item_type_not_supported"), 1u)
      << "tried once per cycle, not on every pass";
  const auto outcome = last_run(L"odd");
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->error_count, 1u);
  EXPECT_NE(outcome->first_error.find(L"sync_item_type_not_supported"), std::wstring::npos);
  const std::string record = test::read_file(copy_log_file_path(proof, L"odd"));
  EXPECT_TRUE(std::regex_search(record, std::regex("backup_proof_status_failed"))) << record;
}

TEST_F(SynchronizeTest, ControllerIsReachableFromItsFirstPass) {
  add_item(L"first", 0);
  std::atomic<bool> reachable{false};
  behaviours[L"first"] = [&](const ItemRun&) {
    reachable = Synchronize::has_instance();
    Synchronize::set_progress_message(L"working", L"first", 1);
  };
  Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background);
  controller.wait();
  EXPECT_TRUE(reachable);
  EXPECT_EQ(controller.get_message().text, L"working");
}

// Comparing a large file by content tells a controlling interface what is going on.
TEST_F(SynchronizeTest, ContentComparisonOfALargeFilePublishesProgress) {
  struct Case {
    std::size_t bytes;
    bool published;
  };
  for (const Case c : {Case{1000000, false}, Case{1000001, true}}) {
    Config::unload();
    test::write_file(source / "a.bin", std::string(c.bytes, 'a'));
    test::write_file(target / "a.bin", std::string(c.bytes, 'a'));
    add_item(L"compare", 0);
    behaviours[L"compare"] = [&](const ItemRun&) {
      CompareItems content;
      content.criteria = {CompareItem::Content};
      FileDifference difference(util::from_path(source / "a.bin"), util::from_path(target / "a.bin"),
                                content, SSHPATH::None, false);
      (void)difference();
    };
    Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background);
    controller.wait();
    const SyncMessage message = controller.get_message();
    EXPECT_EQ(!message.text.empty(), c.published) << c.bytes;
    if (c.published) {
      EXPECT_EQ(message.total, c.bytes);
    }
  }
}

// Tree items run the real tree synchroniser; a controlling interface sees which folder and
// file a long first copy is working on.
TEST_F(SynchronizeTest, ATreeCopyNamesTheFolderAndFileBeingCopied) {
  test::write_file(source / "photos" / "2024" / "beach.jpg", "sand");
  add_item(L"tree", 0, [](SyncItem& item) { item.type = SyncItemType::Tree; });
  Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background);
  controller.wait();
  EXPECT_EQ(test::read_file(target / "photos" / "2024" / "beach.jpg"), "sand");
  const SyncMessage message = controller.get_message();
  EXPECT_EQ(message.text, translation::translate("copying_file") + L"\n" +
                              util::from_path(source / "photos" / "2024") + L"\nbeach.jpg");
  EXPECT_EQ(message.total, 4u);
}

TEST_F(SynchronizeTest, ContinuousPassesRepeatEverySecond) {
  add_item(L"hourly", 3600);
  add_item(L"every pass", 0);
  Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background);
  ASSERT_TRUE(test::wait_until([&] { return runs_of("every pass") >= 3; }, 10s));
  EXPECT_EQ(runs_of("hourly"), 1);
}

TEST_F(SynchronizeTest, PlanRunsEveryEnabledItemAndChangesNothing) {
  auto planned_recently = [](SyncItem& item) {
    item.set_last_sync();
    item.flags.backupProof = true;
  };
  add_item(L"a", 3600, planned_recently);
  add_item(L"b", 3600, planned_recently);
  add_item(L"off", 3600, [](SyncItem& item) { item.flags.enabled = false; });
  Config::instance().settings.BackupProofPath = util::from_path(proof);
  const auto last_sync_before = Config::instance().find_by_name(L"a")->last_sync;
  auto plan_350 = [](const ItemRun& run) {
    for (int i = 0; i < 350; ++i) {
      plan_step({run.item.name, i % 7 == 0 ? PlannedAction::DeleteTarget : PlannedAction::CopyToTarget,
                 L"s", L"t", 10});
    }
  };
  behaviours[L"a"] = plan_350;
  behaviours[L"b"] = plan_350;

  Synchronize& controller = Synchronize::create(SyncType::Plan, nullptr, SyncRole::Background);
  controller.wait();
  EXPECT_EQ(controller.plan().count(), 700u);
  EXPECT_EQ(controller.plan().steps().size(), 625u);
  EXPECT_EQ(controller.plan().counts()[static_cast<int>(PlannedAction::DeleteTarget)], 100u);
  EXPECT_EQ(controller.plan().bytes(), 600u * 10);
  EXPECT_EQ(plan_only, (std::vector<bool>{true, true}));
  EXPECT_EQ(Config::instance().find_by_name(L"a")->last_sync, last_sync_before);
  EXPECT_FALSE(last_run(L"a").has_value());
  EXPECT_FALSE(fs::exists(proof));
}

TEST_F(SynchronizeTest, CountFilesOnlyCounts) {
  add_item(L"a", 0);
  add_item(L"b", 0);
  behaviours[L"a"] = behaviours[L"b"] = [](const ItemRun& run) { run.files += 3; };
  Synchronize& controller = Synchronize::create(SyncType::CountFiles, nullptr, SyncRole::Background);
  controller.wait();
  EXPECT_EQ(controller.count_files(), 6u);
  EXPECT_EQ(plan_only, (std::vector<bool>{true, true}));
  EXPECT_FALSE(last_run(L"a").has_value());
}

TEST_F(SynchronizeTest, UnreachableItemIsReportedOncePerOutage) {
  Config::instance().settings.BackupProofPath = util::from_path(proof);
  add_item(L"loud", 0, [&](SyncItem& item) {
    item.source(util::from_path(dir / "missing"));
    item.flags.backupProof = true;
  });
  add_item(L"quiet", 0, [&](SyncItem& item) {
    item.source(util::from_path(dir / "missing too"));
    item.flags.backupProof = true;
    item.flags.warnIfUnreachable = false;
  });
  Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background);
  ASSERT_TRUE(test::wait_until(
      [&] { return capture.count_lines("Synchronize::sync_item: quiet") >= 3; }, 10s));
  Synchronize::destroy();

  const std::string loud_text = "source_or_target_not_reachable" + (dir / "missing").string() +
                                " -> " + target.string();
  EXPECT_EQ(capture.count_lines("Warning\t" + loud_text), 1u);
  EXPECT_EQ(capture.count_lines("Info\tsource_or_target_not_reachable"), 1u);
  EXPECT_EQ(runs_of("loud"), 0);
  EXPECT_EQ(last_run(L"loud"), (LastRun{false, 0, L""})) << "later passes report nothing new";

  const std::string record = test::read_file(copy_log_file_path(proof, L"loud"));
  EXPECT_EQ(std::regex_search(record, std::regex("backup_proof_status_failed")), true) << record;
  EXPECT_EQ(record.find(loud_text), record.rfind(loud_text)) << "exactly one record:\n" << record;
  EXPECT_FALSE(fs::exists(copy_log_file_path(proof, L"quiet"))) << "nothing happened";
}

TEST_F(SynchronizeTest, RunReportsReachConfigurationAndBackupProof) {
  Config::instance().settings.BackupProofPath = util::from_path(proof);
  auto with_proof = [](SyncItem& item) { item.flags.backupProof = true; };
  add_item(L"busy", 0, with_proof);
  add_item(L"idle", 0, with_proof);
  add_item(L"troubled", 0, with_proof);
  behaviours[L"busy"] = [](const ItemRun& run) {
    run.files += 2;
    report_sync_volume(1234);
  };
  behaviours[L"troubled"] = [](const ItemRun&) {
    for (int i = 0; i < 150; ++i) report_sync_error(L"error " + std::to_wstring(i));
  };
  pass();

  const std::string busy = test::read_file(copy_log_file_path(proof, L"busy"));
  EXPECT_TRUE(std::regex_search(busy, std::regex(R"("backup_proof_field_files":\s*"2")"))) << busy;
  EXPECT_TRUE(std::regex_search(busy, std::regex(R"("backup_proof_field_volume":\s*"1234")"))) << busy;
  EXPECT_TRUE(std::regex_search(busy, std::regex("backup_proof_status_successful"))) << busy;
  EXPECT_FALSE(fs::exists(copy_log_file_path(proof, L"idle")));
  EXPECT_EQ(last_run(L"troubled"), (LastRun{true, 101, L"error 0"}));
  EXPECT_TRUE(fs::exists(copy_log_file_path(proof, L"troubled")));
}

TEST_F(SynchronizeTest, FileItemLearnsWhetherItsTargetIsAFolder) {
  struct Case {
    const char* name;
    fs::path target;
    bool is_dir;
  };
  test::write_file(dir / "plain file", "x");
  for (const Case& c : {Case{"folder", target, true}, Case{"file", dir / "plain file", false}}) {
    Config::unload();
    add_item(L"file item", 0, [&](SyncItem& item) {
      item.type = SyncItemType::File;
      item.source(util::from_path(dir / "plain file"));
      item.target(util::from_path(c.target));
    });
    pass();
    std::lock_guard lock(mutex);
    EXPECT_EQ(last_target_is_dir, c.is_dir) << c.name;
  }
  EXPECT_EQ(runs_of("file item"), 2);
}

TEST_F(SynchronizeTest, StopEndsALongRunAtOnce) {
  std::atomic<bool> started{false};
  add_item(L"long", 0);
  behaviours[L"long"] = [&](const ItemRun&) {
    started = true;
    while (!Synchronize::stopping()) std::this_thread::sleep_for(5ms);
  };
  Synchronize& controller = Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background);
  ASSERT_TRUE(test::wait_until([&] { return started.load(); }, 10s));
  Synchronize::stop();
  EXPECT_TRUE(Synchronize::stopping());
  controller.wait();
  EXPECT_EQ(capture.count_lines("End of Synchronize::operator()()"), 1u);
}

TEST_F(SynchronizeTest, NewestProgressMessageWins) {
  EXPECT_THROW(Synchronize::instance(), std::runtime_error);
  try {
    Synchronize::instance();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "no_sync_active");
  }
  Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background);
  controller.wait();
  Synchronize::set_progress_message(L"first", L"", 1);
  Synchronize::set_progress_message(L"second", L"", 2);
  Synchronize::report_copied_bytes(99);
  Synchronize::set_progress_message(L"third", L"detail", 3);
  EXPECT_EQ(controller.copied_bytes(), 0u) << "a new message starts a new file";
  EXPECT_EQ(controller.get_message(), SyncMessage(L"third", L"detail", 0, 3));
  EXPECT_EQ(controller.get_message(), SyncMessage());
}

// A daemon has no reader of its progress messages: one per copied file must not pile up.
TEST_F(SynchronizeTest, UnreadProgressMessagesDoNotPileUp) {
  Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background);
  controller.wait();
  for (int file = 0; file < 100000; ++file) {
    Synchronize::set_progress_message(L"copying " + std::to_wstring(file), L"", file);
  }
  EXPECT_LE(controller.pending_messages(), 16u);
  EXPECT_EQ(controller.get_message().text, L"copying 99999");
}

}  // namespace
}  // namespace TWL_Core
