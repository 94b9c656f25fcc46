#include "sync/sync_base.hpp"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "foundation/durable_file.hpp"
#include "foundation/platform.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "foundation/wildmatch.hpp"
#include "logging/logging.hpp"
#include "sync/mounted_drives.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/safe_copy.hpp"
#include "sync/sync_file.hpp"
#include "sync/sync_plan.hpp"
#include "sync/sync_report.hpp"
#include "sync/synchronize.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using translation::translate;

std::unique_ptr<SyncPath> endpoint_like(const std::unique_ptr<SyncPath>& item_side,
                                        const std::wstring& path) {
  if (const auto* remote = dynamic_cast<const SshPath*>(item_side.get())) {
    return std::make_unique<SshPath>(remote->account(), path);
  }
  return std::make_unique<FilesystemPath>(path);
}

SshAccount account_of(const std::unique_ptr<SyncPath>& side) {
  const auto* remote = dynamic_cast<const SshPath*>(side.get());
  return remote != nullptr ? remote->account() : SshAccount();
}

[[noreturn]] void throw_not_listed(const std::wstring& directory) {
  throw std::runtime_error(
      util::wstring_to_string(translate("remote_folder_not_listed") + directory));
}

// The folder itself, or the nearest of its parents that exists: what a folder not created yet
// will be part of.
fs::path nearest_existing(fs::path folder) {
  std::error_code ec;
  while (!fs::exists(folder, ec) && folder.has_parent_path() && folder != folder.parent_path()) {
    folder = folder.parent_path();
  }
  return folder;
}

bool local_names_ignore_case(const std::wstring& root) {
  return !root.empty() && platform::names_ignore_case(nearest_existing(util::to_path(root)));
}

// A partial copy, or an old file held aside while a remote upload takes its name.
bool is_copy_in_progress(const std::wstring& name) {
  const std::string bytes = util::to_path(name).native();
  return is_temporary_copy_name(bytes) || util::destination_of_aside(bytes).has_value();
}

}  // namespace

SyncBase::SyncBase(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
                   RemoteAccess* remote)
    : item_(item), files_(files), plan_only_(plan_only), remote_(remote) {}

bool SyncBase::stop_requested() { return Synchronize::stopping(); }

bool SyncBase::drive_not_exist(const std::wstring& path, bool remote) {
  log_at(LogLevel::Debug, L"drive_not_exist: " + path);
  if (remote) return false;
  if (MountedDrives::instance().drive_mounted(util::to_path(path))) return false;
  log_at(LogLevel::Debug, "drive_not_exist: TRUE");
  return true;
}

std::vector<FolderEntry> SyncBase::list_local_folder(const std::wstring& directory) {
  std::vector<FolderEntry> entries;
  // The entry's own type comes with the listing; only links need a look at what they lead to.
  for (const fs::directory_entry& entry : fs::directory_iterator(util::to_path(directory))) {
    std::error_code ec;
    entries.push_back({util::from_path(entry.path().filename()), entry.is_directory(ec),
                       entry.is_regular_file(ec), entry.is_symlink(ec)});
  }
  return entries;
}

void SyncBase::create_target_dir_if_not_exist(const std::wstring& directory) {
  log_at(LogLevel::Debug, L"create_target_dir_if_not_exist: " + directory);
  if (plan_only_) return;
  const std::wstring folder =
      directory.empty() && item_.target() ? item_.target()->path() : directory;
  if (target_remote()) {
    (void)create_remote_dir(folder);
    return;
  }
  std::error_code ec;
  fs::create_directories(util::to_path(without_volume_spec(folder)), ec);
  if (!ec) return;
  log_at(LogLevel::Error, translate("target_dir_create_error"), folder,
         util::string_to_wstring(ec.message()));
  report_sync_error(translate("target_dir_not_creatable") + folder);
}

void SyncBase::remove_leftovers(const std::wstring& source_directory,
                                const std::wstring& target_directory) {
  if (plan_only_) return;
  if (!target_remote()) {
    remove_temporary_copies(util::to_path(target_directory));
  } else if (remote_ != nullptr) {
    remote_->clean_leftovers(target_location(target_directory));
  }
  if (!item_.flags.twoWaySync) return;
  if (!source_remote()) {
    remove_temporary_copies(util::to_path(source_directory));
  } else if (remote_ != nullptr) {
    remote_->clean_leftovers(source_location(source_directory));
  }
}

