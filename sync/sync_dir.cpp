#include "sync/sync_dir.hpp"

#include <exception>

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {

SyncDir::SyncDir(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
                 RemoteAccess* remote)
    : SyncBase(item, files, plan_only, remote) {
  ssh_kind_ = item.ssh_path_type();
}

void SyncDir::operator()() {
  log_at(LogLevel::Debug, "SyncDir::operator()()");
  if (!item_.source() || item_.source()->path().empty()) return;
  const std::wstring source = item_.source()->path();
  const std::wstring target = item_.target() ? item_.target()->path() : std::wstring();
  if (remote_side_unavailable()) return;
  try {
    sync_folder(source, target);
  } catch (const std::exception& e) {
    report_failure(source, target, &e);
  } catch (...) {
    report_failure(source, target, nullptr);
  }
}

void SyncDir::sync_folder(const std::wstring& source, const std::wstring& target) {
  const std::wstring source_directory = source_remote() ? source : without_volume_spec(source);
  const std::wstring target_directory = target_remote() ? target : without_volume_spec(target);
  create_target_dir_if_not_exist(L"");
  remove_leftovers(source_directory, target_directory);
  learn_name_rules(source_directory, target_directory);
  FolderNames names = new_folder_names();
  const std::size_t files_before = files_;
  for (const FolderEntry& entry : list_source_folder(source_directory, names)) {
    sync_dir_entry(entry, source_directory, item_.wildcard, target_directory, names);
    if (stop_requested() || remote_host_lost()) break;
  }
  if (!stop_requested() && !remote_host_lost()) {
    sync_target_only_entries(source_directory, target_directory, item_.wildcard, names);
  }
  flush_folders(source_directory, target_directory, files_before);
}

void SyncDir::sync_dir_entry(const FolderEntry& entry, const std::wstring& source_directory,
                             const std::wstring& wildcard, const std::wstring& target_directory,
                             const FolderNames& names) {
  const std::wstring path = child_path(source_directory, entry.name);
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
  sync_file(path, child_path(target_directory, entry.name), wildcard);
}

}  // namespace TWL_Core
