// The SSH test server, driven with libssh itself: password login, SFTP into the test user's
// home, host keys trusted on first use in a private known_hosts, a changed host key, a stopped
// server.

#include "tests/support/ssh_test_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace TWL_Core::test {
namespace {

struct SessionDeleter {
  void operator()(ssh_session session) const {
    ssh_disconnect(session);
    ssh_free(session);
  }
};
struct SftpDeleter {
  void operator()(sftp_session sftp) const { sftp_free(sftp); }
};
struct SftpFileDeleter {
  void operator()(sftp_file file) const { (void)sftp_close(file); }
};
using Session = std::unique_ptr<ssh_session_struct, SessionDeleter>;
using Sftp = std::unique_ptr<sftp_session_struct, SftpDeleter>;
using SftpFile = std::unique_ptr<sftp_file_struct, SftpFileDeleter>;

// A session to the server's host on the default port, not yet connected.
Session new_session(const SshTestServer& server) {
  Session session(ssh_new());
  const std::string host = server.host();
  const std::string user = server.user();
  const long timeout_seconds = 10;
  ssh_options_set(session.get(), SSH_OPTIONS_HOST, host.c_str());
  ssh_options_set(session.get(), SSH_OPTIONS_USER, user.c_str());
  ssh_options_set(session.get(), SSH_OPTIONS_TIMEOUT, &timeout_seconds);
  return session;
}

bool is_tmpfs(const fs::path& folder) {
  struct statfs info {};
  return ::statfs(folder.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

class SshTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = SshTestServer::unavailable_reason();
    if (!reason.empty()) GTEST_SKIP() << "no SSH test server: " << reason;
    server_ = std::make_unique<SshTestServer>();
    ASSERT_TRUE(server_->ready()) << server_->log();
  }

  // Connects, trusts the host key on first use and logs in with `password`.
  Session logged_in(const std::string& password) {
    Session session = new_session(*server_);
    EXPECT_EQ(ssh_connect(session.get()), SSH_OK) << ssh_get_error(session.get());
    if (ssh_session_is_known_server(session.get()) != SSH_KNOWN_HOSTS_OK) {
      EXPECT_EQ(ssh_session_update_known_hosts(session.get()), SSH_OK);
    }
    EXPECT_EQ(ssh_userauth_password(session.get(), nullptr, password.c_str()), SSH_AUTH_SUCCESS)
        << ssh_get_error(session.get()) << "\n"
        << server_->log();
    return session;
  }

  std::unique_ptr<SshTestServer> server_;
};

TEST_F(SshTestServerTest, BothHomesAreFreshAndPrivate) {
  for (const fs::path& home : {server_->home(), server_->client_home()}) {
    EXPECT_TRUE(is_tmpfs(home)) << home;
    EXPECT_TRUE(fs::is_empty(home)) << home;
  }
  struct stat info {};
  ASSERT_EQ(::stat(server_->home().c_str(), &info), 0);
  EXPECT_NE(info.st_uid, 0U) << "the test user owns its home";
}

TEST_F(SshTestServerTest, TrustsOnFirstUseLogsInAndWritesOverSftp) {
  Session session = new_session(*server_);
  ASSERT_EQ(ssh_connect(session.get()), SSH_OK) << ssh_get_error(session.get());
  // With no known_hosts file at all libssh 0.10 says UNKNOWN, not NOT_FOUND.
  EXPECT_EQ(ssh_session_is_known_server(session.get()), SSH_KNOWN_HOSTS_UNKNOWN);
  ASSERT_EQ(ssh_session_update_known_hosts(session.get()), SSH_OK);
  EXPECT_TRUE(fs::exists(server_->client_home() / ".ssh/known_hosts"));
  EXPECT_EQ(ssh_session_is_known_server(session.get()), SSH_KNOWN_HOSTS_OK);
  ASSERT_EQ(ssh_userauth_password(session.get(), nullptr, server_->password().c_str()),
            SSH_AUTH_SUCCESS)
      << ssh_get_error(session.get()) << "\n"
      << server_->log();

  Sftp sftp(sftp_new(session.get()));
  ASSERT_TRUE(sftp);
  ASSERT_EQ(sftp_init(sftp.get()), SSH_OK) << server_->log();
  const std::string content = "written over SFTP\n";
  {
    SftpFile file(sftp_open(sftp.get(), "uploaded.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(file) << ssh_get_error(session.get());
    ASSERT_EQ(sftp_write(file.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
  }
  const fs::path uploaded = server_->home() / "uploaded.txt";
  EXPECT_EQ(read_file(uploaded), content);
  struct stat info {};
  ASSERT_EQ(::stat(uploaded.c_str(), &info), 0);
  EXPECT_NE(info.st_uid, 0U);

  // A folder made by root becomes writable for the test user once given to it.
  fs::create_directories(server_->home() / "made/by/root");
  server_->give_to_user(server_->home() / "made");
  EXPECT_EQ(sftp_mkdir(sftp.get(), "made/by/root/inner", 0755), SSH_OK)
      << ssh_get_error(session.get());
  EXPECT_TRUE(fs::is_directory(server_->home() / "made/by/root/inner"));
}

TEST_F(SshTestServerTest, RefusesAWrongPassword) {
  Session session = new_session(*server_);
  ASSERT_EQ(ssh_connect(session.get()), SSH_OK) << ssh_get_error(session.get());
  EXPECT_EQ(ssh_userauth_password(session.get(), nullptr, "not the password"), SSH_AUTH_DENIED);
}

TEST_F(SshTestServerTest, ReportsAChangedHostKey) {
  (void)logged_in(server_->password());
  ASSERT_TRUE(server_->regenerate_host_key()) << server_->log();
  Session session = new_session(*server_);
  ASSERT_EQ(ssh_connect(session.get()), SSH_OK) << ssh_get_error(session.get());
  EXPECT_EQ(ssh_session_is_known_server(session.get()), SSH_KNOWN_HOSTS_CHANGED);
}

TEST_F(SshTestServerTest, StoppedServerRefusesConnectionsUntilStartedAgain) {
  server_->stop();
  Session refused = new_session(*server_);
  EXPECT_EQ(ssh_connect(refused.get()), SSH_ERROR);
  ASSERT_TRUE(server_->start()) << server_->log();
  Session accepted = logged_in(server_->password());
  EXPECT_EQ(ssh_session_is_known_server(accepted.get()), SSH_KNOWN_HOSTS_OK);
}

TEST_F(SshTestServerTest, StoppingDropsOpenSessions) {
  Session session = logged_in(server_->password());
  Sftp sftp(sftp_new(session.get()));
  ASSERT_TRUE(sftp);
  ASSERT_EQ(sftp_init(sftp.get()), SSH_OK);
  server_->stop();
  EXPECT_EQ(sftp_mkdir(sftp.get(), "after-stop", 0755), SSH_ERROR);
  EXPECT_FALSE(fs::exists(server_->home() / "after-stop"));
}

}  // namespace
}  // namespace TWL_Core::test
