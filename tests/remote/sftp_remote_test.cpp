// The remote operations of one item's pass against a real OpenSSH server: downloads into a
// caller's file, copies from host to host, one login per pass, and a lost host given up for
// the rest of the pass instead of being waited for file by file.

#include "remote/sftp_remote.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "foundation/file_descriptor.hpp"
#include "foundation/file_time.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "tests/support/ssh_server_test.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

constexpr auto READ_ONLY = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

std::size_t logins(const std::string& server_log) {
  const std::regex accepted("Accepted password for");
  return static_cast<std::size_t>(
      std::distance(std::sregex_iterator(server_log.begin(), server_log.end(), accepted),
                    std::sregex_iterator()));
}

class SftpRemoteTest : public test::SshServerTest {
 protected:
  void SetUp() override {
    SshServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    folder = server->home() / "data";
    fs::create_directories(folder);
    write_remote("photo.jpg", std::string(200 * 1024 + 17, 'p'), READ_ONLY);
    server->give_to_user(folder);
  }

  void write_remote(const std::string& name, const std::string& content, fs::perms mode) {
    test::write_file(folder / name, content);
    fs::permissions(folder / name, mode);
    fs::last_write_time(folder / name, fs::file_time_type::clock::now() - 72h);
  }

  RemoteLocation at(const std::string& name) const { return {account, (folder / name).string()}; }

  DownloadedFile download_to(const fs::path& local, const std::string& name,
                             const TransferControl& control = {}) {
    const FileDescriptor output(::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    return remote.download(at(name), output.get(), control);
  }

  bool remote_leftovers() const {
    return std::any_of(fs::directory_iterator(folder), fs::directory_iterator(), [](const auto& e) {
      return util::is_temporary_copy_name(e.path().filename().string());
    });
  }

  test::TempDir local;
  fs::path folder;
  SftpRemote remote;
};

TEST_F(SftpRemoteTest, ADownloadWritesTheBytesAndGivesModeAndTime) {
  std::uint64_t reported = 0;
  const auto file = download_to(local / "photo.jpg", "photo.jpg",
                                {{}, [&](std::uint64_t bytes) { reported = bytes; }});
  ASSERT_EQ(file.result, CopyResult::Copied);
  EXPECT_EQ(test::read_file(local / "photo.jpg"), test::read_file(folder / "photo.jpg"));
  EXPECT_EQ(reported, 200u * 1024u + 17u);
  EXPECT_EQ(file.permissions & 0777, 0444u);
  EXPECT_EQ(file.modified, util::to_time_t(fs::last_write_time(folder / "photo.jpg")));
}

// Blocks are asked for ahead of the answers: sizes at and around the block and the read-ahead
// window must still arrive whole and in order.
TEST_F(SftpRemoteTest, DownloadsOfEverySizeArriveWhole) {
  for (const std::size_t size : {std::size_t{65536}, std::size_t{65537}, std::size_t{16 * 65536},
                                 std::size_t{(2 << 20) + 3}}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7919) >> 8);
    write_remote("sized.bin", content, READ_ONLY);
    ASSERT_EQ(download_to(local / "sized.bin", "sized.bin").result, CopyResult::Copied);
    EXPECT_TRUE(test::read_file(local / "sized.bin") == content);
  }
}

TEST_F(SftpRemoteTest, AnEmptyFileIsCopiedWithoutProgress) {
  write_remote("empty.txt", "", READ_ONLY);
  bool reported = false;
  const auto file =
      download_to(local / "empty.txt", "empty.txt", {{}, [&](std::uint64_t) { reported = true; }});
  EXPECT_EQ(file.result, CopyResult::Copied);
  EXPECT_FALSE(reported);
  EXPECT_EQ(fs::file_size(local / "empty.txt"), 0u);
}

