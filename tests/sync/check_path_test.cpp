#include "sync/check_path.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "remote/ssh_account.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scripted_remote.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* CACHED = "CheckPath: cached result for ";

std::wstring wide(const fs::path& path) { return util::string_to_wstring(path.string()); }

// "<level>\t<text>" of a log line.
std::string level_and_text(const std::string& line) {
  const auto tab = line.find('\t');
  return line.substr(line.rfind(' ', tab) + 1);
}

// The lines of `capture` at Info and above, as "<level>\t<text>".
std::vector<std::string> reported(const test::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const auto& line : capture.lines()) {
    const auto entry = level_and_text(line);
    if (entry.rfind("Debug\t", 0) != 0) lines.push_back(entry);
  }
  return lines;
}

CheckedSide local(const fs::path& path) { return {wide(path), PathType::Filesystem}; }

class CheckPathTest : public ::testing::Test {
 protected:
  CheckPathTest() {
    test::use_english_catalogue(test::build_locale_dir());
    Logging::instance().set_log_level(LogLevel::Debug);
    fs::create_directory(source_);
    fs::create_directory(target_);
  }
  ~CheckPathTest() override { Config::unload(); }

  struct Answer {
    bool reachable;
    bool cached;
  };

  Answer ask() {
    const auto before = capture_.count(CACHED);
    const bool reachable = check_(local(source_), local(asked_target_));
    return {reachable, capture_.count(CACHED) > before};
  }

  // Expects the pair's answer to come from the cache until `interval` has passed since the
  // last real check (just before it, the fraction of a second does not count), and a real
  // check with the answer `now_reachable` right at it.
  void expect_recheck_after(std::chrono::seconds interval, bool cached_answer, bool now_reachable) {
    clock_.advance(interval - 1ms);
    const Answer early = ask();
    EXPECT_TRUE(early.cached) << "at " << interval.count() << " s less 1 ms";
    EXPECT_EQ(early.reachable, cached_answer) << "at " << interval.count() << " s less 1 ms";
    clock_.advance(1ms);
    const Answer due = ask();
    EXPECT_FALSE(due.cached) << "at " << interval.count() << " s";
    EXPECT_EQ(due.reachable, now_reachable) << "at " << interval.count() << " s";
  }

  test::TempDir dir_;
  const fs::path source_ = dir_ / "source";
  const fs::path target_ = dir_ / "target";
  test::FakeClock clock_;
  CheckPath check_{clock_.reader()};
  test::LogCapture capture_;
  fs::path asked_target_ = target_;  // the target of the pair that ask() checks
};

TEST(NextCheckIntervalTest, DoublesUpToTheCapAndRestartsOnChange) {
  struct Case {
    std::uint16_t current;
    bool unchanged;
    bool reachable;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {2, true, true, 4},        {1024, true, true, 2048},  {2048, true, true, 3600},
      {3600, true, true, 3600},  {65535, true, true, 3600}, {2, true, false, 4},
      {128, true, false, 256},   {256, true, false, 300},   {300, true, false, 300},
      {65535, true, false, 300}, {3600, false, true, 2},    {300, false, false, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(next_check_interval(c.current, c.unchanged, c.reachable), c.expected)
        << "current " << c.current << ", unchanged " << c.unchanged << ", reachable "
        << c.reachable;
  }
}

TEST_F(CheckPathTest, StableAnswerIsRecheckedAtDoublingIntervalsUpToItsCap) {
  struct Case {
    bool reachable;
    std::vector<std::chrono::seconds> intervals;
  };
  const Case cases[] = {
      {true, {2s, 4s, 8s, 16s, 32s, 64s, 128s, 256s, 512s, 1024s, 2048s, 3600s, 3600s}},
      {false, {2s, 4s, 8s, 16s, 32s, 64s, 128s, 256s, 300s, 300s}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reachable ? "reachable" : "unreachable");
    asked_target_ = c.reachable ? target_ : dir_ / "missing";
    EXPECT_FALSE(ask().cached) << "first question";
    for (const auto interval : c.intervals)
      expect_recheck_after(interval, c.reachable, c.reachable);
  }
}

TEST_F(CheckPathTest, ChangedAnswerIsRecheckedAfterTwoSeconds) {
  EXPECT_FALSE(ask().cached);
  expect_recheck_after(2s, true, true);
  expect_recheck_after(4s, true, true);

  fs::remove(target_);
  expect_recheck_after(8s, true, false);
  EXPECT_EQ(capture_.count("Target cannot be reached: " + target_.string()), 1u);

  // A pair that keeps changing is asked every two seconds.
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool now_reachable = round % 2 == 0;
    if (now_reachable) {
      fs::create_directory(target_);
    } else {
      fs::remove(target_);
    }
    expect_recheck_after(2s, !now_reachable, now_reachable);
  }
}

