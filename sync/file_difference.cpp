#include "sync/file_difference.hpp"

#include <array>
#include <stdexcept>
#include <utility>

#include "config/config.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/filesystem_util.hpp"
#include "sync/sync_report.hpp"
#include "sync/synchronize.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

constexpr std::uint64_t PROGRESS_THRESHOLD = 1000000;

constexpr std::array<std::string_view, 8> LABELS{
    "Equal",          "SourceModified",        "DestModified",        "DestNotExists",
    "SourceNotExits", "SourceDriveNotMounted", "DestDriveNotMounted", "ContentConflict"};

// A missing file counts as gone only where its folder is still there; a missing folder is
// taken for a volume that is not (or no longer) mounted there.
bool folder_present(const std::wstring& path) {
  std::error_code error;
  return std::filesystem::is_directory(util::to_path(path).parent_path(), error);
}

bool read_local_file_info(const std::wstring& path, bool& mounted, std::uint64_t& size,
                          util::FileTime& time) {
  std::uintmax_t file_size = 0;
  auto result = FilesystemUtil::fileinfo(path, file_size, time);
  if (result == FilesystemUtil::FileInfoResult::Ok) {
    size = file_size;
    return true;
  }
  if (result == FilesystemUtil::FileInfoResult::FileNotExist && !folder_present(path)) {
    result = FilesystemUtil::FileInfoResult::DriveNotMounted;
  }
  const std::wstring message = FilesystemUtil::make_error_message(result) + L": ";
  log_at(LogLevel::Info, message, path);
  if (result == FilesystemUtil::FileInfoResult::FileNotExist) return false;
  mounted = false;
  if (result != FilesystemUtil::FileInfoResult::DriveNotMounted) report_sync_error(message + path);
  return false;
}

// A host that cannot be asked, or a file that cannot be examined, is never a missing file.
bool read_remote_file_info(const std::wstring& path, bool& mounted, std::uint64_t& size,
                           util::FileTime& time, RemoteAccess* access) {
  const auto colon = path.find(L':');
  if (colon == std::wstring::npos || colon == 0) {
    mounted = false;
    log_at(LogLevel::Error, translate("ssh_path_invalid") + path);
    return false;
  }
  const auto account = get_account_from_path(path);
  if (!account) {
    mounted = false;
    log_at(LogLevel::Error, translate("ssh_account_not_found") + path.substr(0, colon));
    return false;
  }
  if (access == nullptr) {
    mounted = false;
    log_at(LogLevel::Warning,
           translate("ssh_not_reachable_for") + path + L": SFTP access is not available");
    return false;
  }
  try {
    const RemoteFileInfo info = access->inspect({*account, get_remote_path(path)});
    if (!info.exists) return false;
    if (!info.regular) throw std::runtime_error(translation::translate_utf8("not_a_regular_file"));
    size = info.size;
    time = util::to_file_time(static_cast<std::time_t>(info.mtime));
    return true;
  } catch (const SshUnreachable& e) {
    mounted = false;
    const std::wstring text =
        translate("ssh_not_reachable_for") + path + L": " + util::string_to_wstring(e.what());
    log_at(LogLevel::Warning, text);
    report_sync_error(text);
  } catch (const std::exception& e) {
    mounted = false;
    const std::wstring text =
        translate("ssh_read_error_for") + path + L": " + util::string_to_wstring(e.what());
    log_at(LogLevel::Error, text);
    report_sync_error(text);
  }
  return false;
}

// The time an SFTP host can hold for `time`: whole seconds from 1970 to 2106.
util::FileTime protocol_time(util::FileTime time) {
  return util::to_file_time(static_cast<std::time_t>(sftp_time(util::to_time_t(time))));
}

}  // namespace

std::string_view difference_label(Difference difference) {
  const auto index = static_cast<std::size_t>(difference);
  return index < LABELS.size() ? LABELS[index] : "Undefined";
}

