#include "sync/sync_tree.hpp"

#include <exception>
#include <filesystem>
#include <system_error>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"
#include "sync/synchronize.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using translation::translate;

// True when something other than a real folder stands at `path` (a link is not followed).
bool no_real_folder_at(const std::wstring& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(util::to_path(path), ec);
  return fs::exists(status) && !fs::is_directory(status);
}

bool same_folder(const std::wstring& a, const std::wstring& b) {
  std::error_code ec;
  return fs::equivalent(util::to_path(a), util::to_path(b), ec);
}

}  // namespace

SyncTree::SyncTree(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
                   RemoteAccess* remote)
    : SyncBase(item, files, plan_only, remote) {
  ssh_kind_ = item.ssh_path_type();
}

void SyncTree::operator()() {
  log_at(LogLevel::Debug, "SyncTree::operator()()");
  if (!item_.source() || item_.source()->path().empty()) return;
  const std::wstring source_text = item_.source()->path();
  const std::wstring target_text = item_.target() ? item_.target()->path() : std::wstring();
  if (remote_side_unavailable()) return;
  sync_tree(source_remote() ? source_text : without_volume_spec(source_text),
            target_remote() ? target_text : without_volume_spec(target_text));
}

void SyncTree::sync_tree(const std::wstring& source, const std::wstring& target) {
  target_root_ = target;
  create_target_dir_if_not_exist(target);
  learn_name_rules(source, target);
  std::vector<Folder> path;
  enter(path, source, target);
  while (!path.empty()) {
    if (Synchronize::stopping() || remote_host_lost()) {
      for (const Folder& folder : path) {
        flush_folders(folder.source, folder.target, folder.files_at_entry);
      }
      return;
    }
    Folder& folder = path.back();
    if (folder.next < folder.entries.size()) {
      const Entry entry = folder.entries[folder.next++];
      sync_entry(path, entry);
    } else {
      finish(folder);
      path.pop_back();
    }
  }
}

void SyncTree::enter(std::vector<Folder>& path, const std::wstring& source,
                     const std::wstring& target) {
  log_at(LogLevel::Debug, L"sync_tree: " + source + L" -> " + target);
  if (Synchronize::stopping()) return;
  try {
    create_target_dir_if_not_exist(target);
    remove_leftovers(source, target);
    Folder folder{source, target, {}, 0, new_folder_names(), files_};
    folder.entries = list_source_folder(source, folder.names);
    path.push_back(std::move(folder));
  } catch (const std::exception& e) {
    report_failure(source, target, &e);
  } catch (...) {
    report_failure(source, target, nullptr);
  }
}

void SyncTree::sync_entry(std::vector<Folder>& path, const Entry& entry) {
  const Folder& folder = path.back();
  const std::wstring source_path = child_path(folder.source, entry.name);
  if (entry.is_symlink && !entry.is_regular_file) {
    report_link_not_followed(source_path);
  } else if (entry.is_directory) {
    if (subtree_skipped(folder, entry)) return;
    const std::wstring target_path = child_path(folder.target, entry.name);
    enter(path, source_path, target_path);
  } else if (entry.is_regular_file) {
    if (file_skipped(entry.name, item_.wildcard, folder.names)) return;
    sync_file(source_path, child_path(folder.target, entry.name), item_.wildcard);
  }
}

bool SyncTree::subtree_skipped(const Folder& folder, const Entry& entry) {
  if (is_excluded(entry.name, item_.exclusions)) {
    log_at(LogLevel::Debug, L"Ausgeschlossenes Verzeichnis wird uebersprungen: " + entry.name);
    return true;
  }
  if (folder.names.collides_on_target(entry.name)) return true;
  const std::wstring source_path = child_path(folder.source, entry.name);
  const std::wstring target_path = child_path(folder.target, entry.name);
  if (!target_remote() && no_real_folder_at(target_path)) {
    const std::wstring text = translate("target_folder_not_a_folder") + target_path;
    log_at(LogLevel::Error, text);
    report_sync_error(text);
    return true;
  }
  if (!source_remote() && !target_remote() && same_folder(source_path, target_root_)) {
    if (!target_inside_source_reported_) {
      const std::wstring text = translate("target_inside_source_skipped") + source_path;
      log_at(LogLevel::Warning, text);
      report_sync_error(text);
      target_inside_source_reported_ = true;
    }
    return true;
  }
  return false;
}

void SyncTree::finish(const Folder& folder) {
  try {
    if (!Synchronize::stopping() && !remote_host_lost()) {
      sync_target_only_entries(folder.source, folder.target, item_.wildcard, folder.names);
    }
  } catch (const std::exception& e) {
    report_failure(folder.source, folder.target, &e);
  } catch (...) {
    report_failure(folder.source, folder.target, nullptr);
  }
  flush_folders(folder.source, folder.target, folder.files_at_entry);
}

}  // namespace TWL_Core
