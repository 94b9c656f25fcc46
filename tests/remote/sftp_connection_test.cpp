// SFTP connections and remote file inspection against a real OpenSSH server on loopback:
// host keys trusted on first use and refused once changed, a wrong password, a server that is
// not listening, and what one remote stat may and may not conclude.

#include "remote/sftp_connection.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "foundation/file_time.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "remote/ssh_file_inspector.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/ssh_server_test.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using translation::translate_utf8;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

class SftpConnectionTest : public test::SshServerTest {
 protected:
  fs::path known_hosts() const { return server->client_home() / ".ssh" / "known_hosts"; }

  // Connects a fresh connection; the exception's text, or nothing if the connection opened.
  template <typename Exception>
  std::optional<std::string> connect_fails_with(const SshAccount& login) {
    SftpConnection connection;
    try {
      connection.connect(login);
    } catch (const Exception& e) {
      EXPECT_FALSE(connection.is_open());
      return std::string(e.what());
    }
    EXPECT_TRUE(connection.is_open());
    return std::nullopt;
  }
};

TEST_F(SftpConnectionTest, TheFirstContactStoresTheHostKeyAndLogsIn) {
  ASSERT_FALSE(fs::exists(known_hosts()));
  EXPECT_EQ(connect_fails_with<std::exception>(account), std::nullopt);
  EXPECT_TRUE(fs::exists(known_hosts()));
  EXPECT_EQ(capture.count_lines("Info\t" + translate_utf8("host_key_stored") + server->host()), 1u);
  EXPECT_EQ(connect_fails_with<std::exception>(account), std::nullopt);
  EXPECT_EQ(capture.count(translate_utf8("host_key_stored")), 1u) << "stored once";
}

// A changed key may be a server in the middle: the password must not reach it.
TEST_F(SftpConnectionTest, AChangedHostKeyIsRefusedBeforeThePasswordIsSent) {
  ASSERT_EQ(connect_fails_with<std::exception>(account), std::nullopt);
  const std::string trusted = test::read_file(known_hosts());
  ASSERT_TRUE(server->regenerate_host_key()) << server->log();
  const std::size_t logged_before = server->log().size();
  const auto failure = connect_fails_with<std::runtime_error>(account);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, translate_utf8("host_key_verification_failed"));
  EXPECT_EQ(capture.count_lines("Error\t" + translate_utf8("host_key_changed") + server->host()), 1u);
  EXPECT_EQ(test::read_file(known_hosts()), trusted) << "the stored key stays";
  const std::string attempt = server->log().substr(logged_before);
  EXPECT_EQ(attempt.find("password for"), std::string::npos) << attempt;
}

TEST_F(SftpConnectionTest, AWrongPasswordIsAnErrorNotAnUnreachableHost) {
  SshAccount wrong = account;
  wrong.set_password("not the password");
  bool unreachable = false;
  try {
    SftpConnection connection(wrong);
  } catch (const SshUnreachable&) {
    unreachable = true;
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(starts_with(e.what(), translate_utf8("libssh_auth_error"))) << e.what();
  }
  EXPECT_FALSE(unreachable);
}

TEST_F(SftpConnectionTest, AServerThatIsNotListeningIsUnreachable) {
  server->stop();
  const auto failure = connect_fails_with<SshUnreachable>(account);
  ASSERT_TRUE(failure.has_value());
  EXPECT_TRUE(starts_with(*failure, translate_utf8("libssh_connect_error"))) << *failure;
}

TEST_F(SftpConnectionTest, ReleasingTwiceOrAnEmptyConnectionDoesNothing) {
  SftpConnection empty;
  empty.release();
  empty.release();
  EXPECT_FALSE(empty.is_open());
  EXPECT_EQ(empty.stat("/"), nullptr);
  SftpConnection open(account);
  EXPECT_TRUE(open.is_open());
  open.release();
  open.release();
  EXPECT_FALSE(open.is_open());
}

TEST_F(SftpConnectionTest, InspectionTellsFilesFoldersAndMissingPathsApart) {
  test::write_file(server->home() / "notes.txt", "twelve bytes");
  const fs::path locked = server->home() / "locked";
  fs::create_directories(locked / "inside");
  server->give_to_user(server->home() / "notes.txt");
  ::chmod(locked.c_str(), 0700);  // root's, so the test user may not look inside
  SshFileInspector inspector(account);

  const RemoteFileInfo file = inspector.inspect_file(server->home().string() + "/notes.txt");
  EXPECT_TRUE(file.exists);
  EXPECT_EQ(file.size, 12u);
  EXPECT_EQ(file.mtime, static_cast<std::int64_t>(
                            util::to_time_t(fs::last_write_time(server->home() / "notes.txt"))));
  EXPECT_EQ(file.mtime_text, time_to_iso(file.mtime));

  const RemoteFileInfo missing = inspector.inspect_file(server->home().string() + "/none.txt");
  EXPECT_FALSE(missing.exists);
  EXPECT_EQ(missing.size, 0u);
  EXPECT_EQ(missing.mtime_text, "N/A");

  EXPECT_TRUE(inspector.inspect_file(server->home().string()).exists) << "a folder exists too";

  try {
    (void)inspector.inspect_file(locked.string() + "/inside");
    ADD_FAILURE() << "a path the server may not look at is no missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              translate_utf8("sftp_stat_failed") + "3): " + locked.string() + "/inside");
  }
}

// libssh keeps the status of the last reply it got: after a missing file, a stat that gets no
// reply at all would read as "no such file", and an existing source as deleted.
TEST_F(SftpConnectionTest, ALostConnectionIsNeverTakenForAMissingFile) {
  test::write_file(server->home() / "exists.txt", "here");
  SshFileInspector inspector(account);
  ASSERT_FALSE(inspector.inspect_file(server->home().string() + "/gone.txt").exists);
  server->stop();
  EXPECT_THROW((void)inspector.inspect_file(server->home().string() + "/exists.txt"),
               SshUnreachable);
}

}  // namespace
}  // namespace TWL_Core