void SyncBase::flush_folders(const std::wstring& source_directory,
                             const std::wstring& target_directory, std::size_t files_before) {
  if (plan_only_ || files_ == files_before) return;
  if (!target_remote()) (void)util::flush_folder(util::to_path(target_directory));
  if (item_.flags.twoWaySync && !source_remote()) {
    (void)util::flush_folder(util::to_path(source_directory));
  }
}

void SyncBase::sync_file(const std::wstring& source, const std::wstring& target,
                         const std::wstring& wildcard) {
  if (plan_only_ && !planning()) {
    ++files_;
    return;
  }
  try {
    SyncFile pair(file_item(source, target, wildcard), files_, plan_only_, false, remote_);
    pair.within_folder_pass();
    pair();
  } catch (const std::exception& e) {
    report_failure(source, target, &e);
  } catch (...) {
    report_failure(source, target, nullptr);
  }
}

std::wstring SyncBase::child_path(const std::wstring& directory, const std::wstring& name) {
  return util::with_trailing_char(directory, L'/') + name;
}

void SyncBase::report_failure(const std::wstring& source, const std::wstring& target,
                              const std::exception* failure) {
  if (failure != nullptr) {
    const std::wstring text = util::string_to_wstring(failure->what());
    log_at(LogLevel::Error, source, target, text);
    report_sync_error(source + L": " + text);
  } else {
    log_at(LogLevel::Error, source, target, L" - " + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + source);
  }
}

SyncItem SyncBase::file_item(const std::wstring& source, const std::wstring& target,
                             const std::wstring& wildcard) const {
  SyncItem pair(item_.name, item_.type, L"", L"", wildcard, {}, item_.flags, item_.compare_items);
  pair.source(endpoint_like(item_.source(), source));
  pair.target(endpoint_like(item_.target(), target));
  return pair;
}

std::vector<FolderEntry> SyncBase::list_source_folder(const std::wstring& directory,
                                                      FolderNames& names) {
  std::vector<FolderEntry> entries = list_folder(directory, source_remote());
  for (const FolderEntry& entry : entries) names.add(entry.name);
  std::wstring colliding;
  for (const FolderEntry& entry : entries) {
    if (names.collides_on_target(entry.name)) {
      colliding += (colliding.empty() ? L"" : L", ") + entry.name;
    }
  }
  if (!colliding.empty()) {
    const std::wstring text =
        translate("source_names_collide_on_target") + directory + L": " + colliding;
    log_at(LogLevel::Error, text);
    report_sync_error(text);
  }
  return entries;
}

bool SyncBase::file_skipped(const std::wstring& name, const std::wstring& wildcard,
                            const FolderNames& names) const {
  if (is_copy_in_progress(name) || names.collides_on_target(name)) return true;
  if (!wildcard.empty() && !util::wildmatch(name, wildcard)) return true;
  return is_excluded(name, item_.exclusions);
}

void SyncBase::report_link_not_followed(const std::wstring& path) {
  log_at(LogLevel::Info, translate("symlink_not_followed"), path);
}

FolderNames SyncBase::new_folder_names() const {
  return FolderNames(source_ignores_case_, target_ignores_case_);
}

void SyncBase::learn_name_rules(const std::wstring& source_root, const std::wstring& target_root) {
  source_ignores_case_ = !source_remote() && local_names_ignore_case(source_root);
  target_ignores_case_ = !target_remote() && local_names_ignore_case(target_root);
}

void SyncBase::sync_target_only_entries(const std::wstring& source_directory,
                                        const std::wstring& target_directory,
                                        const std::wstring& wildcard, const FolderNames& names) {
  if (!item_.flags.syncDeletions && !item_.flags.twoWaySync) return;
  // Taken whole first: deleting while the listing is read could skip or repeat entries.
  for (const std::wstring& name : target_only_candidates(target_directory)) {
    if (Synchronize::stopping()) return;
    sync_target_only_file(source_directory, name, child_path(target_directory, name), wildcard,
                          names);
  }
}

