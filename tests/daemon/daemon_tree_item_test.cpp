// Folder and tree items synchronised by the real ternwell binary, one pass a second: each case
// builds both sides, lets the daemon run and compares the trees on disk.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/daemon/daemon_fixture.hpp"
#include "tests/support/file_tree.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::describe_tree;
using test::make_tree;

constexpr const char* TREE = "Verzeichnisbaum";
constexpr const char* FOLDER = "Verzeichnis";

// What the configured item looks like besides its two folders.
struct ItemSetup {
  std::string type = TREE;
  std::vector<std::string> flags = {};
  std::string wildcard = "*";
  std::string exclusions = {};  // the JSON array's entries
  std::string delete_mode = "Permanent";
  std::string settings = {};  // further members of "Settings"
};

// describe_tree with long contents shortened to their size and a hash, so that a failing
// comparison of a tree holding a large file stays readable.
std::string shape(const fs::path& root) {
  std::string shortened;
  for (const std::string& line : test::split_lines(describe_tree(root))) {
    const auto equals = line.find('=');
    if (equals != std::string::npos && line.size() - equals > 80) {
      const std::string content = line.substr(equals + 1);
      shortened += line.substr(0, equals) + "=<" + std::to_string(content.size()) + " bytes #" +
                   std::to_string(std::hash<std::string>{}(content)) + ">\n";
    } else {
      shortened += line + "\n";
    }
  }
  return shortened;
}

std::vector<fs::path> files_below(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  return files;
}

class DaemonTreeItemTest : public DaemonConfigTest {
 protected:
  DaemonTreeItemTest() {
    remove_stale_lock_files();
    fs::create_directories(source);
    fs::create_directories(target);
  }

  // One item from `source` to `target`, run on every pass, compared by size and time. The log
  // runs at Debug: each run of the item leaves the synchroniser's start line there.
  void configure(const ItemSetup& setup) {
    std::string flags;
    for (const char* flag : {"delAftercopy", "twoWaySync", "copyWhenTargetNewer",
                             "fatherSonPrinciple", "syncDeletions"}) {
      const bool on = std::find(setup.flags.begin(), setup.flags.end(), flag) != setup.flags.end();
      flags += "\"" + std::string(flag) + "\": " + (on ? "true" : "false") + ", ";
    }
    pass_marker = setup.type == FOLDER ? "SyncDir::operator()()" : "SyncTree::operator()()";
    write_config(R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
                   "Autostart": false, "StartSyncAtStart": true, "DeleteMode": ")" +
                 setup.delete_mode + "\"" + setup.settings + "}, " + logging_section(log, "Debug") +
                 R"(, "Syncitems": [{"name": "Documents", "type": ")" + setup.type +
                 R"(", "source": ")" + source.string() + R"(", "target": ")" + target.string() +
                 R"(", "wildcard": ")" + setup.wildcard + R"(", "exclusions": [)" +
                 setup.exclusions + R"(], "SyncCycle": 0,
                   "compareitems": {"size": "true", "time": "true"},
                   "syncflags": {)" +
                 flags + R"("enabled": true}}]})");
  }

  // Dates every file below `root` ten minutes back, so that a file written later is newer.
  static void backdate(const fs::path& root) {
    for (const fs::path& file : files_below(root)) {
      fs::last_write_time(file, fs::file_time_type::clock::now() - 600s);
    }
  }

  bool holds(const fs::path& root, const std::string& expected) const {
    return test::wait_until([&] { return shape(root) == expected; }, 20s);
  }

  bool target_matches_source() const {
    return test::wait_until([&] { return shape(target) == shape(source); }, 20s);
  }

  // Waits until `n` runs of the item that start after the call have ended: the daemon runs
  // one item at a time, so a run is over once the next one has started.
  bool wait_for_passes(std::size_t n) const {
    const std::size_t seen = count(pass_marker);
    return test::wait_until([&] { return count(pass_marker) > seen + n; },
                            std::chrono::seconds(10 + n));
  }

  // Stops the daemon and expects its log to hold no error.
  void stop_without_errors() {
    stop();
    EXPECT_EQ(count("Error\t"), 0u) << test::read_file(log);
  }

  const fs::path source = home / "documents";
  const fs::path target = home / "backup";
  std::string pass_marker;
};

TEST_F(DaemonTreeItemTest, AnEmptyTargetTakesTheSourceShapeAndLaterPassesCopyOnlyAChange) {
  make_tree(source, "a/x.txt=hello\na/b/c/deep.txt=deep\na/empty/\ntop.txt=top\n");
  std::string big(std::size_t{4} << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i >> 16) % 26);
  test::write_file(source / "a" / "b" / "big.bin", big);
  backdate(source);
  configure({});
  start();
  ASSERT_TRUE(target_matches_source()) << shape(target) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  const std::size_t copied = count("Info\tcopied_source_to_target");
  EXPECT_EQ(copied, 4u) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(3));
  EXPECT_EQ(count("Info\tcopied_source_to_target"), copied) << "nothing changed, nothing copied";

  test::write_file(source / "a" / "b" / "c" / "deep.txt", "deeper");
  ASSERT_TRUE(target_matches_source()) << shape(target) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop_without_errors();
  EXPECT_EQ(count("Info\tcopied_source_to_target"), copied + 1) << test::read_file(log);
  EXPECT_EQ(fs::last_write_time(target / "a" / "b" / "c" / "deep.txt"),
            fs::last_write_time(source / "a" / "b" / "c" / "deep.txt"));
}

// Files that exist only in the target, a level below the top, as the flags have them handled.
enum class Bin { None, Default, Configured };

