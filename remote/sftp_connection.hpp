#pragma once
// One SSH session with an SFTP channel to the host of an account, on libssh. A connection is
// either empty or open: it becomes open only through a complete connect (TCP and key exchange,
// the host key checked against the known-hosts file, the password accepted, SFTP started) and
// empty again through release, a failure or destruction. The thin wrappers around the SFTP
// calls neither log nor throw; they hand out owning handles. Used by one thread at a time.

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "remote/ssh_account.hpp"

namespace TWL_Core {

// The TCP/SSH connection itself could not be made (no answer in time, no such host, refused,
// key exchange failed): callers report an unreachable host as a warning, every other SSH
// failure as an error.
class SshUnreachable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SftpFileCloser {
  void operator()(sftp_file file) const { sftp_close(file); }
};
struct SftpDirCloser {
  void operator()(sftp_dir dir) const { sftp_closedir(dir); }
};
struct SftpAttributesFree {
  void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using SftpFile = std::unique_ptr<sftp_file_struct, SftpFileCloser>;
using SftpDir = std::unique_ptr<sftp_dir_struct, SftpDirCloser>;
using SftpAttributes = std::unique_ptr<sftp_attributes_struct, SftpAttributesFree>;

class SftpConnection {
 public:
  SftpConnection() = default;
  // Connects at once; throws as connect does.
  explicit SftpConnection(const SshAccount& account);
  ~SftpConnection() = default;
  SftpConnection(const SftpConnection&) = delete;
  SftpConnection& operator=(const SftpConnection&) = delete;

  // Opens the session and the SFTP channel; only on an empty connection. Throws SshUnreachable
  // when the connection cannot be made, std::runtime_error for every later step (host key,
  // password, SFTP); the connection is empty again after any exception.
  void connect(const SshAccount& account);
  // Frees the channel, disconnects and frees the session. Safe to call on an empty connection.
  void release() noexcept;
  [[nodiscard]] bool is_open() const { return sftp_ != nullptr; }

  // release(), then throw std::runtime_error / SshUnreachable carrying `message`.
  [[noreturn]] void fail(const std::string& message);
  [[noreturn]] void unreachable(const std::string& message);
  // The session's last error text.
  [[nodiscard]] std::string error() const;

  [[nodiscard]] SftpFile open(const std::string& path, int flags, std::uint16_t mode);
  [[nodiscard]] SftpDir open_dir(const std::string& path);
  // Attributes of `path`, symbolic links followed.
  [[nodiscard]] SftpAttributes stat(const std::string& path);
  // Attributes of an open file.
  [[nodiscard]] SftpAttributes stat(sftp_file file);
  // The next entry of `dir`; null at its end or on an error.
  [[nodiscard]] SftpAttributes read_dir(sftp_dir dir);
  // The status the server replied to the last wrapper call with, or nothing if no reply came
  // (the transport failed or the channel is gone): only a reply may say a file does not exist.
  [[nodiscard]] std::optional<int> reply_status() const;
  // False once the session or its SFTP channel is gone: nothing more can be asked over it.
  [[nodiscard]] bool transport_alive() const;

  [[nodiscard]] ssh_session session() const { return session_.get(); }
  [[nodiscard]] sftp_session sftp() const { return sftp_.get(); }

 private:
  struct SessionFree {
    void operator()(ssh_session session) const;
  };
  struct SftpFree {
    void operator()(sftp_session sftp) const { sftp_free(sftp); }
  };

  // Forgets the status of earlier calls, so that reply_status() tells about the next one.
  void expect_reply();

  // Declared in this order so that the channel is freed before its session.
  std::unique_ptr<ssh_session_struct, SessionFree> session_;
  std::unique_ptr<sftp_session_struct, SftpFree> sftp_;
};

// Sets the 15-second time-out for connecting on `session`.
void apply_ssh_connect_timeout(ssh_session session);

// Trust on first use with the library's known-hosts file: true for a known host, and for an
// unknown one whose key could be stored; false (logged) for a changed key or any other answer.
// A changed key is never overwritten.
[[nodiscard]] bool verify_ssh_host_key(ssh_session session, const std::string& host);

// `seconds` since the epoch as "%Y-%m-%d %H:%M:%S" in local time.
std::string time_to_iso(std::int64_t seconds);

}  // namespace TWL_Core