void SyncBase::sync_target_only_file(const std::wstring& source_directory, const std::wstring& name,
                                     const std::wstring& target_path, const std::wstring& wildcard,
                                     const FolderNames& names) {
  switch (names.classify_target(name)) {
    case FolderNames::TargetName::Handled:
      return;
    case FolderNames::TargetName::SourceWouldMatch: {
      const std::wstring text = translate("target_name_matches_source_name") + target_path;
      log_at(LogLevel::Error, text);
      report_sync_error(text);
      return;
    }
    case FolderNames::TargetName::Unseen:
      break;
  }
  if (is_copy_in_progress(name)) return;
  if (!wildcard.empty() && !util::wildmatch(name, wildcard)) return;
  if (is_excluded(name, item_.exclusions)) return;
  if (item_.flags.fatherSonPrinciple && father_son_backup(name)) return;
  sync_file(child_path(source_directory, name), target_path, wildcard);
}

std::vector<std::wstring> SyncBase::target_only_candidates(const std::wstring& directory) {
  std::vector<std::wstring> files;
  if (target_remote()) {
    if (remote_ == nullptr) return files;
    const auto entries = remote_->list(target_location(directory));
    if (!entries) throw_not_listed(directory);
    for (const SshDirEntry& entry : *entries) {
      if (entry.is_regular_file) files.push_back(entry.name);
    }
    return files;
  }
  const fs::path folder = util::to_path(without_volume_spec(directory));
  std::error_code ec;
  if (!fs::exists(folder, ec)) return files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file(ec)) files.push_back(util::from_path(entry.path().filename()));
  }
  return files;
}

std::vector<FolderEntry> SyncBase::list_folder(const std::wstring& directory, bool remote_source) {
  if (!remote_source) return list_local_folder(directory);
  const auto listed = remote_ != nullptr ? remote_->list(source_location(directory)) : std::nullopt;
  if (!listed) throw_not_listed(directory);
  std::vector<FolderEntry> entries;
  entries.reserve(listed->size());
  for (const SshDirEntry& entry : *listed) {
    entries.push_back({entry.name, entry.is_directory, entry.is_regular_file, entry.is_symlink});
  }
  return entries;
}

bool SyncBase::create_remote_dir(const std::wstring& directory) {
  if (remote_ == nullptr) return false;
  const RemoteLocation folder = target_location(directory);
  const RemoteAnswer exists = remote_->exists(folder);
  if (exists == RemoteAnswer::Yes) return true;
  if (exists == RemoteAnswer::No && remote_->make_directory(folder)) return true;
  log_at(LogLevel::Error, translate("ssh_dir_create_error") + directory);
  report_sync_error(translate("ssh_target_dir_not_creatable") + directory);
  return false;
}

RemoteLocation SyncBase::source_location(const std::wstring& path) const {
  return {account_of(item_.source()), get_remote_path(path)};
}

RemoteLocation SyncBase::target_location(const std::wstring& path) const {
  return {account_of(item_.target()), get_remote_path(path)};
}

bool SyncBase::remote_host_lost() {
  if (remote_ == nullptr) return false;
  const auto lost_side = [&](bool remote, const std::unique_ptr<SyncPath>& side) {
    return remote && remote_->host_lost(account_of(side));
  };
  const std::unique_ptr<SyncPath>* lost =
      lost_side(source_remote(), item_.source())   ? &item_.source()
      : lost_side(target_remote(), item_.target()) ? &item_.target()
                                                   : nullptr;
  if (lost == nullptr) return false;
  if (!std::exchange(host_lost_reported_, true)) {
    const std::wstring text = translate("remote_host_lost") + (*lost)->path();
    log_at(LogLevel::Warning, text);
    report_sync_error(text);
  }
  return true;
}

bool SyncBase::remote_side_unavailable() const {
  if (remote_ != nullptr || (!source_remote() && !target_remote())) return false;
  const auto& side = source_remote() ? item_.source() : item_.target();
  const std::wstring text =
      translate("ssh_not_reachable_for") + side->path() + L": SFTP access is not available";
  log_at(LogLevel::Warning, text);
  report_sync_error(text);
  return true;
}

bool SyncBase::source_remote() const { return source_is_remote(ssh_kind_); }

bool SyncBase::target_remote() const { return target_is_remote(ssh_kind_); }

}  // namespace TWL_Core
