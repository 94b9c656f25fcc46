#include "sync/sync_file.hpp"

#include <exception>
#include <filesystem>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/delete_file.hpp"
#include "sync/reported_once.hpp"
#include "sync/sync_report.hpp"
#include "sync/synchronize.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

std::wstring endpoint_text(const std::unique_ptr<SyncPath>& endpoint) {
  return endpoint ? endpoint->path() : std::wstring();
}

std::wstring file_name_of(const std::wstring& path) {
  return util::from_path(util::to_path(path).filename());
}

// Names the folder and the file being copied, for a controlling interface.
void publish_copy_progress(const std::wstring& from, std::uint64_t size) {
  const std::filesystem::path path = util::to_path(from);
  Synchronize::set_progress_message(translate("copying_file") + L"\n" +
                                        util::from_path(path.parent_path()) + L"\n" +
                                        util::from_path(path.filename()),
                                    L"", static_cast<std::int64_t>(size));
}

SeenDestination seen(bool exists, std::uint64_t size, util::FileTime time) {
  return exists ? SeenDestination{true, size, time} : SeenDestination{};
}

}  // namespace

SyncFile::SyncFile(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
                   bool target_is_dir, RemoteAccess* remote)
    : SyncBase(item, files, plan_only, remote), target_is_dir_(target_is_dir) {
  ssh_kind_ = item.ssh_path_type();
}

void SyncFile::operator()() {
  log_at(LogLevel::Debug, "SyncFile::operator()()");
  if (stop_requested()) return;
  const std::wstring source_text = endpoint_text(item_.source());
  const std::wstring target_text = endpoint_text(item_.target());
  try {
    const std::wstring source = source_remote() ? source_text : without_volume_spec(source_text);
    std::wstring target = target_remote() ? target_text : without_volume_spec(target_text);
    if (target_is_dir_) {
      log_at(LogLevel::Debug, L"transfer_filename: " + source + L" -> " + target);
      target = util::with_trailing_char(target, L'/') + file_name_of(source);
    }
    sync_pair(source, target);
  } catch (const std::exception& e) {
    const std::wstring text = util::string_to_wstring(e.what());
    log_at(LogLevel::Error, translate("copying_label"), source_text, target_text, text);
    report_sync_error(text);
  } catch (...) {
    log_at(LogLevel::Error, translate("copying_label"), source_text, target_text,
           L" - " + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + source_text);
  }
}

void SyncFile::sync_pair(const std::wstring& source, const std::wstring& target) {
  FileDifference difference(source, target, item_.compare_items, ssh_kind_, item_.flags.twoWaySync,
                            remote_);
  (void)difference();
  sync_difference(difference, source, target);
}

