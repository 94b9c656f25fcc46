// Items with a side on a real OpenSSH server, synchronised by the real ternwell binary: both
// directions for file, folder and tree items, host to host, host keys, failed logins, a server
// that is not there or dies during a transfer, and a stop in the middle of one.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "foundation/file_time.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "tests/daemon/daemon_fixture.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/ssh_test_server.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::describe_tree;
using test::make_tree;

constexpr auto READ_ONLY = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

std::size_t occurrences(const std::string& text, const std::string& pattern) {
  const std::regex expression(pattern);
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(text.begin(), text.end(), expression), std::sregex_iterator()));
}

bool holds_partial_copy(const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    if (util::is_temporary_copy_name(entry->path().filename().string())) return true;
  }
  return false;
}

// Permission bits and whole-second times of every file below `root`, for comparing sides.
std::string attributes_of(const fs::path& root) {
  std::string text;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    struct stat status {};
    ::stat(file.c_str(), &status);
    text += fs::relative(file, root).string() + " " + std::to_string(status.st_mode & 0777) + " " +
            std::to_string(status.st_mtime) + "\n";
  }
  return text;
}

class DaemonRemoteItemTest : public DaemonConfigTest {
 protected:
  void SetUp() override {
    const std::string reason = test::SshTestServer::unavailable_reason();
    if (!reason.empty()) GTEST_SKIP() << "no SSH test server: " << reason;
    remove_stale_lock_files();
    server.emplace();
    ASSERT_TRUE(server->ready()) << server->log();
    remote = server->home() / "backup";
    fs::create_directories(local);
    fs::create_directories(remote);
    server->give_to_user(remote);
  }

  void TearDown() override {
    if (daemon) daemon->send(SIGKILL);
  }

  // One item between `source` and `target`, each local or "nas:" + a path on the server, run
  // on every pass and compared by size and time. The log runs at Debug: each run of the item
  // leaves the synchroniser's start line there.
  void configure(const char* type, const std::string& source, const std::string& target,
                 const std::string& password = {}) {
    std::string flags;
    for (const char* flag : {"delAftercopy", "twoWaySync", "copyWhenTargetNewer",
                             "fatherSonPrinciple", "syncDeletions"}) {
      flags += "\"" + std::string(flag) + "\": false, ";
    }
    pass_marker = std::string(type) == "Datei"         ? "SyncFile::operator()()"
                  : std::string(type) == "Verzeichnis" ? "SyncDir::operator()()"
                                                       : "SyncTree::operator()()";
    const auto account = [&](const char* name) {
      return R"({"name": ")" + std::string(name) + R"(", "host": ")" + server->host() +
             R"(", "user": ")" + server->user() + R"(", "password": ")" +
             (password.empty() ? server->password() : password) + "\"}";
    };
    write_config(R"({"Settings": {"StartMinimzed": false, "MinimizeInsteadOfClose": false,
                   "Autostart": false, "StartSyncAtStart": true, "DeleteMode": "Permanent"}, )" +
                 logging_section(log, "Debug") + R"(, "SshAccounts": [)" + account("nas") + ", " +
                 account("nas2") + R"(], "Syncitems": [{"name": "Documents", "type": ")" + type +
                 R"(", "source": ")" + source + R"(", "target": ")" + target +
                 R"(", "wildcard": "*", "SyncCycle": 0,
                   "compareitems": {"size": "true", "time": "true"},
                   "syncflags": {)" +
                 flags + R"("enabled": true}}]})");
  }

  static std::string on(const char* account, const fs::path& path) {
    return std::string(account) + ":" + path.string();
  }

  // A tree with a read-only file, an empty folder and a file of a few MiB, dated back.
  static void make_source(const fs::path& root) {
    make_tree(root, "a/x.txt=hello\na/b/deep.txt=deep\na/empty/\ntop.txt=top\n");
    std::string big(std::size_t{3} << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i >> 14) % 26);
    test::write_file(root / "a" / "big.bin", big);
    fs::permissions(root / "a" / "x.txt", READ_ONLY);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) {
        fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - 600s);
      }
    }
  }

  // Starts a folder item whose 300 MiB file replaces an older `old_content` on the host, and
  // returns once the upload's partial copy is there.
  void start_large_upload_over(const std::string& old_content) {
    test::write_file(remote / "large.bin", old_content);
    server->give_to_user(remote);
    fs::last_write_time(remote / "large.bin", fs::file_time_type::clock::now() - 3600s);
    test::write_file(local / "large.bin", "");
    fs::resize_file(local / "large.bin", std::uintmax_t{300} << 20);
    configure("Verzeichnis", local.string(), on("nas", remote));
    start();
    ASSERT_TRUE(test::wait_until([&] { return holds_partial_copy(remote); }, 30s))
        << test::read_file(log);
  }

  // Starts the daemon with an empty log, so that what it logs is this run's alone.
  void start_afresh() {
    fs::remove(log);
    start();
  }

  bool wait_for_passes(std::size_t n) const {
    const std::size_t seen = count(pass_marker);
    return test::wait_until([&] { return count(pass_marker) > seen + n; },
                            std::chrono::seconds(20 + n));
  }

  bool same_shape(const fs::path& a, const fs::path& b) const {
    return test::wait_until([&] { return describe_tree(a) == describe_tree(b); }, 30s);
  }

  // Two more passes copy nothing, and the log holds no Error line.
  void expect_settled() {
    ASSERT_TRUE(wait_for_passes(1)) << test::read_file(log);
    const std::size_t copied = count("copied_source_to_target");
    ASSERT_TRUE(wait_for_passes(2)) << test::read_file(log);
    EXPECT_EQ(count("copied_source_to_target"), copied) << "nothing changed, nothing copied";
    stop();
    EXPECT_EQ(count("Error\t"), 0u) << test::read_file(log);
  }

  std::optional<test::SshTestServer> server;
  test::TempDir local_dir;
  const fs::path local = local_dir / "documents";
  fs::path remote;
  std::string pass_marker;
};

