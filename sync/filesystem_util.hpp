#pragma once
// Queries about the local file system and the user's place in it: existence, size and time of
// a file (telling a missing file from a missing volume), mount roots, and the fstab format.
// Free of shared state except for the mount-table cache behind fileinfo (MountedDrives), and
// callable from any thread. Nothing here throws for file-system problems; only touch logs
// (and the mount check behind fileinfo, at Debug).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/file_time.hpp"
#include "foundation/local_paths.hpp"

namespace TWL_Core::FilesystemUtil {

enum class FileInfoResult {
  Ok = 0,
  FileNotExist = 1,
  DriveNotMounted = 2,
  AttributesUnreadable = 3,
  TimeInvalid = 4,
  ReadError = 5,
};

// One line of an fstab file.
struct FstabEntry {
  std::string device;
  std::string mount_point;
  std::string type;
  std::string options;
  int dump = 0;
  int pass = 0;

  bool operator==(const FstabEntry&) const = default;
};

// Size and last-write time of the file at `path` (links followed); the outputs are set only
// for Ok. Nothing at `path` gives FileNotExist while the volume that should hold it is
// mounted (MountedDrives::drive_mounted) and DriveNotMounted otherwise. A status that cannot
// be read, and anything without a file size (a folder), give ReadError.
// `size` has the type std::filesystem::file_size answers in, so that callers on every platform
// can pass the same variable to both.
[[nodiscard]] FileInfoResult fileinfo(const std::wstring& path, std::uintmax_t& size,
                                      util::FileTime& time);

// The translated message for a result other than Ok ("unknown_error" for values outside the
// enumeration); empty for Ok.
std::wstring make_error_message(FileInfoResult result);

// `path` made absolute with links and dot segments resolved as far as it exists; `path`
// unchanged if that fails.
std::filesystem::path normalize_best_effort(const std::filesystem::path& path);

// The mount point (UTF-8, as the mount table lists it) of the volume holding the deepest
// existing ancestor of `path`, "/" for the root volume; nothing if no ancestor can be examined.
// The system names the mount point (platform::mount_point_of), so bind mounts and folders
// joined onto another volume (macOS firmlinks such as /Users) answer their real mount point.
// A volume that is not mounted is not seen: its path yields the mount root of the folder it
// would be mounted on.
std::optional<std::string> get_mount_root(const std::filesystem::path& path);

// get_mount_root as a path; empty if there is none.
std::filesystem::path get_mount_point(const std::filesystem::path& path);

// The normalised `path` if it is a mount point: the system names it as the mount point of the
// file system holding it ("/" always is). Nothing otherwise, and nothing if `path` does not
// exist.
std::optional<std::filesystem::path> is_mountpoint(const std::filesystem::path& path);

// Sets the last-write time of the file at `path` to now. On failure logs an Error line
// "Error in function touch: " + the error text and returns false. Does not create files.
[[nodiscard]] bool touch(const std::filesystem::path& path);

// The entries of a file in fstab format, in file order: six fields separated by blanks or
// tabs (device, mount point, type, options, dump number, pass number), octal escapes such as
// "\040" decoded. Empty lines, lines starting with "#" and lines without six such fields are
// skipped. An unreadable file gives no entries.
std::vector<FstabEntry> parse_fstab(const std::filesystem::path& file);

}  // namespace TWL_Core::FilesystemUtil