struct TargetOnlyCase {
  const char* name;
  const char* flag;  // the one flag switched on; empty for none
  const char* delete_mode;
  const char* target_after;
  const char* source_after;
  Bin bin;  // where the deleted file must be found
};

void PrintTo(const TargetOnlyCase& c, std::ostream* out) { *out << c.name; }

class DaemonTreeItemTargetOnlyTest : public DaemonTreeItemTest,
                                     public ::testing::WithParamInterface<TargetOnlyCase> {};

constexpr const char* SOURCE_FILES = "a/\na/b/\na/b/y.txt=y\na/x.txt=x\n";
constexpr const char* WITH_OLD = "a/\na/b/\na/b/old.txt=old\na/b/y.txt=y\na/x.txt=x\n";

TEST_P(DaemonTreeItemTargetOnlyTest, TargetOnlyFilesAreHandledAsTheFlagsSay) {
  const TargetOnlyCase& c = GetParam();
  make_tree(source, "a/x.txt=x\na/b/y.txt=y\n");
  make_tree(target, "a/b/old.txt=old\n");
  backdate(source);
  backdate(target);
  const fs::path bin = home / (c.bin == Bin::Configured ? "bin" : ".recyclebin");
  configure({.flags = {c.flag},
             .delete_mode = c.delete_mode,
             .settings =
                 c.bin == Bin::Configured ? R"(, "RecycleBinPath": ")" + bin.string() + "\"" : ""});
  start();
  ASSERT_TRUE(holds(target, c.target_after)) << shape(target) << test::read_file(log);
  ASSERT_TRUE(holds(source, c.source_after)) << shape(source) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop_without_errors();
  EXPECT_EQ(shape(target), c.target_after);
  EXPECT_EQ(shape(source), c.source_after);
  const std::vector<fs::path> binned = files_below(bin);
  if (c.bin == Bin::None) {
    EXPECT_TRUE(binned.empty());
    return;
  }
  ASSERT_EQ(binned.size(), 1u) << test::read_file(log);
  EXPECT_EQ(binned[0].parent_path(), bin / target.relative_path() / "a" / "b")
      << "the bin keeps the folders of the file's old place";
  EXPECT_TRUE(binned[0].filename().string().ends_with("_old.txt")) << binned[0];
  EXPECT_EQ(test::read_file(binned[0]), "old");
}

INSTANTIATE_TEST_SUITE_P(
    Flags, DaemonTreeItemTargetOnlyTest,
    ::testing::Values(TargetOnlyCase{"OneWayKeeps", "", "Permanent", WITH_OLD, SOURCE_FILES,
                                     Bin::None},
                      TargetOnlyCase{"DeletionsPermanent", "syncDeletions", "Permanent",
                                     SOURCE_FILES, SOURCE_FILES, Bin::None},
                      TargetOnlyCase{"DeletionsIntoTheDefaultBin", "syncDeletions", "RecycleBin",
                                     SOURCE_FILES, SOURCE_FILES, Bin::Default},
                      TargetOnlyCase{"DeletionsIntoTheConfiguredBin", "syncDeletions", "RecycleBin",
                                     SOURCE_FILES, SOURCE_FILES, Bin::Configured},
                      TargetOnlyCase{"TwoWayCopiesBack", "twoWaySync", "Permanent", WITH_OLD,
                                     WITH_OLD, Bin::None}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonTreeItemTest, GenerationsAreNoTargetOnlyFiles) {
  make_tree(source, "a/notes.txt=version 1\n");
  backdate(source);
  configure({.flags = {"fatherSonPrinciple", "syncDeletions"}});
  start();
  ASSERT_TRUE(target_matches_source()) << shape(target) << test::read_file(log);
  test::write_file(source / "a" / "notes.txt", "version 2");
  const std::string expected = "a/\na/notes.txt=version 2\na/notes.txt.bak.1=version 1\n";
  ASSERT_TRUE(holds(target, expected)) << shape(target) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop_without_errors();
  EXPECT_EQ(shape(target), expected) << "the generation outlives the later passes";
  EXPECT_EQ(shape(source), "a/\na/notes.txt=version 2\n");
}

TEST_F(DaemonTreeItemTest, WildcardAndExclusionsLeaveTheirTargetFilesAlone) {
  make_tree(source, "top.txt=t\ntop.log=l\ndocs/a.txt=a\ndocs/b.log=b\ncache/c.txt=c\n");
  make_tree(target,
            "cache/old.txt=kept\nonly_target/t.txt=kept\ndocs/b.log=kept\ndocs/gone.txt=x\n");
  backdate(source);
  backdate(target);
  configure({.flags = {"syncDeletions"}, .wildcard = "*.txt", .exclusions = R"("cache")"});
  start();
  const std::string expected =
      "cache/\ncache/old.txt=kept\ndocs/\ndocs/a.txt=a\ndocs/b.log=kept\nonly_target/\n"
      "only_target/t.txt=kept\ntop.txt=t\n";
  ASSERT_TRUE(holds(target, expected)) << shape(target) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop_without_errors();
  EXPECT_EQ(shape(target), expected);
}

TEST_F(DaemonTreeItemTest, AFolderItemCopiesOnlyTheTopLevel) {
  make_tree(source, "top.txt=t\nnext.txt=n\nsub/deep.txt=d\nsub/empty/\n");
  backdate(source);
  configure({.type = FOLDER});
  start();
  ASSERT_TRUE(holds(target, "next.txt=n\ntop.txt=t\n")) << shape(target) << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop_without_errors();
  EXPECT_EQ(shape(target), "next.txt=n\ntop.txt=t\n");
}

}  // namespace
}  // namespace TWL_Core
