#include "sync/sync_dir.hpp"

#include <exception>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

std::wstring joined(const std::wstring& directory, const std::wstring& name) {
  return util::with_trailing_char(directory, L'/') + name;
}

}  // namespace

SyncDir::SyncDir(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only)
    : SyncBase(item, files, plan_only) {
  ssh_kind_ = item.ssh_path_type();
}

void SyncDir::operator()() {
  log_at(LogLevel::Debug, "SyncDir::operator()()");
  if (!item_.source() || item_.source()->path().empty()) return;
  const std::wstring source = item_.source()->path();
  const std::wstring target = item_.target() ? item_.target()->path() : std::wstring();
  try {
    sync_folder(source, target);
  } catch (const std::exception& e) {
    const std::wstring text = util::string_to_wstring(e.what());
    log_at(LogLevel::Error, source, target, text);
    report_sync_error(source + L": " + text);
  } catch (...) {
    log_at(LogLevel::Error, source, target, L" - " + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + source);
  }
}

void SyncDir::sync_folder(const std::wstring& source, const std::wstring& target) {
  if (source_remote()) {
    throw std::runtime_error(util::wstring_to_string(translate("ssh_not_reachable_for") + source +
                                                     L": SFTP access is not available"));
  }
  const std::wstring source_directory = without_volume_spec(source);
  const std::wstring target_directory = target_remote() ? target : without_volume_spec(target);
  create_target_dir_if_not_exist(L"");
  learn_name_rules(source_directory, target_directory);
  FolderNames names = new_folder_names();
  for (const FolderEntry& entry : list_source_folder(source_directory, names)) {
    sync_dir_entry(entry, source_directory, item_.wildcard, target_directory, names);
    if (stop_requested()) return;
  }
  sync_target_only_entries(source_directory, target_directory, item_.wildcard, names);
}

void SyncDir::sync_dir_entry(const FolderEntry& entry, const std::wstring& source_directory,
                             const std::wstring& wildcard, const std::wstring& target_directory,
                             const FolderNames& names) {
  const std::wstring path = joined(source_directory, entry.name);
  log_at(LogLevel::Debug, L"sync_dir_entry: " + path);
  if (entry.is_directory || entry.name.empty()) return;
  if (!entry.is_regular_file) {
    if (entry.is_symlink) report_link_not_followed(path);
    return;
  }
  if (file_skipped(entry.name, wildcard, names)) {
    log_at(LogLevel::Debug, L"sync_dir_entry: uebersprungen " + entry.name);
    return;
  }
  sync_file(path, joined(target_directory, entry.name), wildcard);
}

}  // namespace TWL_Core
