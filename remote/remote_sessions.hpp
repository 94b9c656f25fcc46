#pragma once
// The SFTP connections of one item's pass, one per account: opened on first use with the full
// connect sequence, reused by the pass's following operations, and closed at the end of the
// pass (destruction), on a stop (close_all) or after a transport failure (forget; the next use
// connects afresh). A login per pass instead of one per operation: a pass over a remote tree
// of a thousand files would otherwise spend minutes logging in. Used by one thread.

#include <map>
#include <memory>
#include <string>

#include "remote/sftp_connection.hpp"

namespace TWL_Core {

class RemoteSessions {
 public:
  // The open connection to the account's host, connecting first if there is none. Throws as
  // SftpConnection::connect; a failed connect leaves nothing behind for the next try.
  [[nodiscard]] SftpConnection& connection(const SshAccount& account);
  // Closes the account's connection, after a failure that may have left it unusable.
  void forget(const SshAccount& account);
  void close_all();
  [[nodiscard]] std::size_t open_count() const { return connections_.size(); }

  // Two accounts share a connection only if they log in alike: the same key.
  [[nodiscard]] static std::string key_of(const SshAccount& account);

 private:
  std::map<std::string, std::unique_ptr<SftpConnection>> connections_;
};

}  // namespace TWL_Core
