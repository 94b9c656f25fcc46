#pragma once
// The thin layer over operating-system interfaces that differ between macOS and Linux.
// Each function has one implementation per platform (platform_macos.cpp, platform_linux.cpp);
// no other code calls such an interface directly.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/file_descriptor.hpp"

namespace TWL_Core::platform {

// Absolute path of the running executable; empty if the system cannot tell.
std::filesystem::path executable_path();

// One entry of the system's mount table, as UTF-8 texts.
struct MountInfo {
  std::string device;       // what is mounted (mounted-from name)
  std::string mount_point;  // where it is mounted
  std::string fs_type;      // file-system type
};

// The mount table of the calling process, in table order; nothing if it cannot be read.
// Never waits for unresponsive network volumes. Not safe to call from two threads at once
// (macOS hands out one buffer per process); callers serialise.
std::optional<std::vector<MountInfo>> mount_table();

// The mount point (UTF-8, as the mount table lists it) of the mounted file system that holds
// the existing `path`; a symbolic link counts as part of the folder it lies in. Nothing if
// `path` cannot be examined (it does not exist, or vanished while being looked at). Unlike a
// walk up the folders until the device changes, this names mount points that share a device
// with their parent (bind mounts) and file systems joined into another's folders (macOS
// firmlinks such as /Users, btrfs subvolumes).
std::optional<std::string> mount_point_of(const std::filesystem::path& path);

// What tells one state of a file from another without reading it: device, inode, size and
// modification time to the nanosecond.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified_seconds = 0;
  long modified_nanoseconds = 0;

  bool operator==(const FileIdentity&) const = default;
};

// What one stat of a path (links followed) tells: its type, size and modification time.
struct FileStatus {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  long modified_nanoseconds = 0;
};

// The status of `path`; nothing (errno set) if it cannot be examined.
std::optional<FileStatus> file_status(const std::filesystem::path& path);

// The identity of the open file `fd`; nothing (errno set) if it cannot be read.
std::optional<FileIdentity> file_identity(int fd);

// Creates the file `to`, which must not exist yet (a link there is not followed), holding the
// whole content of the regular file open at `from_fd` and its permission bits. Where the file
// system can share the data (a clone) no data is copied; otherwise it is copied inside the
// kernel where possible. Returns the new file open for reading and writing; on failure a
// closed descriptor with errno set, and nothing created is left behind.
FileDescriptor copy_to_new_file(int from_fd, const std::filesystem::path& to);

// Copies up to `max_bytes` from the current offset of `from` to the current offset of `to`,
// inside the kernel where the system can, and advances both offsets. Returns the bytes copied,
// 0 at the end of `from`, or -1 with errno set.
[[nodiscard]] long long copy_chunk(int from, int to, std::size_t max_bytes);

// True when the file system holding the existing folder `folder` takes names that differ only
// in case for one name (APFS and HFS+ by default, FAT, exFAT, case-folding folders). When the
// system cannot tell, the answer is true on macOS, whose volumes mostly ignore case, and what a
// lookup of a name in other case shows elsewhere.
[[nodiscard]] bool names_ignore_case(const std::filesystem::path& folder);

// Flushes an open file's data through to the storage device; false with errno set on failure.
// On macOS a plain fsync stops at the drive's cache, so this asks for a full flush there.
bool flush_to_device(int fd);

}  // namespace TWL_Core::platform
