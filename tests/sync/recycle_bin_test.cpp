#include "sync/recycle_bin.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/synchronize.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What an operation returned and logged, each line as "<level>\t<text>".
struct Outcome {
  bool result = false;
  std::vector<std::string> log;
  bool operator==(const Outcome&) const = default;
};

std::string describe(const Outcome& outcome) {
  std::string text = outcome.result ? "true" : "false";
  for (const auto& line : outcome.log) text += "\n  " + line;
  return text;
}

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << describe(outcome); }

std::string level_and_text(const std::string& line) {
  const auto tab = line.find('\t');
  return line.substr(line.rfind(' ', tab) + 1);
}

// Runs `action` with a fresh log file, so that no earlier line suppresses a repeated one.
Outcome outcome_of(const std::function<bool()>& action) {
  const test::LogCapture capture;
  Outcome outcome;
  outcome.result = action();
  for (const auto& line : capture.lines()) outcome.log.push_back(level_and_text(line));
  return outcome;
}

std::string error_line(const char* key, const fs::path& path) {
  return "Error\t" + translation::translate_utf8(key) + " " + path.string();
}

std::vector<std::string> sorted(const std::vector<fs::path>& paths) {
  std::vector<std::string> names;
  for (const auto& path : paths) names.push_back(path.generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a folder the working folder until the end of the scope.
class WorkingFolder {
 public:
  explicit WorkingFolder(const fs::path& path) : previous_(fs::current_path()) {
    fs::current_path(path);
  }
  ~WorkingFolder() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
  }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

 private:
  fs::path previous_;
};

// Every case runs in its own process, so the bin is configured afresh for each.
class RecycleBinTest : public ::testing::Test {
 protected:
  RecycleBinTest() {
    test::use_english_catalogue(test::build_locale_dir());
    Logging::instance().set_log_level(LogLevel::Debug);
    bin.bin_path(bin_dir);
  }

  test::TempDir dir;
  const fs::path bin_dir = dir / "bin";
  RecycleBin& bin = RecycleBin::instance();
};

TEST_F(RecycleBinTest, ItemPathsOutsideTheBinAreRefused) {
  struct Case {
    const char* item_path;
    const char* key;
  };
  const Case cases[] = {
      {"", "recycle_bin_absolute_path"},           {"/abs/x", "recycle_bin_absolute_path"},
      {"../x", "recycle_bin_path_escapes"},        {"a/../../x", "recycle_bin_path_escapes"},
      {"./a/./../..", "recycle_bin_path_escapes"},
  };
  const fs::path file = dir / "file.txt";
  test::write_file(file, "keep");
  for (const auto& c : cases) {
    const Outcome refused{false, {error_line(c.key, c.item_path)}};
    EXPECT_EQ(outcome_of([&] { return bin.add_item(file, c.item_path); }), refused) << c.item_path;
    EXPECT_EQ(outcome_of([&] { return bin.restore_item(c.item_path); }), refused) << c.item_path;
  }
  EXPECT_EQ(test::read_file(file), "keep");
  EXPECT_FALSE(fs::exists(bin_dir));
}

TEST_F(RecycleBinTest, ItemsAreStoredBelowTheBinUnderTheirNormalisedPath) {
  struct Case {
    const char* item_path;
    const char* stored_as;
  };
  const Case cases[] = {
      {"a/../x", "x"},
      {"./d/./y", "d/y"},
      {"Users/a/2024-03-05_14-03-07-045_notes.txt", "Users/a/2024-03-05_14-03-07-045_notes.txt"},
  };
  for (const auto& c : cases) {
    const fs::path file = dir / "source" / "file.txt";
    test::write_file(file, c.item_path);
    const Outcome moved{true, {"Debug\tPapierkorb: verschoben " + file.string()}};
    EXPECT_EQ(outcome_of([&] { return bin.add_item(file, c.item_path); }), moved) << c.item_path;
    EXPECT_FALSE(fs::exists(file)) << c.item_path;
    EXPECT_EQ(test::read_file(bin_dir / c.stored_as), c.item_path);
  }
}

TEST_F(RecycleBinTest, AddingAMissingFileIsRefused) {
  const fs::path missing = dir / "missing.txt";
  EXPECT_EQ(outcome_of([&] { return bin.add_item(missing, "missing.txt"); }),
            (Outcome{false, {error_line("recycle_bin_file_not_exist", missing)}}));
  EXPECT_FALSE(fs::exists(bin_dir));
}

TEST_F(RecycleBinTest, LinksAndFoldersAreMovedAsTheyAre) {
  fs::create_symlink("nowhere", dir / "dangling");
  test::write_file(dir / "tree" / "sub" / "f.txt", "inner");

  EXPECT_TRUE(bin.add_item(dir / "dangling", "links/dangling"));
  EXPECT_TRUE(bin.add_item(dir / "tree", "folders/tree"));

  EXPECT_EQ(fs::read_symlink(bin_dir / "links" / "dangling"), "nowhere");
  EXPECT_EQ(test::read_file(bin_dir / "folders" / "tree" / "sub" / "f.txt"), "inner");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "dangling")));
  EXPECT_FALSE(fs::exists(dir / "tree"));
}