TEST_F(CheckPathTest, CacheKeepsPairsAndEndpointTypesApart) {
  const CheckedSide source = local(source_);
  const CheckedSide target = local(target_);
  EXPECT_TRUE(check_(source, target));
  EXPECT_EQ(capture_.count(CACHED), 0u);

  EXPECT_TRUE(check_(source, target));
  EXPECT_EQ(capture_.count(std::string(CACHED) + source_.string() + "|" + target_.string()), 1u);

  EXPECT_TRUE(check_(target, source));
  EXPECT_EQ(capture_.count(CACHED), 1u) << "the reversed pair is another pair";

  EXPECT_FALSE(check_(CheckedSide{source.path, PathType::Ssh}, target));
  EXPECT_EQ(capture_.count(CACHED), 1u) << "the same text as a remote side is another pair";
}

TEST_F(CheckPathTest, EveryMissingLocalSideIsReported) {
  struct Case {
    const char* name;
    bool source_exists;
    bool target_exists;
  };
  const Case cases[] = {
      {"both there", true, true},
      {"source missing", false, true},
      {"target missing (not created here)", true, false},
      {"both missing", false, false},
  };
  for (const auto& c : cases) {
    const fs::path source = c.source_exists ? source_ : dir_ / "no-source";
    const fs::path target = c.target_exists ? target_ : dir_ / "no-target";
    std::vector<std::string> expected;
    if (!c.source_exists) expected.push_back("Info\tSource cannot be reached: " + source.string());
    if (!c.target_exists) expected.push_back("Info\tTarget cannot be reached: " + target.string());

    const test::LogCapture capture;
    EXPECT_EQ(check_.both_sides_reachable(local(source), local(target)),
              c.source_exists && c.target_exists)
        << c.name;
    EXPECT_EQ(reported(capture), expected) << c.name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "no-target"));
}

TEST_F(CheckPathTest, LocalSideIsAnythingThatExistsFollowingLinks) {
  test::write_file(dir_ / "file.txt", "x");
  fs::create_directory(dir_ / "a:b");
  fs::create_directory_symlink(target_, dir_ / "link");
  fs::create_symlink(dir_ / "gone", dir_ / "dangling");
  Config::instance().add(SshAccount("nas", "127.0.0.1", "anna", "secret"), true);

  struct Case {
    std::wstring path;
    bool expected;
  };
  const Case cases[] = {
      {wide(target_), true},
      {wide(dir_ / "file.txt"), true},
      {wide(dir_ / "a:b"), true},
      {wide(dir_ / "link"), true},
      {wide(dir_ / "dangling"), false},
      {wide(dir_ / "missing"), false},
      {L"", false},
      {L"NAS:/data", false},
      {L"nas:/data", false},  // names an account, but the endpoint says it is local
  };
  for (const auto& c : cases) {
    const test::LogCapture capture;
    EXPECT_EQ(check_.side_reachable(CheckedSide{c.path, PathType::Filesystem}, true), c.expected)
        << util::wstring_to_string(c.path);
    EXPECT_EQ(capture.count("CheckPath::path_exists()"), 1u) << util::wstring_to_string(c.path);
    EXPECT_EQ(capture.count("ssh_path_reachable"), 0u) << util::wstring_to_string(c.path);
  }
}

