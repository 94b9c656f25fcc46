#pragma once
// The thin layer over operating-system interfaces that differ between macOS and Linux.
// Each function has one implementation per platform (platform_macos.cpp, platform_linux.cpp);
// no other code calls such an interface directly.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

// Flushes an open file's data through to the storage device; false with errno set on failure.
// On macOS a plain fsync stops at the drive's cache, so this asks for a full flush there.
bool flush_to_device(int fd);

}  // namespace TWL_Core::platform
