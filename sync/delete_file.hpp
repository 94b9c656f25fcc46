#pragma once
// The one place where a synchronisation removes a local file it decided to delete: for good,
// or into the recycle bin under the folders of its old place with a time stamp before its
// name, as the "DeleteMode" setting says. Runs on the sync worker; never throws.

#include <string>

#include "config/settings.hpp"

namespace TWL_Core {

// Deletes the file at `path` as `mode` says. True on success. Moving into the bin logs
// "file_moved_to_recycle_bin" (Info) or "file_move_to_recycle_bin_failed" (Error); a permanent
// removal logs only its failure, and a missing file gives false without a line.
[[nodiscard]] bool delete_file(const std::wstring& path, DeleteMode mode);

// delete_file with the configured "DeleteMode".
[[nodiscard]] bool delete_file(const std::wstring& path);

}  // namespace TWL_Core
