#pragma once
// The single remote file operations over an open SFTP connection, and the remote path of an
// endpoint. Each answer comes from the server's own reply: a question without a reply (the
// connection is gone) is never answered "no".

#include <optional>
#include <string>
#include <string_view>

#include "remote/sftp_connection.hpp"

namespace TWL_Core {

// The remote path of an endpoint "account:path": everything after the first colon (further
// colons included), the whole text if there is none. Bytes that are not UTF-8 keep their value.
[[nodiscard]] std::string get_remote_path(std::wstring_view endpoint);

enum class RemoteAnswer { Yes, No, Unknown };

// Whether `path` exists (links followed), and whether it is a folder. Unknown when no reply came.
[[nodiscard]] RemoteAnswer remote_exists(SftpConnection& connection, const std::string& path);
[[nodiscard]] RemoteAnswer remote_is_directory(SftpConnection& connection, const std::string& path);
// Creates one folder (mode 0755; its parent must exist). False, logged, on failure, also when
// the folder exists already.
[[nodiscard]] bool remote_mkdir(SftpConnection& connection, const std::string& path);
// Removes one file. False, logged, on failure.
[[nodiscard]] bool remote_remove_file(SftpConnection& connection, const std::string& path);

}  // namespace TWL_Core