TEST_F(RecycleBinTest, BinFolderThatCannotBeCreatedIsAFatalError) {
  test::write_file(dir / "blocker", "a file, not a folder");
  bin.bin_path(dir / "blocker" / "bin");
  const fs::path file = dir / "file.txt";
  test::write_file(file, "keep");

  const std::string text = translation::translate_utf8("recycle_bin_dir_not_creatable");
  EXPECT_EQ(
      outcome_of([&] { return bin.add_item(file, "a/file.txt"); }),
      (Outcome{false, {"FatalError\t" + text + " " + (dir / "blocker" / "bin" / "a").string()}}));
  EXPECT_EQ(test::read_file(file), "keep");
}

TEST_F(RecycleBinTest, ItemsGoInAndComeBackToTheWorkingFolder) {
  test::TempDir work;
  const WorkingFolder in_work(work.path());
  test::write_file(work / "docs" / "a.txt", "alpha");
  test::write_file(work / "b.txt", "beta");
  const auto time = fs::last_write_time("docs/a.txt") - 72h;
  fs::last_write_time("docs/a.txt", time);

  EXPECT_TRUE(bin.add_item("docs/a.txt"));
  EXPECT_TRUE(bin.add_item("b.txt"));
  EXPECT_EQ(sorted(bin.list_items()), (std::vector<std::string>{"b.txt", "docs/a.txt"}));
  EXPECT_FALSE(fs::exists("docs/a.txt"));
  EXPECT_FALSE(fs::exists("b.txt"));

  fs::remove("docs");
  EXPECT_EQ(outcome_of([&] { return bin.restore_item("docs/./a.txt"); }),
            (Outcome{true, {"Debug\tPapierkorb: wiederhergestellt docs/a.txt"}}));
  EXPECT_EQ(test::read_file("docs/a.txt"), "alpha");
  EXPECT_EQ(fs::last_write_time("docs/a.txt"), time);
  EXPECT_EQ(sorted(bin.list_items()), std::vector<std::string>{"b.txt"});
}

TEST_F(RecycleBinTest, RestoreNeverReplacesWhatIsThere) {
  test::TempDir work;
  const WorkingFolder in_work(work.path());
  test::write_file(work / "x.txt", "in the bin");
  ASSERT_TRUE(bin.add_item("x.txt"));
  test::write_file(work / "x.txt", "new");

  EXPECT_EQ(outcome_of([&] { return bin.restore_item("x.txt"); }),
            (Outcome{false, {error_line("recycle_bin_target_exists", "x.txt")}}));
  EXPECT_EQ(test::read_file("x.txt"), "new");
  EXPECT_EQ(test::read_file(bin_dir / "x.txt"), "in the bin");
}

TEST_F(RecycleBinTest, RestoringAnItemThatIsNotInTheBinIsRefused) {
  test::TempDir work;
  const WorkingFolder in_work(work.path());
  EXPECT_EQ(outcome_of([&] { return bin.restore_item("ghost.txt"); }),
            (Outcome{false, {error_line("recycle_bin_file_not_inside", "ghost.txt")}}));
  EXPECT_FALSE(fs::exists("ghost.txt"));
}

TEST_F(RecycleBinTest, ListingShowsEverythingButFolders) {
  test::write_file(bin_dir / "f.txt", "");
  test::write_file(bin_dir / "sub" / "g.txt", "");
  fs::create_directories(bin_dir / "empty");
  fs::create_symlink("sub", bin_dir / "link_to_folder");
  fs::create_symlink("nowhere", bin_dir / "dangling");

  EXPECT_EQ(sorted(bin.list_items()), (std::vector<std::string>{"dangling", "f.txt", "sub/g.txt"}));
}

TEST_F(RecycleBinTest, ListingABinThatDoesNotExistGivesNothing) {
  EXPECT_EQ(outcome_of([&] { return bin.list_items().empty(); }), (Outcome{true, {}}));
}

TEST_F(RecycleBinTest, ListingABinThatIsNoFolderIsAnError) {
  test::write_file(bin_dir, "a file");
  EXPECT_EQ(outcome_of([&] { return bin.list_items().empty(); }),
            (Outcome{true, {error_line("recycle_bin_dir_unreadable", bin_dir)}}));
}