TEST_F(CheckPathTest, RemoteSideThatCannotBeReachedIsReportedWithItsReason) {
  Config::instance().add(SshAccount("nas", "127.0.0.1", "anna", "secret"), true);
  for (const bool is_source : {true, false}) {
    const test::LogCapture capture;
    EXPECT_FALSE(check_.side_reachable(CheckedSide{L"nas:/srv/data", PathType::Ssh}, is_source))
        << is_source;
    EXPECT_EQ(capture.count("ssh_path_reachable: nas:/srv/data"), 1u);
    EXPECT_EQ(capture.count("CheckPath::path_exists()"), 0u);
    const auto lines = reported(capture);
    ASSERT_EQ(lines.size(), 1u) << is_source;
    const std::string prefix = "Info\tThe remote path cannot be reached: nas:/srv/data - ";
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), prefix.size()) << "no reason given";
  }

  const test::LogCapture capture;
  EXPECT_FALSE(check_(CheckedSide{L"nas:/srv/data", PathType::Ssh}, local(target_)));
  EXPECT_EQ(capture.count("Source cannot be reached: nas:/srv/data"), 1u);
}

// The host is asked through the remote access: a login for either side, the path itself only
// for a source. "Does not exist" only where the host said so.
TEST_F(CheckPathTest, RemoteSidesAreAskedThroughTheRemoteAccess) {
  Config::instance().add(SshAccount("nas", "scripted", "anna", "secret"), true);
  fs::create_directories(source_);
  const struct {
    const char* name;
    fs::path path;
    bool is_source;
    bool host_lost;
    bool reachable;
    const char* logged;
  } cases[] = {
      {"existing source", source_, true, false, true, nullptr},
      {"missing source", dir_ / "absent", true, false, false, "ssh_path_not_exist"},
      {"missing target", dir_ / "absent", false, false, true, nullptr},
      {"lost host, source", source_, true, true, false, "ssh_path_not_reachable"},
      {"lost host, target", dir_ / "absent", false, true, false, "ssh_path_not_reachable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedRemote remote;
    if (c.host_lost) remote.lose_connection_after(0);
    CheckPath check(clock_.reader(), &remote);
    const test::LogCapture capture;
    EXPECT_EQ(check.side_reachable(CheckedSide{L"nas:" + util::from_path(c.path), PathType::Ssh},
                                   c.is_source),
              c.reachable);
    if (c.logged != nullptr) {
      EXPECT_EQ(capture.count_lines("Info\t" + translation::translate_utf8(c.logged)), 1u);
    }
  }
}

TEST_F(CheckPathTest, RemoteEndpointWithoutAccountIsAnErrorEvenWhereALocalPathExists) {
  fs::create_directory(dir_ / "ghost:");
  const std::wstring path = wide(dir_ / "ghost:");
  const test::LogCapture capture;
  EXPECT_FALSE(check_.side_reachable(CheckedSide{path, PathType::Ssh}, true));
  EXPECT_EQ(capture.count("CheckPath::path_exists()"), 0u);
  EXPECT_EQ(reported(capture), std::vector<std::string>{"Error\tNo SSH account found for " +
                                                        util::wstring_to_string(path)});
}

TEST_F(CheckPathTest, RemotePathWithoutAccountIsAnError) {
  for (const std::wstring path : {L"ghost:/data", L"/local/path", L":/data"}) {
    const test::LogCapture capture;
    EXPECT_FALSE(check_.ssh_path_reachable(path, true)) << util::wstring_to_string(path);
    EXPECT_EQ(reported(capture), std::vector<std::string>{"Error\tNo SSH account found for " +
                                                          util::wstring_to_string(path)});
  }
}

}  // namespace
}  // namespace TWL_Core
