#pragma once
// The two questions about the local file system that every layer asks: whether something
// exists at a path, and where the user's home folder is. Callable from any thread.

#include <string>

namespace TWL_Core::FilesystemUtil {

// True if something exists at `path` (symbolic links followed). A path whose status cannot be
// read counts as not existing.
bool file_exists(const std::wstring& path);

// The user's home directory in UTF-8: HOME when it is set, even to an empty text; else the
// home directory of the current user's account entry; else empty.
std::string home_dir();

}  // namespace TWL_Core::FilesystemUtil
