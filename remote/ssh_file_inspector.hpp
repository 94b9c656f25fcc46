#pragma once
// Size and modification time of one remote file, for the comparison and the reachability
// check, over its own SFTP connection to the account's host.

#include <cstdint>
#include <string>

#include "remote/sftp_connection.hpp"

namespace TWL_Core {

struct RemoteFileInfo {
  bool exists = false;
  std::uint64_t size = 0;
  std::string mtime_text = "N/A";  // time_to_iso(mtime)
  std::int64_t mtime = 0;          // seconds since the epoch
  bool regular = true;             // false for a folder or anything else that is no file
};

class SshFileInspector {
 public:
  // Connects at once; throws as SftpConnection::connect does.
  explicit SshFileInspector(const SshAccount& account);

  // What the server says of `path` (links followed). A path that does not exist, as the
  // server's own reply to this very request says, gives `exists` false. Throws SshUnreachable
  // when no reply comes (the connection is gone), and std::runtime_error for any other
  // failure, including a reply that leaves out the size or the time: such a file cannot be
  // examined, and must not pass for one of size 0 from 1970.
  [[nodiscard]] RemoteFileInfo inspect_file(const std::string& path);

 private:
  SftpConnection connection_;
  SshAccount account_;
};

// What inspect_file does, over a connection the caller holds open.
[[nodiscard]] RemoteFileInfo inspect_remote_file(SftpConnection& connection,
                                                 const std::string& path);

}  // namespace TWL_Core
