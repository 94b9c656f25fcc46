#include "remote/remote_listing.hpp"

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

constexpr std::uint8_t TYPE_REGULAR = SSH_FILEXFER_TYPE_REGULAR;
constexpr std::uint8_t TYPE_DIRECTORY = SSH_FILEXFER_TYPE_DIRECTORY;
constexpr std::uint8_t TYPE_SYMLINK = SSH_FILEXFER_TYPE_SYMLINK;

bool is_utf8(std::string_view name) {
  return util::wstring_to_string(util::string_to_wstring(name)) == name;
}

std::wstring shown(const std::string& path) { return util::string_to_wstring(path); }

void log_refused(RemoteNameProblem problem, const std::string& folder, std::string_view name) {
  const std::wstring where = shown(folder) + L": " + util::string_to_wstring(name);
  switch (problem) {
    case RemoteNameProblem::Unsafe:
      log_at(LogLevel::Error, translate("remote_name_unsafe") + where);
      break;
    case RemoteNameProblem::NotUtf8:
      log_at(LogLevel::Warning, translate("remote_name_not_utf8") + where);
      break;
    case RemoteNameProblem::Backslash:
      log_at(LogLevel::Warning, translate("remote_name_backslash") + where);
      break;
    case RemoteNameProblem::None:
      break;
  }
}

SshDirEntry entry_of(const RemoteListingEntry& entry) {
  return {util::string_to_wstring(entry.name), entry.type == TYPE_DIRECTORY,
          entry.type == TYPE_REGULAR, entry.type == TYPE_SYMLINK, entry.size};
}

}  // namespace

RemoteNameProblem remote_name_problem(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return RemoteNameProblem::Unsafe;
  }
  if (!is_utf8(name)) return RemoteNameProblem::NotUtf8;
  if (name.find('\\') != std::string_view::npos) return RemoteNameProblem::Backslash;
  return RemoteNameProblem::None;
}

std::optional<std::vector<RemoteListingEntry>> read_remote_dir(SftpConnection& connection,
                                                               const std::string& path) {
  const SftpDir dir = connection.open_dir(path);
  if (!dir) {
    log_at(LogLevel::Error, translate("remote_dir_open_error") + shown(path));
    return std::nullopt;
  }
  std::vector<RemoteListingEntry> entries;
  while (const SftpAttributes attributes = connection.read_dir(dir.get())) {
    entries.push_back({attributes->name != nullptr ? attributes->name : "", attributes->type,
                       (attributes->flags & SSH_FILEXFER_ATTR_SIZE) != 0 ? attributes->size : 0});
  }
  if (sftp_dir_eof(dir.get()) == 0) {
    log_at(LogLevel::Error, translate("remote_dir_read_incomplete") + shown(path) + L" - " +
                                util::string_to_wstring(connection.error()));
    return std::nullopt;
  }
  return entries;
}

std::vector<SshDirEntry> usable_entries(const std::string& folder,
                                        const std::vector<RemoteListingEntry>& entries) {
  std::vector<SshDirEntry> usable;
  usable.reserve(entries.size());
  for (const RemoteListingEntry& entry : entries) {
    if (entry.name == "." || entry.name == "..") continue;
    if (const auto problem = remote_name_problem(entry.name); problem != RemoteNameProblem::None) {
      log_refused(problem, folder, entry.name);
      continue;
    }
    usable.push_back(entry_of(entry));
  }
  return usable;
}

std::optional<std::vector<SshDirEntry>> list_remote_dir(SftpConnection& connection,
                                                        const std::string& path) {
  auto entries = read_remote_dir(connection, path);
  if (!entries) return std::nullopt;
  return usable_entries(path, *entries);
}

}  // namespace TWL_Core