TEST_F(DaemonRemoteItemTest, ATreeGoesUpWithItsModesAndTimes) {
  make_source(local);
  configure("Verzeichnisbaum", local.string(), on("nas", remote));
  start();
  ASSERT_TRUE(same_shape(remote, local)) << describe_tree(remote) << test::read_file(log);
  expect_settled();
  std::string expected = attributes_of(local);
  expected = std::regex_replace(expected, std::regex("a/x.txt 292 "), "a/x.txt 420 ");
  EXPECT_EQ(attributes_of(remote), expected) << "0444 arrives as 0644: the owner may write";
}

TEST_F(DaemonRemoteItemTest, FolderAndFileItemsGoUp) {
  make_source(local);
  const struct {
    const char* type;
    fs::path target;
    const char* expected;
  } cases[] = {
      {"Verzeichnis", remote / "folder", "top.txt=top\n"},
      {"Datei", remote / "file", "top.txt=top\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    fs::create_directories(c.target);
    server->give_to_user(c.target);
    const std::string source =
        std::string(c.type) == "Datei" ? (local / "top.txt").string() : local.string();
    configure(c.type, source, on("nas", c.target));
    start_afresh();
    ASSERT_TRUE(test::wait_until([&] { return describe_tree(c.target) == c.expected; }, 30s))
        << describe_tree(c.target) << test::read_file(log);
    expect_settled();
    EXPECT_EQ(util::to_time_t(fs::last_write_time(c.target / "top.txt")),
              util::to_time_t(fs::last_write_time(local / "top.txt")));
  }
}

TEST_F(DaemonRemoteItemTest, TreesAndFoldersComeDownWithTheirExactModes) {
  make_source(remote);
  server->give_to_user(remote);
  const struct {
    const char* type;
    const char* folder;
  } cases[] = {{"Verzeichnisbaum", "tree"}, {"Verzeichnis", "folder"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const fs::path target = local / c.folder;
    fs::create_directories(target);
    configure(c.type, on("nas", remote), target.string());
    start_afresh();
    if (std::string(c.type) == "Verzeichnis") {
      ASSERT_TRUE(test::wait_until([&] { return describe_tree(target) == "top.txt=top\n"; }, 30s))
          << describe_tree(target) << test::read_file(log);
      expect_settled();
      continue;
    }
    ASSERT_TRUE(same_shape(target, remote)) << describe_tree(target) << test::read_file(log);
    expect_settled();
    EXPECT_EQ(attributes_of(target), attributes_of(remote)) << "0444 stays 0444 locally";
  }
}

TEST_F(DaemonRemoteItemTest, ATreeGoesFromOneAccountToAnother) {
  make_source(remote / "from");
  fs::create_directories(remote / "to");
  server->give_to_user(remote);
  configure("Verzeichnisbaum", on("nas", remote / "from"), on("nas2", remote / "to"));
  start();
  ASSERT_TRUE(same_shape(remote / "to", remote / "from")) << test::read_file(log);
  expect_settled();
}

// The first contact stores the host's key; a changed key is refused before the password goes
// out, and nothing is copied.
TEST_F(DaemonRemoteItemTest, AChangedHostKeyIsRefusedWithoutSendingThePassword) {
  make_tree(local, "x.txt=first\n");
  configure("Verzeichnis", local.string(), on("nas", remote));
  start();
  ASSERT_TRUE(test::wait_until([&] { return fs::exists(remote / "x.txt"); }, 30s))
      << test::read_file(log);
  EXPECT_EQ(count("host_key_stored"), 1u) << test::read_file(log);
  EXPECT_TRUE(fs::exists(server->client_home() / ".ssh" / "known_hosts"));
  stop();

  ASSERT_TRUE(server->regenerate_host_key()) << server->log();
  const std::string before = server->log();
  make_tree(local, "y.txt=second\n");
  start_afresh();
  ASSERT_TRUE(wait_for_log("host_key_changed")) << test::read_file(log);
  ASSERT_TRUE(wait_for_log("source_or_target_not_reachable")) << test::read_file(log);
  stop();
  EXPECT_FALSE(fs::exists(remote / "y.txt"));
  const std::string after = server->log().substr(before.size());
  EXPECT_EQ(occurrences(after, "password"), 0u) << after;
}

TEST_F(DaemonRemoteItemTest, AWrongPasswordOrAnAbsentServerLeaveTheItemUnreachable) {
  make_tree(local, "x.txt=x\n");
  for (const bool server_down : {false, true}) {
    SCOPED_TRACE(server_down ? "server not listening" : "wrong password");
    if (server_down) server->stop();
    configure("Verzeichnis", local.string(), on("nas", remote),
              server_down ? "" : "not the password");
    start_afresh();
    ASSERT_TRUE(wait_for_log("source_or_target_not_reachable")) << test::read_file(log);
    EXPECT_GT(count("ssh_path_not_reachable"), 0u);
    stop();
    EXPECT_FALSE(fs::exists(remote / "x.txt"));
  }
}

// A server that dies half-way leaves the old name alone; the copy completes once it is back.
TEST_F(DaemonRemoteItemTest, AServerKilledDuringATransferLosesNoFile) {
  const std::string old_content = "the old content";
  ASSERT_NO_FATAL_FAILURE(start_large_upload_over(old_content));
  server->stop();
  EXPECT_EQ(test::read_file(remote / "large.bin"), old_content);
  ASSERT_TRUE(server->start()) << server->log();
  ASSERT_TRUE(test::wait_until(
      [&] { return fs::file_size(remote / "large.bin") == fs::file_size(local / "large.bin"); },
      60s))
      << test::read_file(log);
  ASSERT_TRUE(wait_for_passes(1));
  stop();
  EXPECT_FALSE(holds_partial_copy(remote)) << "the next pass cleared the leftover";
}

TEST_F(DaemonRemoteItemTest, AStopDuringATransferEndsItAndKeepsTheOldFile) {
  ASSERT_NO_FATAL_FAILURE(start_large_upload_over("old"));
  stop();
  EXPECT_EQ(test::read_file(remote / "large.bin"), "old");
  EXPECT_FALSE(holds_partial_copy(remote)) << "a cancelled upload removes its partial copy";
  EXPECT_EQ(count("Error\t"), 0u) << test::read_file(log);
}

}  // namespace
}  // namespace TWL_Core
