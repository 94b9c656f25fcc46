// The single remote operations against a real OpenSSH server, and remote paths of endpoints.

#include "remote/remote_operations.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/translation.hpp"
#include "tests/support/ssh_server_test.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using translation::translate_utf8;

TEST(RemotePathTest, TakesEverythingAfterTheFirstColon) {
  EXPECT_EQ(get_remote_path(L"srv:/data/a:b"), "/data/a:b");
  EXPECT_EQ(get_remote_path(L"srv:"), "");
  EXPECT_EQ(get_remote_path(L"/no/account"), "/no/account");
  EXPECT_EQ(get_remote_path(L"srv:/caf\u00e9"), "/caf\xC3\xA9");
  EXPECT_EQ(get_remote_path(std::wstring(L"srv:/latin1 caf") + wchar_t(0xDCE9)), "/latin1 caf\xE9");
}

class RemoteOperationsTest : public test::SshServerTest {
 protected:
  void SetUp() override {
    SshServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    test::write_file(server->home() / "docs" / "a.txt", "a");
    fs::create_symlink("nowhere", server->home() / "docs" / "dangling");
    server->give_to_user(server->home() / "docs");
    connection.connect(account);
  }

  std::string remote(const char* name) const { return (server->home() / name).string(); }

  SftpConnection connection;
};

TEST_F(RemoteOperationsTest, ExistenceAndFoldersAreAnsweredByTheServer) {
  EXPECT_EQ(remote_exists(connection, remote("docs/a.txt")), RemoteAnswer::Yes);
  EXPECT_EQ(remote_exists(connection, remote("docs")), RemoteAnswer::Yes);
  EXPECT_EQ(remote_exists(connection, remote("docs/none")), RemoteAnswer::No);
  EXPECT_EQ(remote_exists(connection, remote("docs/dangling")), RemoteAnswer::No);
  EXPECT_EQ(remote_is_directory(connection, remote("docs")), RemoteAnswer::Yes);
  EXPECT_EQ(remote_is_directory(connection, remote("docs/a.txt")), RemoteAnswer::No);
  EXPECT_EQ(remote_is_directory(connection, remote("docs/none")), RemoteAnswer::No);
}

TEST_F(RemoteOperationsTest, AQuestionWithoutAReplyIsNeverAnsweredNo) {
  ASSERT_EQ(remote_exists(connection, remote("docs/none")), RemoteAnswer::No);
  server->stop();
  EXPECT_EQ(remote_exists(connection, remote("docs/a.txt")), RemoteAnswer::Unknown);
  EXPECT_EQ(remote_is_directory(connection, remote("docs")), RemoteAnswer::Unknown);
}

TEST_F(RemoteOperationsTest, FoldersAreMadeOneLevelAtATimeAndFilesRemoved) {
  EXPECT_TRUE(remote_mkdir(connection, remote("docs/new")));
  EXPECT_TRUE(fs::is_directory(server->home() / "docs" / "new"));
  EXPECT_FALSE(remote_mkdir(connection, remote("docs/new")));
  EXPECT_FALSE(remote_mkdir(connection, remote("docs/missing/deeper")));
  EXPECT_EQ(capture.count_lines("Error\t" + translate_utf8("remote_dir_create_error")), 2u);
  EXPECT_TRUE(remote_remove_file(connection, remote("docs/a.txt")));
  EXPECT_FALSE(fs::exists(server->home() / "docs" / "a.txt"));
  EXPECT_FALSE(remote_remove_file(connection, remote("docs/a.txt")));
  EXPECT_EQ(capture.count_lines("Error\t" + translate_utf8("remote_file_delete_error")), 1u);
}

}  // namespace
}  // namespace TWL_Core