bool read_file_info(const std::wstring& path, bool& mounted, std::uint64_t& size,
                    util::FileTime& time, bool remote, RemoteAccess* access) {
  return remote ? read_remote_file_info(path, mounted, size, time, access)
                : read_local_file_info(path, mounted, size, time);
}

FileDifference::FileDifference(std::wstring source, std::wstring target,
                               const CompareItems& compare_items, SSHPATH ssh_kind, bool two_way,
                               RemoteAccess* remote)
    : source_(std::move(source)),
      target_(std::move(target)),
      criteria_(compare_items.criteria),
      tolerance_seconds_(compare_items.time_tolerance_seconds),
      ssh_kind_(ssh_kind),
      two_way_(two_way),
      remote_(remote) {
  if (ssh_kind_ != SSHPATH::None && criteria_.erase(CompareItem::Content) > 0) {
    criteria_.insert({CompareItem::Size, CompareItem::Time});
    log_at(LogLevel::Debug,
           "content comparison is not available for SSH paths - comparing size and time instead");
  }
}

std::uint64_t FileDifference::operator()() {
  bool source_mounted = true;
  bool target_mounted = true;
  const bool source_read = read_file_info(source_, source_mounted, source_size_, source_time_,
                                          source_is_remote(ssh_kind_), remote_);
  const bool target_read = read_file_info(target_, target_mounted, target_size_, target_time_,
                                          target_is_remote(ssh_kind_), remote_);
  if (!source_read) {
    result_ = source_mounted ? Difference::SourceNotExits : Difference::SourceDriveNotMounted;
  } else if (!target_read) {
    result_ = target_mounted ? Difference::DestNotExists : Difference::DestDriveNotMounted;
  } else {
    result_ = compare_metadata(source_time_, target_time_);
    if (result_ == Difference::Equal && compares(CompareItem::Content)) {
      compare_content(source_time_, target_time_);
    }
  }
  log_at(LogLevel::Debug, "FileDifference result: ", difference_label(result_));
  return source_read ? source_size_ : 0;
}

Difference FileDifference::compare_metadata(util::FileTime source_time,
                                            util::FileTime target_time) const {
  if (compares(CompareItem::Time) && newer(target_time, source_time)) {
    return Difference::DestModified;
  }
  if (compares(CompareItem::Time) && newer(source_time, target_time)) {
    return Difference::SourceModified;
  }
  if (compares(CompareItem::Size) && source_size_ > target_size_) {
    return Difference::SourceModified;
  }
  if (compares(CompareItem::Size) && target_size_ > source_size_) return Difference::DestModified;
  return Difference::Equal;
}

// Two-way, differing contents are a conflict whenever neither side is later: a larger file is
// no sign of the newer edit, and taking it would silently drop the other side's.
void FileDifference::compare_content(util::FileTime source_time, util::FileTime target_time) {
  if (source_size_ > PROGRESS_THRESHOLD) {
    Synchronize::set_progress_message(translate("comparing") + L"\n" + source_ + L"\n" +
                                          translate("comparing_with") + L"\n" + target_ + L"...",
                                      L"", static_cast<std::int64_t>(source_size_));
  }
  if (util::files_equal(source_, target_)) {
    result_ = Difference::Equal;
  } else if (!two_way_) {
    result_ = Difference::SourceModified;
  } else if (newer(target_time, source_time)) {
    result_ = Difference::DestModified;
  } else if (newer(source_time, target_time)) {
    result_ = Difference::SourceModified;
  } else {
    result_ = Difference::ContentConflict;
  }
}

bool FileDifference::newer(util::FileTime a, util::FileTime b) const {
  const std::chrono::seconds tolerance{tolerance_seconds_};
  return ssh_kind_ == SSHPATH::None
             ? util::later_by_more_than(a, b, tolerance)
             : util::later_in_seconds_by_more_than(protocol_time(a), protocol_time(b), tolerance);
}

}  // namespace TWL_Core
