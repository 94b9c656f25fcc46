#include <copyfile.h>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <sys/attr.h>
#include <sys/clonefile.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/ucred.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "foundation/descriptor_io.hpp"

#include "foundation/platform.hpp"

namespace TWL_Core::platform {
namespace {

namespace fs = std::filesystem;

fs::path parent_or_root(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path("/");
}

// Copies the whole file behind `from` into the empty file behind `to`; fcopyfile starts at
// the descriptors' current offsets.
bool copy_data(int from, int to) {
  if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0) return false;
  return ::fcopyfile(from, to, nullptr, COPYFILE_DATA) == 0;
}

}  // namespace

std::filesystem::path executable_path() {
  std::uint32_t size = 1024;
  std::vector<char> buffer(size);
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
    buffer.resize(size);
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  }
  std::error_code error;
  auto path = std::filesystem::canonical(buffer.data(), error);
  return error ? std::filesystem::path{buffer.data()} : path;
}

std::optional<std::vector<MountInfo>> mount_table() {
  // The entries live in a buffer that getmntinfo owns and reuses on its next call.
  struct statfs* entries = nullptr;
  const int count = ::getmntinfo(&entries, MNT_NOWAIT);
  if (count < 1 || entries == nullptr) return std::nullopt;
  std::vector<MountInfo> mounts;
  mounts.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    mounts.push_back({entries[i].f_mntfromname, entries[i].f_mntonname, entries[i].f_fstypename});
  }
  return mounts;
}

std::optional<std::string> mount_point_of(const std::filesystem::path& path) {
  // statfs follows a link; the link itself lies in its folder's file system. statfs also
  // sees through firmlinks: anything below /Users answers the Data volume's mount point.
  fs::path place = path;
  struct stat info {};
  if (::lstat(place.c_str(), &info) != 0) return std::nullopt;
  if (S_ISLNK(info.st_mode)) place = parent_or_root(place);
  struct statfs volume {};
  if (::statfs(place.c_str(), &volume) != 0) return std::nullopt;
  return std::string(volume.f_mntonname);
}

namespace {

fs::file_type type_of(mode_t mode) {
  if (S_ISREG(mode)) return fs::file_type::regular;
  if (S_ISDIR(mode)) return fs::file_type::directory;
  if (S_ISLNK(mode)) return fs::file_type::symlink;
  if (S_ISFIFO(mode)) return fs::file_type::fifo;
  if (S_ISSOCK(mode)) return fs::file_type::socket;
  if (S_ISBLK(mode)) return fs::file_type::block;
  if (S_ISCHR(mode)) return fs::file_type::character;
  return fs::file_type::unknown;
}

}  // namespace

std::optional<FileStatus> file_status(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStatus{type_of(info.st_mode), static_cast<std::uint64_t>(info.st_size),
                    static_cast<std::int64_t>(info.st_mtimespec.tv_sec), info.st_mtimespec.tv_nsec};
}

std::optional<FileIdentity> file_identity(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino, info.st_size, info.st_mtimespec.tv_sec,
                      info.st_mtimespec.tv_nsec};
}

FileDescriptor copy_to_new_file(int from_fd, const std::filesystem::path& to) {
  struct stat source {};
  if (::fstat(from_fd, &source) != 0) return FileDescriptor();
  // A clone on the same APFS volume shares the data and takes constant time; it keeps the
  // source's permissions. It fails with EEXIST where something is at `to`, like O_EXCL.
  if (::fclonefileat(from_fd, AT_FDCWD, to.c_str(), CLONE_NOFOLLOW) == 0) {
    FileDescriptor clone(::open(to.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (clone.is_open()) return clone;
    const int error = errno;
    ::unlink(to.c_str());
    errno = error;
    return clone;
  }
  if (errno == EEXIST) return FileDescriptor();
  FileDescriptor copy(
      ::open(to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!copy.is_open()) return copy;
  if (copy_data(from_fd, copy.get()) && ::fchmod(copy.get(), source.st_mode & 07777) == 0) {
    return copy;
  }
  const int error = errno;
  copy.reset();
  ::unlink(to.c_str());
  errno = error;
  return copy;
}

// macOS has no in-kernel copy between two open files; a plain read and write it is.
long long copy_chunk(int from, int to, std::size_t max_bytes) {
  return util::copy_by_reading(from, to, max_bytes);
}

bool flush_to_device(int fd) {
  // F_FULLFSYNC also empties the drive's own cache; some file systems (network volumes)
  // do not support it, and for them fsync is the best there is.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
  return ::fsync(fd) == 0;
}

// pathconf answers 1 for a case-sensitive volume and 0 otherwise; a volume that cannot answer
// is taken to ignore case, as the Mac's default volumes do.
bool names_ignore_case(const fs::path& folder) {
  return ::pathconf(folder.c_str(), _PC_CASE_SENSITIVE) != 1;
}

}  // namespace TWL_Core::platform
