#include "sync/recycle_bin.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "config/settings.hpp"
#include "foundation/descriptor_io.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/synchronize.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;

std::wstring wide(const fs::path& path) { return util::string_to_wstring(path.string()); }

std::wstring wide(const std::error_code& ec) { return util::string_to_wstring(ec.message()); }

// Something is at `path` itself (a dangling link counts); unreadable status counts as nothing.
bool exists_here(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec)) && !ec;
}

std::error_code copy_time(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  const auto time = fs::last_write_time(from, ec);
  if (!ec) fs::last_write_time(to, time, ec);
  return ec;
}

// Large enough that asking whether to stop costs nothing, small enough to stop within moments.
constexpr std::size_t COPY_BLOCK = 1024 * 1024;

std::error_code last_error() { return {errno, std::generic_category()}; }
std::error_code cancelled() { return std::make_error_code(std::errc::operation_canceled); }

std::error_code copy_blocks(int from, int to, const StopRequested& stop_requested) {
  std::vector<char> block(COPY_BLOCK);
  for (;;) {
    if (stop_requested()) return cancelled();
    const ssize_t got = ::read(from, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return last_error();
    if (got == 0) return {};
    if (const auto error =
            util::write_all(to, std::string_view(block.data(), static_cast<std::size_t>(got)))) {
      return error;
    }
  }
}

// Copies a regular file's data and permissions block by block, replacing a file at `to`.
std::error_code copy_file_data(const fs::path& from, const fs::path& to,
                               const StopRequested& stop_requested) {
  const FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!source.is_open() || ::fstat(source.get(), &info) != 0) return last_error();
  const FileDescriptor copy(
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777));
  if (!copy.is_open()) return last_error();
  if (const auto error = copy_blocks(source.get(), copy.get(), stop_requested)) return error;
  if (::fchmod(copy.get(), info.st_mode & 07777) != 0) return last_error();
  return {};
}

std::error_code copy_file_with_time(const fs::path& from, const fs::path& to,
                                    const StopRequested& stop_requested) {
  const auto error = copy_file_data(from, to, stop_requested);
  return error ? error : copy_time(from, to);
}

std::error_code copy_entry(const fs::path& from, const fs::path& to,
                           const StopRequested& stop_requested);

std::error_code copy_directory(const fs::path& from, const fs::path& to,
                               const StopRequested& stop_requested) {
  std::error_code ec;
  fs::create_directory(to, from, ec);
  if (ec) return ec;
  fs::directory_iterator entry(from, ec);
  for (; !ec && entry != fs::directory_iterator(); entry.increment(ec)) {
    if (stop_requested()) return cancelled();
    const fs::path inner = to / entry->path().filename();
    if (const auto error = copy_entry(entry->path(), inner, stop_requested)) return error;
  }
  return ec ? ec : copy_time(from, to);
}

// Copies a file, link or whole folder, with the modification times of files and folders.
std::error_code copy_entry(const fs::path& from, const fs::path& to,
                           const StopRequested& stop_requested) {
  std::error_code ec;
  const auto status = fs::symlink_status(from, ec);
  if (ec) return ec;
  if (fs::is_symlink(status)) {
    fs::copy_symlink(from, to, ec);
    return ec;
  }
  return fs::is_directory(status) ? copy_directory(from, to, stop_requested)
                                  : copy_file_with_time(from, to, stop_requested);
}

bool never_stop() { return false; }

}  // namespace

RecycleBin& RecycleBin::instance() {
  static RecycleBin bin;
  return bin;
}

RecycleBin::RecycleBin() : bin_path_(default_recycle_bin_path()) {}

void RecycleBin::bin_path(const fs::path& path) {
  const std::lock_guard lock(mutex_);
  bin_path_ = path;
}

fs::path RecycleBin::bin_path() const {
  const std::lock_guard lock(mutex_);
  return bin_path_;
}

BinMove RecycleBin::move_in(const fs::path& path, const fs::path& item_path,
                            const StopRequested& stop_requested) {
  const std::lock_guard lock(mutex_);
  if (!check_relative(item_path)) return BinMove::Failed;
  if (!exists_here(path)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_file_not_exist"), wide(path));
    return BinMove::Failed;
  }
  const fs::path destination = bin_path_ / item_path.lexically_normal();
  if (!create_parent(destination)) return BinMove::Failed;
  const BinMove result = move(path, destination, stop_requested);
  if (result == BinMove::Moved) log_at(LogLevel::Debug, "Papierkorb: verschoben ", path.string());
  return result;
}