TEST_F(SftpRemoteTest, AMissingFileFailsAndAStopCancels) {
  EXPECT_EQ(download_to(local / "x", "missing.txt").result, CopyResult::Failed);
  EXPECT_EQ(capture.count("remote_file_open_error"), 1u);
  const auto stopped = download_to(local / "photo.jpg", "photo.jpg", {[] { return true; }, {}});
  EXPECT_EQ(stopped.result, CopyResult::Cancelled);
}

TEST_F(SftpRemoteTest, ACopyBetweenHostsReplacesTheTargetWithModeAndTime) {
  write_remote("old.jpg", "old content", fs::perms::owner_all);
  SshAccount second = account;
  second.set_name("second");
  ASSERT_EQ(remote.copy(at("photo.jpg"), {second, (folder / "old.jpg").string()}, {}),
            CopyResult::Copied);
  EXPECT_EQ(test::read_file(folder / "old.jpg"), test::read_file(folder / "photo.jpg"));
  EXPECT_EQ(fs::status(folder / "old.jpg").permissions() & fs::perms::all,
            READ_ONLY | fs::perms::owner_write);
  EXPECT_EQ(util::to_time_t(fs::last_write_time(folder / "old.jpg")),
            util::to_time_t(fs::last_write_time(folder / "photo.jpg")));
  EXPECT_FALSE(remote_leftovers());
  EXPECT_EQ(remote.copy(at("missing.jpg"), at("new.jpg"), {}), CopyResult::Failed);
  EXPECT_EQ(capture.count("source_file_open_error"), 1u);
  EXPECT_FALSE(fs::exists(folder / "new.jpg"));
}

TEST_F(SftpRemoteTest, APassLogsInOnceAndTheNextPassAgain) {
  for (int pass = 0; pass < 2; ++pass) {
    for (int operation = 0; operation < 10; ++operation) {
      EXPECT_EQ(remote.exists(at("photo.jpg")), RemoteAnswer::Yes);
      EXPECT_EQ(remote.is_directory(at("photo.jpg")), RemoteAnswer::No);
      EXPECT_TRUE(remote.list({account, folder.string()}).has_value());
    }
    remote.end_pass();
  }
  EXPECT_EQ(logins(server->log()), 2u) << server->log();
}

// A host that goes away half-way is asked once more with a fresh login; when that fails too,
// it is lost for the rest of the pass: no "No" answers, no listing taken for an empty folder.
TEST_F(SftpRemoteTest, ALostHostIsGivenUpForThePassAndTriedAgainInTheNext) {
  ASSERT_EQ(remote.exists(at("photo.jpg")), RemoteAnswer::Yes);
  server->stop();
  EXPECT_EQ(remote.exists(at("photo.jpg")), RemoteAnswer::Unknown);
  EXPECT_FALSE(remote.host_lost(account)) << "one fresh login is still due";
  EXPECT_EQ(remote.exists(at("photo.jpg")), RemoteAnswer::Unknown);
  EXPECT_TRUE(remote.host_lost(account));
  EXPECT_FALSE(remote.list({account, folder.string()}).has_value());
  EXPECT_THROW((void)remote.inspect(at("photo.jpg")), SshUnreachable);
  EXPECT_EQ(capture.count_lines("Warning\tSSH: "), 1u) << "the failed login is logged once";

  ASSERT_TRUE(server->start()) << server->log();
  remote.end_pass();
  EXPECT_FALSE(remote.host_lost(account));
  EXPECT_EQ(remote.inspect(at("photo.jpg")).size, 200u * 1024u + 17u);
}

TEST_F(SftpRemoteTest, AWrongPasswordIsAnErrorAndNoAnswer) {
  const SshAccount wrong("backup", server->host(), server->user(), "not the password");
  EXPECT_FALSE(remote.log_in(wrong));
  EXPECT_EQ(remote.exists({wrong, folder.string()}), RemoteAnswer::Unknown);
  EXPECT_EQ(capture.count_lines("Error\tSSH: "), 1u);
}

}  // namespace
}  // namespace TWL_Core
