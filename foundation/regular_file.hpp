#pragma once
// Opening a file the daemon reads or writes without ever waiting on what the path names: a FIFO
// without a peer or a device would otherwise block the caller in open() or feed it without
// end. Only a regular file (a link to one counts) is handed back, in blocking mode.
// Free of shared state, callable from any thread; nothing throws.

#include <sys/types.h>

#include <filesystem>
#include <system_error>

#include "foundation/file_descriptor.hpp"

namespace TWL_Core {

// Opens `path` with `flags` (O_CREAT honours `mode` less the umask). Returns the open
// descriptor of a regular file; otherwise a closed one and the reason in `error`
// (EISDIR for a folder, ENODEV for a FIFO, socket or device).
[[nodiscard]] FileDescriptor open_regular_file(const std::filesystem::path& path, int flags,
                                               std::error_code& error, mode_t mode = 0666);

}  // namespace TWL_Core