// Collects the failed checks of a child process as text.
class Findings {
 public:
  void check(bool ok, const std::string& what) {
    if (!ok) text_ += what + "\n";
  }
  void expect_eq(const Outcome& actual, const Outcome& expected, const std::string& what) {
    check(actual == expected,
          what + ": got " + describe(actual) + "\nwanted " + describe(expected));
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

struct ChildReport {
  bool isolated = false;  // the child had a mount table of its own
  std::string text;       // the body's findings, or why the child could not be isolated
};

constexpr int NOT_ISOLATED = 3;

void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

std::string read_all(int fd) {
  std::string text;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

[[noreturn]] void run_child(int report_fd, const std::function<std::string()>& body) {
  int status = 0;
  std::string text;
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    status = NOT_ISOLATED;
    text = std::strerror(errno);
  } else {
    try {
      text = body();
    } catch (const std::exception& e) {
      text = std::string("exception: ") + e.what();
    }
  }
  write_all(report_fd, text);
  ::_exit(status);
}

// Runs `body` in a child process with a mount table of its own, so that the file systems it
// mounts are seen by nobody else and vanish with it.
ChildReport run_with_private_mounts(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {false, std::string("pipe: ") + std::strerror(errno)};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    run_child(fds[1], body);
  }
  ::close(fds[1]);
  ChildReport report{true, read_all(fds[0])};
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return {false, "fork or wait failed"};
  if (WIFEXITED(status) && WEXITSTATUS(status) == NOT_ISOLATED)
    report.isolated = false;
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    report.text += "\nchild ended abnormally";
  return report;
}

std::string mount_tmpfs(const fs::path& at, const char* options) {
  fs::create_directories(at);
  if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0) return "";
  return "mount tmpfs on " + at.string() + ": " + std::strerror(errno);
}

// Runs `body` in a child process with its own mount table and expects it to find nothing
// wrong; skips the test where a second file system cannot be mounted.
void expect_clean_run_with_private_mounts(const std::function<std::string()>& body) {
  if (::geteuid() != 0) GTEST_SKIP() << "a second file system can only be mounted as root";
  const ChildReport report = run_with_private_mounts(body);
  if (!report.isolated) GTEST_SKIP() << "no private mount table: " << report.text;
  EXPECT_EQ(report.text, "");
}

TEST_F(RecycleBinTest, ItemsFromAnotherVolumeAreCopiedWithTheirTimesAndRemoved) {
  expect_clean_run_with_private_mounts([&] {
    const fs::path other = dir / "other";
    if (auto error = mount_tmpfs(other, "size=1m"); !error.empty()) return error;
    test::write_file(other / "f.txt", "file content");
    test::write_file(other / "tree" / "sub" / "g.txt", "inner content");
    const auto time = fs::last_write_time(other / "f.txt") - 72h;
    fs::last_write_time(other / "f.txt", time);
    fs::last_write_time(other / "tree" / "sub" / "g.txt", time - 1h);

    Findings findings;
    findings.check(bin.add_item(other / "f.txt", "f.txt"), "file added");
    findings.check(bin.add_item(other / "tree", "tree"), "folder added");
    findings.check(test::read_file(bin_dir / "f.txt") == "file content", "file copied");
    findings.check(fs::last_write_time(bin_dir / "f.txt") == time, "file time kept");
    findings.check(test::read_file(bin_dir / "tree" / "sub" / "g.txt") == "inner content",
                   "folder copied");
    findings.check(fs::last_write_time(bin_dir / "tree" / "sub" / "g.txt") == time - 1h,
                   "time inside the folder kept");
    findings.check(fs::is_empty(other), "originals removed");
    return findings.text();
  });
}

TEST_F(RecycleBinTest, CopyThatDoesNotFitLeavesNothingInTheBin) {
  expect_clean_run_with_private_mounts([&] {
    if (auto error = mount_tmpfs(bin_dir, "size=64k"); !error.empty()) return error;
    const std::string big(1 << 20, 'b');
    test::write_file(dir / "big.bin", big);
    test::write_file(dir / "tree" / "small.txt", "small");
    test::write_file(dir / "tree" / "z_big.bin", big);

    Findings findings;
    for (const char* name : {"big.bin", "tree"}) {
      const Outcome outcome = outcome_of([&] { return bin.add_item(dir / name, name); });
      const std::string start = "Error\t" + translation::translate_utf8("recycle_bin_move_failed") +
                                " " + (dir / name).string() + " " + (bin_dir / name).string() + " ";
      findings.check(
          !outcome.result && outcome.log.size() == 1 && outcome.log[0].starts_with(start),
          std::string(name) + " refused: " + describe(outcome));
      findings.check(!fs::exists(bin_dir / name), std::string(name) + " left nothing in the bin");
    }
    findings.check(test::read_file(dir / "big.bin") == big, "file kept");
    findings.check(test::read_file(dir / "tree" / "z_big.bin") == big, "folder kept");
    return findings.text();
  });
}

