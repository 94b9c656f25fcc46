// The command line of the real ternwell binary: help and wrong arguments, a check of the
// configuration, a plan that changes nothing, one pass, the encryption of stored passwords,
// and a running daemon pausing while the tool works. Its texts show message keys, as the test
// install has no catalogues.

#include <gtest/gtest.h>

#include <filesystem>
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

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

class CommandToolTest : public DaemonConfigTest {
 protected:
  CommandToolTest() {
    remove_stale_lock_files();
    fs::create_directories(source);
    fs::create_directories(target);
  }

  ToolResult tool(const std::vector<std::string>& args) {
    std::string line = "exec '" + (install / "ternwell").string() + "'";
    for (const std::string& arg : args) line += " '" + arg + "'";
    line += " > '" + (home / "out").string() + "' 2> '" + (home / "err").string() + "'";
    test::ChildProcess process("/bin/sh", {"-c", line}, environment);
    const auto status = process.wait_for_exit(60s);
    return {status.value_or(-1), test::read_file(home / "out"), test::read_file(home / "err")};
  }

  // Items "Documents" (a folder item) and "Notes" (a file item); `items` replaces them.
  void configure(const std::string& items = {}, const std::string& accounts = "[]") {
    const std::string folder_item = R"({"name": "Documents", "type": "Verzeichnis", "source": ")" +
                                    source.string() + R"(", "target": ")" + target.string() +
                                    R"(", "wildcard": "*", "SyncCycle": 0,
           "compareitems": {"size": "true", "time": "true"},
           "syncflags": {"delAftercopy": false, "twoWaySync": false, "copyWhenTargetNewer": false,
                         "fatherSonPrinciple": false, "syncDeletions": false, "enabled": true}})";
    write_config(R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
                   "Autostart": false, "StartSyncAtStart": true, "DeleteMode": "Permanent"}, )" +
                 logging_section(log, "Debug") + R"(, "SshAccounts": )" + accounts +
                 R"(, "Syncitems": [)" + (items.empty() ? folder_item : items) + "]}");
  }

  const fs::path source = home / "documents";
  const fs::path target = home / "backup";
};

TEST_F(CommandToolTest, HelpVersionAndWrongArguments) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* in_out;
    const char* in_err;
  } cases[] = {
      {{"--help"}, 0, "--encrypt-passwords", ""},
      {{"--version"}, 0, "ternwell ", ""},
      {{"--bogus"}, 2, "", "ternwell: "},
      {{"--check", "--plan"}, 2, "", "one option at a time"},
      {{"--check", "Documents"}, 2, "", "only --plan and --once take item names"},
      {{"Documents"}, 2, "", "no option given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ToolResult result = tool(c.args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE(result.out.find(c.in_out), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.in_err), std::string::npos) << result.err;
    if (c.status == 2) {
      EXPECT_NE(result.err.find("--encrypt-passwords"), std::string::npos) << "the usage follows";
    }
  }
}

TEST_F(CommandToolTest, CheckReportsEveryProblemAndWritesNothing) {
  const ToolResult missing = tool({"--check"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("cli_check_problems"), std::string::npos) << missing.out;

  configure();
  const ToolResult good = tool({"--check"});
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  EXPECT_NE(good.out.find("cli_check_fine"), std::string::npos) << good.out;

  configure(R"({"name": "Broken", "type": "Verzeichnis", "source": "/x", "SyncCycle": 0})");
  const std::string before = test::read_file(config_file);
  const ToolResult broken = tool({"--check"});
  EXPECT_EQ(broken.status, 1) << broken.out;
  EXPECT_NE(broken.out.find("(target)"), std::string::npos)
      << "names the missing key: " << broken.out;
  EXPECT_NE(broken.out.find("(Syncitems #1: Broken)"), std::string::npos)
      << "names the entry: " << broken.out;
  EXPECT_EQ(test::read_file(config_file), before);
}

TEST_F(CommandToolTest, APlanChangesNothingAndOncePassCopies) {
  make_tree(source, "a.txt=alpha\nb.txt=beta\n");
  configure();
  const std::string source_before = describe_tree(source);
  const ToolResult plan = tool({"--plan"});
  EXPECT_EQ(plan.status, 0) << plan.err;
  EXPECT_NE(plan.out.find((source / "a.txt").string() + " -> " + (target / "a.txt").string()),
            std::string::npos)
      << plan.out;
  EXPECT_NE(plan.out.find((source / "b.txt").string()), std::string::npos) << plan.out;
  EXPECT_EQ(describe_tree(source), source_before);
  EXPECT_EQ(describe_tree(target), "");

  const ToolResult once = tool({"--once", "Documents"});
  EXPECT_EQ(once.status, 0) << once.out << once.err;
  EXPECT_EQ(describe_tree(target), source_before);
  EXPECT_EQ(tool({"--once", "Nobody"}).status, 2);

  fs::remove_all(source);
  const ToolResult failed = tool({"--once"});
  EXPECT_NE(failed.status, 0) << "a missing source is an item with errors: " << failed.out;
}

TEST_F(CommandToolTest, EncryptPasswordsStoresThemEncryptedForTheDaemon) {
  configure({}, R"([{"name": "nas", "host": "127.0.0.1", "user": "anna",
                    "password": "plain-secret-42"}])");
  const ToolResult result = tool({"--encrypt-passwords"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  const std::string stored = test::read_file(config_file);
  EXPECT_EQ(stored.find("plain-secret-42"), std::string::npos) << stored;
  const ToolResult check = tool({"--check"});
  EXPECT_EQ(check.status, 0) << "the daemon reads what was written: " << check.out;
}

// The tool works in the foreground role: the daemon runs no pass while the tool's pass runs.
TEST_F(CommandToolTest, ARunningDaemonPausesWhileOncePassWorks) {
  make_tree(source, "small.txt=s\n");
  test::write_file(source / "large.bin", std::string(std::size_t{64} << 20, 'x'));
  configure();
  start();
  ASSERT_TRUE(test::wait_until([&] { return count("D Debug\tSyncDir::operator()()") >= 2; }, 20s))
      << test::read_file(log);
  fs::remove_all(target);
  fs::create_directories(target);
  const ToolResult once = tool({"--once"});
  EXPECT_EQ(once.status, 0) << once.out << once.err;
  stop();
  const std::vector<std::string> lines = test::split_lines(test::read_file(log));
  const auto first_tool = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find(" C Debug\tSyncDir::operator()()") != std::string::npos;
  });
  ASSERT_NE(first_tool, lines.end()) << test::read_file(log);
  const auto last_tool = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& line) {
    return line.find(" C Debug\t") != std::string::npos;
  });
  const auto tool_end = last_tool.base();
  const auto daemon_pass = std::find_if(first_tool, tool_end, [](const std::string& line) {
    return line.find(" D Debug\tSyncDir::operator()()") != std::string::npos;
  });
  EXPECT_EQ(daemon_pass, tool_end) << "the daemon ran a pass during the tool's: " << *daemon_pass;
}

}  // namespace
}  // namespace TWL_Core