bool RecycleBin::add_item(const fs::path& path, const fs::path& item_path) {
  return move_in(path, item_path, Synchronize::stopping) == BinMove::Moved;
}

bool RecycleBin::add_item(const fs::path& path) { return add_item(path, path); }

BinMove RecycleBin::move_out(const fs::path& item_path, const StopRequested& stop_requested) {
  const std::lock_guard lock(mutex_);
  if (!check_relative(item_path)) return BinMove::Failed;
  const fs::path target = item_path.lexically_normal();
  const fs::path source = bin_path_ / target;
  if (!exists_here(source)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_file_not_inside"), wide(item_path));
    return BinMove::Failed;
  }
  if (exists_here(target)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_target_exists"), wide(target));
    return BinMove::Failed;
  }
  if (!create_parent(target)) return BinMove::Failed;
  const BinMove result = move(source, target, stop_requested);
  if (result == BinMove::Moved) {
    log_at(LogLevel::Debug, "Papierkorb: wiederhergestellt ", target.string());
  }
  return result;
}

// A restore is asked for by the user, also while no controller runs (and the controller's
// stop flag may still be set from the last one).
bool RecycleBin::restore_item(const fs::path& item_path) {
  return move_out(item_path, never_stop) == BinMove::Moved;
}

std::vector<fs::path> RecycleBin::list_items() const {
  const std::lock_guard lock(mutex_);
  std::vector<fs::path> items;
  std::error_code ec;
  if (!fs::exists(bin_path_, ec)) return items;
  fs::recursive_directory_iterator entry(bin_path_, ec);
  for (; !ec && entry != fs::recursive_directory_iterator(); entry.increment(ec)) {
    std::error_code ignored;
    if (!entry->is_directory(ignored)) items.push_back(entry->path().lexically_relative(bin_path_));
  }
  if (ec)
    log_at(LogLevel::Error, translation::translate("recycle_bin_dir_unreadable"), wide(bin_path_));
  return items;
}

bool RecycleBin::check_relative(const fs::path& item_path) const {
  if (item_path.empty() || item_path.has_root_directory() || item_path.has_root_name()) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_absolute_path"), wide(item_path));
    return false;
  }
  const fs::path normal = item_path.lexically_normal();
  if (normal == "." || std::find(normal.begin(), normal.end(), fs::path("..")) != normal.end()) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_path_escapes"), wide(item_path));
    return false;
  }
  return true;
}

BinMove RecycleBin::move(const fs::path& from, const fs::path& to,
                         const StopRequested& stop_requested) const {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return BinMove::Moved;
  const bool target_existed = exists_here(to);
  if (const auto error = copy_entry(from, to, stop_requested)) {
    if (!target_existed) fs::remove_all(to, ec);
    if (error == std::errc::operation_canceled) {
      log_at(LogLevel::Debug, "RecycleBin::move stopped: ", from.string());
      return BinMove::Cancelled;
    }
    log_at(LogLevel::Error, translation::translate("recycle_bin_move_failed"), wide(from), wide(to),
           wide(error));
    return BinMove::Failed;
  }
  fs::remove_all(from, ec);
  if (ec) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_source_not_deletable"), wide(from));
    return BinMove::CopiedOriginalKept;
  }
  return BinMove::Moved;
}

bool RecycleBin::create_parent(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty()) return true;
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (!ec) return true;
  log_at(LogLevel::FatalError, translation::translate("recycle_bin_dir_not_creatable"),
         wide(parent));
  return false;
}

bool father_son_backup(std::wstring_view name) {
  const std::wstring_view suffix = FATHER_SON_SUFFIX;
  const auto position = name.rfind(suffix);
  if (position == std::wstring_view::npos || position == 0) return false;
  const std::wstring_view number = name.substr(position + suffix.size());
  return !number.empty() && std::all_of(number.begin(), number.end(),
                                        [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

}  // namespace TWL_Core
