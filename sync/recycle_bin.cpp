#include "sync/recycle_bin.hpp"

#include <algorithm>
#include <string>
#include <system_error>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "config/settings.hpp"

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

std::error_code copy_file_with_time(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  return ec ? ec : copy_time(from, to);
}

std::error_code copy_entry(const fs::path& from, const fs::path& to);

std::error_code copy_directory(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directory(to, from, ec);
  if (ec) return ec;
  fs::directory_iterator entry(from, ec);
  for (; !ec && entry != fs::directory_iterator(); entry.increment(ec)) {
    if (const auto error = copy_entry(entry->path(), to / entry->path().filename())) return error;
  }
  return ec ? ec : copy_time(from, to);
}

// Copies a file, link or whole folder, with the modification times of files and folders.
std::error_code copy_entry(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  const auto status = fs::symlink_status(from, ec);
  if (ec) return ec;
  if (fs::is_symlink(status)) {
    fs::copy_symlink(from, to, ec);
    return ec;
  }
  return fs::is_directory(status) ? copy_directory(from, to) : copy_file_with_time(from, to);
}

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

bool RecycleBin::add_item(const fs::path& path, const fs::path& item_path) {
  const std::lock_guard lock(mutex_);
  if (!check_relative(item_path)) return false;
  if (!exists_here(path)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_file_not_exist"), wide(path));
    return false;
  }
  const fs::path destination = bin_path_ / item_path.lexically_normal();
  if (!create_parent(destination) || !move(path, destination)) return false;
  log_at(LogLevel::Debug, "Papierkorb: verschoben ", path.string());
  return true;
}

bool RecycleBin::add_item(const fs::path& path) { return add_item(path, path); }

bool RecycleBin::restore_item(const fs::path& item_path) {
  const std::lock_guard lock(mutex_);
  if (!check_relative(item_path)) return false;
  const fs::path target = item_path.lexically_normal();
  const fs::path source = bin_path_ / target;
  if (!exists_here(source)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_file_not_inside"), wide(item_path));
    return false;
  }
  if (exists_here(target)) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_target_exists"), wide(target));
    return false;
  }
  if (!create_parent(target) || !move(source, target)) return false;
  log_at(LogLevel::Debug, "Papierkorb: wiederhergestellt ", target.string());
  return true;
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

bool RecycleBin::move(const fs::path& from, const fs::path& to) const {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  const bool target_existed = exists_here(to);
  if (const auto error = copy_entry(from, to)) {
    if (!target_existed) fs::remove_all(to, ec);
    log_at(LogLevel::Error, translation::translate("recycle_bin_move_failed"), wide(from), wide(to),
           wide(error));
    return false;
  }
  fs::remove_all(from, ec);
  if (ec) {
    log_at(LogLevel::Error, translation::translate("recycle_bin_source_not_deletable"), wide(from));
    return false;
  }
  return true;
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
