#include "sync/filesystem_util.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <system_error>

#include "foundation/platform.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/mounted_drives.hpp"

namespace TWL_Core::FilesystemUtil {
namespace {

namespace fs = std::filesystem;

std::optional<int> whole_number(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<FstabEntry> parse_fstab_line(const std::string& line) {
  std::istringstream fields(line);
  FstabEntry entry;
  std::string dump;
  std::string pass;
  if (!(fields >> entry.device >> entry.mount_point >> entry.type >> entry.options >> dump >>
        pass)) {
    return std::nullopt;
  }
  const auto dump_number = whole_number(dump);
  const auto pass_number = whole_number(pass);
  if (!dump_number || !pass_number) return std::nullopt;
  entry.device = util::decode_octal_escapes(entry.device);
  entry.mount_point = util::decode_octal_escapes(entry.mount_point);
  entry.type = util::decode_octal_escapes(entry.type);
  entry.options = util::decode_octal_escapes(entry.options);
  entry.dump = *dump_number;
  entry.pass = *pass_number;
  return entry;
}

bool is_comment_or_blank(const std::string& line) {
  const auto first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || line[first] == '#';
}

}  // namespace

// One stat: the comparison of an unchanged tree does little else.
FileInfoResult fileinfo(const std::wstring& path, std::uintmax_t& size, util::FileTime& time) {
  const fs::path file = util::to_path(path);
  const auto status = platform::file_status(file);
  if (!status) {
    if (errno != ENOENT && errno != ENOTDIR) return FileInfoResult::ReadError;
    return MountedDrives::instance().drive_mounted(file, L"") ? FileInfoResult::FileNotExist
                                                              : FileInfoResult::DriveNotMounted;
  }
  if (status->type != fs::file_type::regular) return FileInfoResult::ReadError;
  const auto modified =
      util::from_unix_time(status->modified_seconds, status->modified_nanoseconds);
  if (!modified) return FileInfoResult::TimeInvalid;
  size = status->size;
  time = *modified;
  return FileInfoResult::Ok;
}

std::wstring make_error_message(FileInfoResult result) {
  switch (result) {
    case FileInfoResult::Ok:
      return {};
    case FileInfoResult::FileNotExist:
      return translation::translate("file_not_exist");
    case FileInfoResult::DriveNotMounted:
      return translation::translate("drive_not_mounted");
    case FileInfoResult::AttributesUnreadable:
      return translation::translate("file_attributes_unreadable");
    case FileInfoResult::TimeInvalid:
      return translation::translate("file_time_invalid");
    case FileInfoResult::ReadError:
      return translation::translate("file_info_read_error");
  }
  return translation::translate("unknown_error");
}

fs::path normalize_best_effort(const fs::path& path) {
  std::error_code ec;
  auto normal = fs::weakly_canonical(path, ec);
  return ec ? path : normal;
}

std::optional<std::string> get_mount_root(const fs::path& path) {
  // An ancestor that vanishes while it is examined makes its parent the next candidate.
  for (fs::path current = normalize_best_effort(path);; current = current.parent_path()) {
    if (auto root = platform::mount_point_of(current)) return root;
    if (!current.has_parent_path() || current.parent_path() == current) return std::nullopt;
  }
}

fs::path get_mount_point(const fs::path& path) {
  const auto root = get_mount_root(path);
  return root ? fs::path(*root) : fs::path();
}

std::optional<fs::path> is_mountpoint(const fs::path& path) {
  fs::path normal = normalize_best_effort(path);
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  const auto root = platform::mount_point_of(normal);
  if (!root || fs::path(*root) != normal) return std::nullopt;
  return normal;
}

bool touch(const fs::path& path) {
  try {
    fs::last_write_time(path, fs::file_time_type::clock::now());
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, std::string("Error in function touch: ") + e.what());
    return false;
  }
}

std::vector<FstabEntry> parse_fstab(const fs::path& file) {
  std::ifstream in(file);
  std::vector<FstabEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (is_comment_or_blank(line)) continue;
    if (auto entry = parse_fstab_line(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace TWL_Core::FilesystemUtil
