#pragma once
// Uploads a local file to a remote path so that the remote path always holds either its old
// content or the complete new one, whatever happens meanwhile (a lost connection, a stop, a
// crash of either side). The content goes to a temporary name beside the destination (created
// 0600), is closed with the server's confirmation, gets the source's permission bits (owner
// write added) and modification time, and the time is read back: a time the server did not
// keep would make the next comparison take the pair for different. Only then the temporary file
// takes the destination's place: the old file is renamed aside, the new one in, and the aside
// file removed, so that there is no moment without a file.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "foundation/copy_result.hpp"
#include "remote/sftp_connection.hpp"

namespace TWL_Core {

// What a transfer learns from its caller: whether to stop (polled per block) and where to
// report the bytes copied so far. Either may be empty.
struct TransferControl {
  std::function<bool()> stop_requested;
  std::function<void(std::uint64_t)> copied;
};

// Copies the local file `from` to the remote path `to` over `connection`, as described above.
// Failures are logged; a failed or cancelled upload leaves `to` untouched and removes its
// temporary file where the connection still allows.
[[nodiscard]] CopyResult upload_file(SftpConnection& connection, const std::filesystem::path& from,
                                     const std::string& to, const TransferControl& control);

// Copies the remote file `from` to the remote path `to`, streaming through this process, with
// the same guarantees for `to` as upload_file. The two connections may be one.
[[nodiscard]] CopyResult copy_remote_file(SftpConnection& from_connection, const std::string& from,
                                          SftpConnection& to_connection, const std::string& to,
                                          const TransferControl& control);

// Clears what interrupted uploads left in the remote `folder`: partial copies are removed; a
// file held aside goes back to its name while that name is free, and is removed once a new file
// holds the name. Names it cannot tell are left alone; failures are left for the next pass.
void clean_remote_leftovers(SftpConnection& connection, const std::string& folder);

// The time the SFTP protocol can carry for `seconds`: 32 bits without sign, so times before
// 1970 become 0 and times after 2106 the last second it can hold.
[[nodiscard]] std::uint32_t sftp_time(std::int64_t seconds);

}  // namespace TWL_Core
