#pragma once
// A case-insensitive, case-preserving volume (as macOS APFS is by default) for tests on a
// system that has none: a backing folder seen through a small FUSE file system
// (case_insensitive_fs.py) on a mount point. The destructor unmounts it and ends the file
// system's process, also after a failed assertion; should the test process die, the file
// system unmounts itself.

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/child_process.hpp"

namespace TWL_Core::test {

class CaseInsensitiveVolume {
 public:
  // Mounts the view of the existing folder `backing` on the existing folder `mount_point`,
  // waiting up to 10 s for the mount to appear; mounted() tells whether it did.
  CaseInsensitiveVolume(const std::filesystem::path& backing,
                        const std::filesystem::path& mount_point);
  ~CaseInsensitiveVolume();
  CaseInsensitiveVolume(const CaseInsensitiveVolume&) = delete;
  CaseInsensitiveVolume& operator=(const CaseInsensitiveVolume&) = delete;

  [[nodiscard]] bool mounted() const { return mounted_; }
  const std::filesystem::path& path() const { return mount_point_; }

  // Why such a volume cannot be mounted here (not root, no /dev/fuse, no Python with a FUSE
  // module, no fusermount3), for a test's skip message; empty when it can.
  [[nodiscard]] static std::string unavailable_reason();

 private:
  [[nodiscard]] bool listed_as_fuse() const;
  // True if fusermount3 unmounted the volume; false if it was not mounted or had to be detached.
  [[nodiscard]] bool unmount() const;

  std::filesystem::path mount_point_;
  std::optional<ChildProcess> file_system_;
  bool mounted_ = false;
};

}  // namespace TWL_Core::test
