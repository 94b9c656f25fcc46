#include "remote/sftp_connection.hpp"

#include <ctime>
#include <iomanip>
#include <sstream>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

using translation::translate;
using translation::translate_utf8;

constexpr long CONNECT_TIMEOUT_SECONDS = 15;

void log_host_line(LogLevel level, const char* key, const std::string& host) {
  log_at(level, translate(key) + util::string_to_wstring(host));
}

}  // namespace

void SftpConnection::SessionFree::operator()(ssh_session session) const {
  ssh_disconnect(session);
  ssh_free(session);
}

SftpConnection::SftpConnection(const SshAccount& account) { connect(account); }

void SftpConnection::connect(const SshAccount& account) {
  session_.reset(ssh_new());
  if (!session_) fail(translate_utf8("ssh_session_create_error"));
  ssh_options_set(session(), SSH_OPTIONS_HOST, account.host().c_str());
  ssh_options_set(session(), SSH_OPTIONS_USER, account.user().c_str());
  apply_ssh_connect_timeout(session());
  // Without it, small SFTP requests wait for delayed acknowledgements: uploads run at a tenth
  // of the link's speed. It changes nothing but speed.
  const int no_delay = 1;
  ssh_options_set(session(), SSH_OPTIONS_NODELAY, &no_delay);
  if (ssh_connect(session()) != SSH_OK) unreachable(translate_utf8("libssh_connect_error") + error());
  if (!verify_ssh_host_key(session(), account.host())) {
    fail(translate_utf8("host_key_verification_failed"));
  }
  if (ssh_userauth_password(session(), nullptr, account.password().c_str()) != SSH_AUTH_SUCCESS) {
    fail(translate_utf8("libssh_auth_error") + error());
  }
  sftp_.reset(sftp_new(session()));
  if (!sftp_) fail(translate_utf8("sftp_session_create_error"));
  if (sftp_init(sftp()) != 0) fail(translate_utf8("sftp_init_failed"));
}

void SftpConnection::release() noexcept {
  sftp_.reset();
  session_.reset();
}

void SftpConnection::fail(const std::string& message) {
  release();
  throw std::runtime_error(message);
}

void SftpConnection::unreachable(const std::string& message) {
  release();
  throw SshUnreachable(message);
}

std::string SftpConnection::error() const {
  return session_ ? std::string(ssh_get_error(session())) : std::string();
}

SftpFile SftpConnection::open(const std::string& path, int flags, std::uint16_t mode) {
  if (!is_open()) return nullptr;
  expect_reply();
  return SftpFile(sftp_open(sftp(), path.c_str(), flags, mode));
}

SftpDir SftpConnection::open_dir(const std::string& path) {
  if (!is_open()) return nullptr;
  expect_reply();
  return SftpDir(sftp_opendir(sftp(), path.c_str()));
}

SftpAttributes SftpConnection::stat(const std::string& path) {
  if (!is_open()) return nullptr;
  expect_reply();
  return SftpAttributes(sftp_stat(sftp(), path.c_str()));
}

SftpAttributes SftpConnection::stat(sftp_file file) {
  if (!is_open() || file == nullptr) return nullptr;
  expect_reply();
  return SftpAttributes(sftp_fstat(file));
}

SftpAttributes SftpConnection::read_dir(sftp_dir dir) {
  if (!is_open() || dir == nullptr) return nullptr;
  expect_reply();
  return SftpAttributes(sftp_readdir(sftp(), dir));
}

// libssh keeps the status of the server's last status reply and changes it only when another
// reply comes; a call that fails in transport would otherwise show an earlier call's status.
void SftpConnection::expect_reply() { sftp()->errnum = SSH_FX_OK; }

bool SftpConnection::transport_alive() const {
  return is_open() && ssh_is_connected(session()) != 0 && ssh_channel_is_open(sftp()->channel) != 0;
}

std::optional<int> SftpConnection::reply_status() const {
  if (!transport_alive()) return std::nullopt;
  const int status = sftp_get_error(sftp());
  if (status == SSH_FX_OK || status == SSH_FX_CONNECTION_LOST || status == SSH_FX_NO_CONNECTION) {
    return std::nullopt;
  }
  return status;
}

void apply_ssh_connect_timeout(ssh_session session) {
  const long seconds = CONNECT_TIMEOUT_SECONDS;
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds);
}

bool verify_ssh_host_key(ssh_session session, const std::string& host) {
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
      return true;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      if (ssh_session_update_known_hosts(session) == SSH_OK) {
        log_host_line(LogLevel::Info, "host_key_stored", host);
        return true;
      }
      log_host_line(LogLevel::Error, "host_key_not_storable", host);
      return false;
    case SSH_KNOWN_HOSTS_CHANGED:
      log_host_line(LogLevel::Error, "host_key_changed", host);
      return false;
    default:
      log_host_line(LogLevel::Error, "host_key_verification_failed_for", host);
      return false;
  }
}

std::string time_to_iso(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&time, &local);
  std::ostringstream text;
  text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
  return text.str();
}

}  // namespace TWL_Core