TEST_F(RecycleBinTest, OriginalThatCannotBeRemovedStaysBesideItsCopy) {
  expect_clean_run_with_private_mounts([&] {
    const fs::path read_only = dir / "read_only";
    if (auto error = mount_tmpfs(read_only, "size=1m"); !error.empty()) return error;
    test::write_file(read_only / "f.txt", "content");
    if (::mount(nullptr, read_only.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return std::string("remount read-only: ") + std::strerror(errno);
    }

    Findings findings;
    findings.expect_eq(
        outcome_of([&] { return bin.add_item(read_only / "f.txt", "f.txt"); }),
        {false, {error_line("recycle_bin_source_not_deletable", read_only / "f.txt")}}, "add_item");
    fs::remove(bin_dir / "f.txt");
    findings.check(bin.move_in(read_only / "f.txt", "f.txt", [] { return false; }) ==
                       BinMove::CopiedOriginalKept,
                   "told apart from a failure");
    findings.check(test::read_file(read_only / "f.txt") == "content", "original kept");
    findings.check(test::read_file(bin_dir / "f.txt") == "content", "copy kept");
    return findings.text();
  });
}

TEST_F(RecycleBinTest, AStopDuringACopyFromAnotherVolumeLeavesTheOriginalAndNoPartialCopy) {
  expect_clean_run_with_private_mounts([&] {
    const fs::path other = dir / "other";
    if (auto error = mount_tmpfs(other, "size=80m"); !error.empty()) return error;
    std::string big(32 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
    test::write_file(other / "big.bin", big);
    test::write_file(other / "tree" / "a.txt", "first");
    test::write_file(other / "tree" / "z.bin", big);

    Findings findings;
    for (const char* name : {"big.bin", "tree"}) {
      int asked = 0;
      // Asked before every block; the stop comes while the big file is half copied.
      const auto stop_after_some_blocks = [&] { return ++asked > 20; };
      const BinMove result = bin.move_in(other / name, name, stop_after_some_blocks);
      findings.check(result == BinMove::Cancelled, std::string(name) + " move stopped");
      findings.check(asked == 21, std::string(name) +
                                      " not asked again after the stop: " + std::to_string(asked));
      findings.check(!fs::exists(bin_dir / name), std::string(name) + " left nothing in the bin");
    }
    findings.check(test::read_file(other / "big.bin") == big, "file whole");
    findings.check(test::read_file(other / "tree" / "a.txt") == "first", "folder whole");
    findings.check(test::read_file(other / "tree" / "z.bin") == big, "file in the folder whole");

    // The controller's stop is what add_item listens to.
    Synchronize::stop();
    findings.check(!bin.add_item(other / "big.bin", "big.bin"), "add_item stopped");
    findings.check(!fs::exists(bin_dir / "big.bin"), "stopped add_item left nothing");
    findings.check(test::read_file(other / "big.bin") == big, "stopped add_item kept the file");
    return findings.text();
  });
}

// The default takes effect only in a process whose bin has not been used yet.
TEST(RecycleBinDefaultTest, LiesInTheHomeFolder) {
  ::setenv("HOME", "/home/anna", 1);
  EXPECT_EQ(RecycleBin::instance().bin_path(), fs::path("/home/anna/.recyclebin"));
}

TEST(RecycleBinDefaultTest, IsRelativeToTheWorkingFolderWithAnEmptyHome) {
  ::setenv("HOME", "", 1);
  EXPECT_EQ(RecycleBin::instance().bin_path(), fs::path(".recyclebin"));
}

TEST(FatherSonBackupTest, RecognisesNumberedGenerationsOnly) {
  struct Case {
    const wchar_t* name;
    bool expected;
  };
  const Case cases[] = {
      {L"report.txt.bak.3", true},
      {L"a.bak.1.bak.12", true},
      {L"x.bak.007", true},
      {L"report.txt.bak.", false},
      {L"report.txt.bak.1a", false},
      {L".bak.3", false},
      {L"report.txt.bak", false},
      {L"a.bak.1.bak.", false},
      {L"a.bak.12 ", false},
      {L"a.bak.\u0661", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(father_son_backup(c.name), c.expected)
        << "name: " << testing::PrintToString(std::wstring(c.name));
  }
}

}  // namespace
}  // namespace TWL_Core