// A missing source with "delAftercopy" is most likely one this program moved: it is never a
// deletion to pass on, nor a reason to copy the target back.
std::optional<PlannedAction> SyncFile::decide(Difference difference) const {
  const SyncFlags& flags = item_.flags;
  const PlannedAction to_target = flags.delAftercopy && !source_remote()
                                      ? PlannedAction::MoveToTarget
                                      : PlannedAction::CopyToTarget;
  switch (difference) {
    case Difference::SourceNotExits:
      if (flags.delAftercopy) return std::nullopt;
      if (flags.syncDeletions) return PlannedAction::DeleteTarget;
      if (flags.twoWaySync) return PlannedAction::CopyToSource;
      return std::nullopt;
    case Difference::SourceModified:
    case Difference::DestNotExists:
      return to_target;
    case Difference::DestModified:
      if (flags.copyWhenTargetNewer) return to_target;
      if (flags.twoWaySync && !flags.delAftercopy) return PlannedAction::CopyToSource;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

bool SyncFile::empty_file_skipped(const FileDifference& difference, PlannedAction action) const {
  if (action == PlannedAction::DeleteTarget || item_.flags.syncEmptyFiles) return false;
  const std::uint64_t size = action == PlannedAction::CopyToSource ? difference.target_size()
                                                                   : difference.source_size();
  return size == 0;
}

// A plan creates no folders, so the target folders of new files are missing in it; where the
// target's volume is there, the real run would create the folder and copy the file.
Difference SyncFile::planned_difference(const FileDifference& difference,
                                        const std::wstring& target) const {
  const bool folder_not_created = plan_only_ && !target_remote() &&
                                  difference.result() == Difference::DestDriveNotMounted &&
                                  !drive_not_exist(target, false);
  return folder_not_created ? Difference::DestNotExists : difference.result();
}

void SyncFile::sync_difference(const FileDifference& difference, const std::wstring& source,
                               const std::wstring& target) {
  const Difference result = planned_difference(difference, target);
  const auto action = decide(result);
  if (!action) {
    report_no_action(result, source, target);
    return;
  }
  if (plan_only_) {
    plan(*action, difference, source, target);
  } else {
    carry_out(*action, difference, source, target);
  }
}

void SyncFile::report_no_action(Difference difference, const std::wstring& source,
                                const std::wstring& target) const {
  if (ReportedOnce::target_newer().first_report(target, difference == Difference::DestModified)) {
    log_at(LogLevel::Info, translate("target_newer_not_copied"), source, L"->", target);
  }
  if (ReportedOnce::content_conflict().first_report(target,
                                                    difference == Difference::ContentConflict)) {
    log_at(LogLevel::Error, translate("content_conflict_not_copied"), source, L"<->", target);
    report_sync_error(translate("content_conflict_not_copied") + L" " + source + L" <-> " + target);
  }
}

void SyncFile::plan(PlannedAction action, const FileDifference& difference,
                    const std::wstring& source, const std::wstring& target) {
  if (empty_file_skipped(difference, action)) return;
  ++files_;
  const bool target_bytes =
      action == PlannedAction::CopyToSource || action == PlannedAction::DeleteTarget;
  plan_step(PlannedStep{item_.name, action, source, target,
                        target_bytes ? difference.target_size() : difference.source_size()});
}

void SyncFile::carry_out(PlannedAction action, const FileDifference& difference,
                         const std::wstring& source, const std::wstring& target) {
  if (action == PlannedAction::DeleteTarget) return delete_target_file(source, target);
  if (empty_file_skipped(difference, action)) {
    const bool back = action == PlannedAction::CopyToSource;
    log_at(LogLevel::Warning, translate(back ? "empty_target_not_copied" : "empty_source_not_copied"),
           back ? target : source);
    return;
  }
  if (action == PlannedAction::CopyToSource) return copy_dest_to_source(difference, target, source);
  copy_source_to_dest(difference, source, target);
}

void SyncFile::delete_target_file(const std::wstring& source, const std::wstring& target) {
  log_at(LogLevel::Info, translate("target_deleted_source_missing"), target,
         translate("source_label"), source);
  if (!target_remote() && delete_file(target)) return;
  if (target_remote() && remote_ != nullptr && remote_->remove_file(target_location(target))) {
    return;
  }
  log_at(LogLevel::Error, translate("target_delete_failed"), target);
  report_sync_error(translate("target_delete_failed") + target);
}

void SyncFile::copy_source_to_dest(const FileDifference& difference, const std::wstring& source,
                                   const std::wstring& target) {
  log_at(LogLevel::Debug, L"copy_source_to_dest: " + source + L" -> " + target);
  const SeenDestination target_seen =
      seen(difference.result() != Difference::DestNotExists, difference.target_size(),
           difference.target_time());
  if (!copy_file(source, target, target_seen, true, difference.source_size())) return;
  log_at(LogLevel::Info, translate("copied_source_to_target"), source, translate("to_label"),
         target);
  ++files_;
  report_sync_volume(difference.source_size());
  if (!item_.flags.delAftercopy || source_remote()) return;
  if (!delete_file(source)) {
    const std::wstring text = translate("source_not_deleted_after_copy") + source;
    log_at(LogLevel::Error, text);
    report_sync_error(text);
  }
}

void SyncFile::copy_dest_to_source(const FileDifference& difference, const std::wstring& from,
                                   const std::wstring& to) {
  log_at(LogLevel::Debug, L"copy_dest_to_source: " + from + L" -> " + to);
  const SeenDestination source_seen =
      seen(difference.result() != Difference::SourceNotExits, difference.source_size(),
           difference.source_time());
  if (!copy_file(from, to, source_seen, false, difference.target_size())) return;
  log_at(LogLevel::Info, translate("copied_target_to_source"), from, translate("to_label"), to);
  ++files_;
  report_sync_volume(difference.target_size());
}

// A moved file's copy is flushed into its folder at once: the source is deleted right after.
// The volume is looked at once more right before the copy: it may have gone since the
// comparison, and a copy that does not happen must not pass for a successful run.
bool SyncFile::copy_file(const std::wstring& from, const std::wstring& to,
                         const SeenDestination& seen_destination, bool towards_target,
                         std::uint64_t size) {
  const bool to_remote = towards_target ? target_remote() : source_remote();
  if (drive_not_exist(to, to_remote)) {
    const std::wstring text = translate("copy_skipped_volume_absent") + to;
    log_at(LogLevel::Warning, text);
    report_sync_error(text);
    return false;
  }
  publish_copy_progress(from, size);
  const CopyResult result = transfer(from, to, seen_destination, towards_target);
  if (result == CopyResult::Cancelled) report_sync_error(translate("copy_cancelled_for") + from);
  return result == CopyResult::Copied;
}

CopyResult SyncFile::transfer(const std::wstring& from, const std::wstring& to,
                              const SeenDestination& seen_destination, bool towards_target) {
  const auto stop = [] { return Synchronize::stopping(); };
  const auto progress = [](std::uint64_t bytes) { Synchronize::report_copied_bytes(bytes); };
  const SafeCopyOptions options{seen_destination,
                                item_.flags.fatherSonPrinciple,
                                stop,
                                progress,
                                !within_folder_pass_,
                                !within_folder_pass_ || item_.flags.delAftercopy};
  const bool from_remote = towards_target ? source_remote() : target_remote();
  const bool to_remote = towards_target ? target_remote() : source_remote();
  if (!from_remote && !to_remote) return safe_copy(util::to_path(from), util::to_path(to), options);
  if (remote_ == nullptr) {
    report_sync_error(translate("copy_failed_for") + from + L" -> " + to);
    return CopyResult::Failed;
  }
  const TransferControl control{stop, progress};
  const RemoteLocation source = location(towards_target, from);
  const RemoteLocation destination = location(!towards_target, to);
  if (!to_remote) {
    const auto download = [&](int output) {
      const DownloadedFile file = remote_->download(source, output, control);
      return ReceivedContent{file.result, file.permissions, file.modified};
    };
    return safe_receive(from, download, util::to_path(to), options);
  }
  if (!within_folder_pass_) {
    remote_->clean_leftovers(
        {destination.account, std::filesystem::path(destination.path).parent_path().native()});
  }
  const CopyResult result = from_remote
                                ? remote_->copy(source, destination, control)
                                : remote_->upload(util::to_path(from), destination, control);
  if (result == CopyResult::Failed) {
    report_sync_error(translate("copy_failed_for") + from + L" -> " + to);
  }
  return result;
}

RemoteLocation SyncFile::location(bool source_side, const std::wstring& path) const {
  return source_side ? source_location(path) : target_location(path);
}

}  // namespace TWL_Core
