#pragma once
// Reads a remote file into a local file that the caller opened: the caller owns the local side
// (its temporary name, its replacement of the destination, its generations), this side the
// transfer. The remote file's size, permissions and time are taken at open and must still
// hold at the end, so that a file changed on the host while it was read is never taken for
// a complete copy.

#include <cstdint>
#include <string>

#include "foundation/copy_result.hpp"
#include "remote/remote_upload.hpp"
#include "remote/sftp_connection.hpp"

namespace TWL_Core {

struct DownloadedFile {
  CopyResult result = CopyResult::Failed;
  std::uint32_t permissions = 0;  // of the remote file, as the server gave them
  std::int64_t modified = 0;      // seconds since the epoch
};

// Copies the remote `from` into the local descriptor `output` in 64 KiB blocks. Failures are
// logged; a stop gives Cancelled. The descriptor is written from its current offset and
// neither flushed nor closed.
[[nodiscard]] DownloadedFile download_file(SftpConnection& connection, const std::string& from,
                                           int output, const TransferControl& control);

}  // namespace TWL_Core
