#pragma once
// Listing a remote folder over an open SFTP connection. Names come from the server and are not
// trusted: a name that could leave the folder once joined into a path ("", ".", "..", or one
// holding "/"), one that cannot be named again after conversion (not UTF-8), or one that
// another path form would read differently (holding "\") is never handed on.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/sftp_connection.hpp"

namespace TWL_Core {

// One entry of a remote listing; the flags give the entry's own type as the server says it.
struct SshDirEntry {
  std::wstring name;
  bool is_directory = false;
  bool is_regular_file = false;
  bool is_symlink = false;
  std::uint64_t size = 0;
};

// One entry as the server sent it: its name's bytes, its SFTP type and its size (0 if not sent).
struct RemoteListingEntry {
  std::string name;
  std::uint8_t type = 0;
  std::uint64_t size = 0;
};

enum class RemoteNameProblem { None, Unsafe, NotUtf8, Backslash };

// What keeps a name sent by a server from being used; None for a usable name.
[[nodiscard]] RemoteNameProblem remote_name_problem(std::string_view name);

// Every entry of `path` as sent, "." and ".." included; nothing (logged) when the folder cannot
// be opened or not be read to its end.
[[nodiscard]] std::optional<std::vector<RemoteListingEntry>> read_remote_dir(
    SftpConnection& connection, const std::string& path);

// The entries of `folder` that may be used, in their order, without "." and "..". Each refused
// name is logged once (an unsafe one as an Error, the others as a Warning).
[[nodiscard]] std::vector<SshDirEntry> usable_entries(
    const std::string& folder, const std::vector<RemoteListingEntry>& entries);

// The usable entries of `path` in the server's order, without "." and "..". Each refused name
// is logged (an unsafe one as an Error, the others as a Warning). Nothing when the folder
// cannot be opened or not be read to its end: a listing that failed is never an empty folder.
[[nodiscard]] std::optional<std::vector<SshDirEntry>> list_remote_dir(SftpConnection& connection,
                                                                     const std::string& path);

}  // namespace TWL_Core
