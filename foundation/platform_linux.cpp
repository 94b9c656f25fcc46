#include <fcntl.h>
#include <linux/fs.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "foundation/descriptor_io.hpp"
#include "foundation/platform.hpp"
#include "foundation/text.hpp"

namespace TWL_Core::platform {
namespace {

namespace fs = std::filesystem;

// Long enough for the fields we keep; getmntent_r drops the rest of an overlong line.
constexpr std::size_t MOUNT_LINE_BUFFER = 16 * 1024;
constexpr std::size_t COPY_BLOCK = 1024 * 1024;

struct MountTableCloser {
  void operator()(std::FILE* table) const { ::endmntent(table); }
};

// One mount of /proc/self/mountinfo: the device it shows in stat and where it is mounted.
struct DeviceMount {
  dev_t device = 0;
  fs::path mount_point;
};

// Fields: mount id, parent id, major:minor, root within the file system, mount point, ...
std::optional<DeviceMount> parse_mountinfo_line(const std::string& line) {
  std::istringstream fields(line);
  std::string id;
  std::string parent;
  std::string numbers;
  std::string root;
  std::string mount_point;
  if (!(fields >> id >> parent >> numbers >> root >> mount_point)) return std::nullopt;
  unsigned major_number = 0;
  unsigned minor_number = 0;
  if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) != 2) {
    return std::nullopt;
  }
  return DeviceMount{::makedev(major_number, minor_number),
                     util::decode_octal_escapes(mount_point)};
}

std::optional<std::vector<DeviceMount>> device_mounts() {
  std::ifstream in("/proc/self/mountinfo");
  if (!in.is_open()) return std::nullopt;
  std::vector<DeviceMount> mounts;
  std::string line;
  while (std::getline(in, line)) {
    if (auto mount = parse_mountinfo_line(line)) mounts.push_back(std::move(*mount));
  }
  if (mounts.empty()) return std::nullopt;
  return mounts;
}

// True if `outer` is `inner` or one of its ancestors, compared name by name.
bool contains(const fs::path& outer, const fs::path& inner) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

std::size_t depth(const fs::path& path) {
  return static_cast<std::size_t>(std::distance(path.begin(), path.end()));
}

// The deepest mount point above `path` among the mounts that `fits`; of two with the same
// mount point the later one, which is mounted over the earlier.
template <typename Fits>
const DeviceMount* deepest_mount_above(const std::vector<DeviceMount>& mounts, const fs::path& path,
                                       Fits fits) {
  const DeviceMount* best = nullptr;
  for (const auto& mount : mounts) {
    if (!fits(mount) || !contains(mount.mount_point, path)) continue;
    if (!best || depth(mount.mount_point) >= depth(best->mount_point)) best = &mount;
  }
  return best;
}

fs::path parent_or_root(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path("/");
}

std::optional<dev_t> device_of(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_dev;
}

// Without a readable mount table: the highest folder above `path` still on its device.
std::optional<std::string> walk_up_to_device_change(fs::path path, dev_t device) {
  for (;;) {
    if (path == "/" || path.empty()) return "/";
    const fs::path parent = parent_or_root(path);
    const auto parent_device = device_of(parent);
    if (!parent_device) return std::nullopt;
    if (*parent_device != device) return path.string();
    path = parent;
  }
}

// The whole of `from`, from its start, into the empty `to`.
bool copy_whole_file(int from, int to) {
  if (::lseek(from, 0, SEEK_SET) != 0) return false;
  for (;;) {
    const long long copied = copy_chunk(from, to, COPY_BLOCK);
    if (copied == 0) return true;
    if (copied < 0) return false;
  }
}

}  // namespace

std::filesystem::path executable_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path{} : path;
}

std::optional<std::vector<MountInfo>> mount_table() {
  const std::unique_ptr<std::FILE, MountTableCloser> table(::setmntent("/proc/self/mounts", "r"));
  if (!table) return std::nullopt;
  std::vector<MountInfo> mounts;
  std::vector<char> buffer(MOUNT_LINE_BUFFER);
  mntent entry{};
  while (::getmntent_r(table.get(), &entry, buffer.data(), static_cast<int>(buffer.size()))) {
    mounts.push_back({entry.mnt_fsname, entry.mnt_dir, entry.mnt_type});
  }
  return mounts;
}

std::optional<std::string> mount_point_of(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  std::error_code error;
  fs::path place = fs::absolute(path, error).lexically_normal();
  if (error) return std::nullopt;
  struct stat info {};
  if (::lstat(place.c_str(), &info) != 0) return std::nullopt;
  if (S_ISLNK(info.st_mode)) {
    place = parent_or_root(place);
    if (::lstat(place.c_str(), &info) != 0) return std::nullopt;
  }
  const auto mounts = device_mounts();
  if (!mounts) return walk_up_to_device_change(place, info.st_dev);
  // A file in a btrfs subvolume that is not mounted of its own shows a device of its own;
  // then the mount whose folder holds the path is the answer.
  const DeviceMount* mount = deepest_mount_above(
      *mounts, place, [&](const DeviceMount& m) { return m.device == info.st_dev; });
  if (!mount) mount = deepest_mount_above(*mounts, place, [](const DeviceMount&) { return true; });
  if (!mount) return walk_up_to_device_change(place, info.st_dev);
  return mount->mount_point.string();
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
                    static_cast<std::int64_t>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec};
}

