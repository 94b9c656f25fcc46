#pragma once
// Paths that begin with a volume prefix: a label, a blank and a drive in parentheses
// in front of the rest of the path, as in "Backup (E:)\data". Only that exact form at the
// very start counts (a non-empty label without "/", "\", "(", ")" or ":", one blank, "(",
// one letter A-Z or a-z, ":", ")"); every other path, and every path beginning with "/",
// carries no volume prefix. Each function logs its call at Debug. Free of shared
// state, callable from any thread.

#include <string>

namespace TWL_Core {

// True if `path` begins with a volume prefix.
bool path_contains_volume_name(const std::wstring& path);

// The label of the volume prefix ("Backup"); empty if the path has none.
std::wstring volume_name(const std::wstring& path);

// The drive of the volume prefix ("E:"). For other paths the platform's root name
// (always empty on POSIX systems). Throws std::runtime_error carrying the translated
// "invalid_path" and the path when the path begins like a volume prefix ("Disk (E:")
// but the ")" after the drive is missing.
std::wstring root_name(const std::wstring& path);

// The path with the label removed ("E:\data"); any other path unchanged. Never throws.
std::wstring without_volume_spec(const std::wstring& path);

}  // namespace TWL_Core