std::optional<FileIdentity> file_identity(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec,
                      info.st_mtim.tv_nsec};
}

FileDescriptor copy_to_new_file(int from_fd, const std::filesystem::path& to) {
  struct stat source {};
  if (::fstat(from_fd, &source) != 0) return FileDescriptor();
  FileDescriptor copy(
      ::open(to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!copy.is_open()) return copy;
  const bool copied = ::ioctl(copy.get(), FICLONE, from_fd) == 0 ||
                      copy_whole_file(from_fd, copy.get());
  if (copied && ::fchmod(copy.get(), source.st_mode & 07777) == 0) return copy;
  const int error = errno;
  copy.reset();
  ::unlink(to.c_str());
  errno = error;
  return copy;
}

long long copy_chunk(int from, int to, std::size_t max_bytes) {
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, max_bytes, 0);
    if (copied >= 0) return copied;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return -1;
    break;  // these two files cannot be copied between inside the kernel
  }
  return util::copy_by_reading(from, to, max_bytes);
}

bool flush_to_device(int fd) { return ::fsync(fd) == 0; }

namespace {

constexpr long FAT_MAGIC = 0x4d44;
constexpr long EXFAT_MAGIC = 0x2011BAB0;
// Only the older NTFS driver ignores case by default; ntfs3 does so only when mounted with
// "nocase", so its volumes are asked by lookup.
constexpr long NTFS_MAGIC = 0x5346544e;
#ifndef FS_CASEFOLD_FL
constexpr int FS_CASEFOLD_FL = 0x40000000;
#endif

bool case_insensitive_type(const fs::path& folder) {
  struct statfs info {};
  if (::statfs(folder.c_str(), &info) != 0) return false;
  const long type = static_cast<long>(info.f_type);
  return type == FAT_MAGIC || type == EXFAT_MAGIC || type == NTFS_MAGIC;
}

bool case_folding_folder(const fs::path& folder) {
  const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  int flags = 0;
  return fd.is_open() && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & FS_CASEFOLD_FL) != 0;
}

std::string with_case_swapped(const std::string& name) {
  std::string swapped = name;
  for (char& c : swapped) {
    const auto byte = static_cast<unsigned char>(c);
    c = static_cast<char>(std::isupper(byte) ? std::tolower(byte) : std::toupper(byte));
  }
  return swapped;
}

// Whether `name` in `folder`, looked up with its letters' case swapped, finds the same file:
// nothing when the name has no letters to swap.
std::optional<bool> lookup_ignores_case(const fs::path& folder, const std::string& name) {
  const std::string swapped = with_case_swapped(name);
  if (swapped == name) return std::nullopt;
  struct stat original {};
  struct stat other {};
  if (::lstat((folder / name).c_str(), &original) != 0) return std::nullopt;
  if (::lstat((folder / swapped).c_str(), &other) != 0) return false;
  return original.st_dev == other.st_dev && original.st_ino == other.st_ino;
}

// The folder's own name looked up in its parent, if the parent lies on the same file system:
// the parent of a mount's root belongs to another one, whose answer says nothing.
std::optional<bool> own_name_ignores_case(const fs::path& folder) {
  std::error_code ec;
  const fs::path place = fs::canonical(folder, ec);
  if (ec || !place.has_filename()) return std::nullopt;
  const auto own_device = device_of(place);
  const auto parent_device = device_of(place.parent_path());
  if (!own_device || !parent_device || *own_device != *parent_device) return std::nullopt;
  return lookup_ignores_case(place.parent_path(), place.filename().string());
}

// Creates a hidden file of a fresh name in `folder`, looks it up in other case and removes it.
std::optional<bool> probe_ignores_case(const fs::path& folder) {
  std::string probe = (folder / ".ternwell-case-probe-XXXXXX").string();
  const FileDescriptor fd(::mkostemp(probe.data(), O_CLOEXEC));
  if (!fd.is_open()) return std::nullopt;
  const auto answer = lookup_ignores_case(folder, fs::path(probe).filename().string());
  ::unlink(probe.c_str());
  return answer;
}

// File systems whose type says nothing (FUSE, network file systems) are asked by looking up
// the first name with letters in the folder, else the folder's own name in its parent, else a
// name made for the purpose (an empty root of a volume).
bool lookup_shows_case_ignored(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (auto answer = lookup_ignores_case(folder, it->path().filename().string())) return *answer;
  }
  if (auto answer = own_name_ignores_case(folder)) return *answer;
  return probe_ignores_case(folder).value_or(false);
}

}  // namespace

bool names_ignore_case(const fs::path& folder) {
  return case_insensitive_type(folder) || case_folding_folder(folder) ||
         lookup_shows_case_ignored(folder);
}

}  // namespace TWL_Core::platform
