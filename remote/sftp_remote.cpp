#include "remote/sftp_remote.hpp"

#include <stdexcept>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

using translation::translate_utf8;

std::wstring ssh_text(const std::exception& failure) {
  return L"SSH: " + util::string_to_wstring(failure.what());
}

}  // namespace

std::optional<std::vector<SshDirEntry>> RemoteAccess::list(const RemoteLocation& folder) {
  const auto entries = list_entries(folder);
  if (!entries) return std::nullopt;
  return usable_entries(folder.path, *entries);
}

SftpConnection* SftpRemote::connection(const SshAccount& account) {
  const std::string key = RemoteSessions::key_of(account);
  if (lost_.contains(key)) return nullptr;
  try {
    SftpConnection& open = sessions_.connection(account);
    return &open;
  } catch (const SshUnreachable& failure) {
    log_at(LogLevel::Warning, ssh_text(failure));
  } catch (const std::exception& failure) {
    log_at(LogLevel::Error, ssh_text(failure));
  }
  lost_.insert(key);
  return nullptr;
}

void SftpRemote::after(const SshAccount& account, SftpConnection& connection) {
  if (connection.transport_alive()) return;
  sessions_.forget(account);
  const std::string key = RemoteSessions::key_of(account);
  if (!reopened_.insert(key).second) lost_.insert(key);
}

RemoteAnswer SftpRemote::exists(const RemoteLocation& location) {
  SftpConnection* open = connection(location.account);
  if (open == nullptr) return RemoteAnswer::Unknown;
  const RemoteAnswer answer = remote_exists(*open, location.path);
  after(location.account, *open);
  return answer;
}

RemoteAnswer SftpRemote::is_directory(const RemoteLocation& location) {
  SftpConnection* open = connection(location.account);
  if (open == nullptr) return RemoteAnswer::Unknown;
  const RemoteAnswer answer = remote_is_directory(*open, location.path);
  after(location.account, *open);
  return answer;
}

bool SftpRemote::make_directory(const RemoteLocation& location) {
  SftpConnection* open = connection(location.account);
  if (open == nullptr) return false;
  const bool made = remote_mkdir(*open, location.path);
  after(location.account, *open);
  return made;
}

bool SftpRemote::remove_file(const RemoteLocation& location) {
  SftpConnection* open = connection(location.account);
  if (open == nullptr) return false;
  const bool removed = remote_remove_file(*open, location.path);
  after(location.account, *open);
  return removed;
}

RemoteFileInfo SftpRemote::inspect(const RemoteLocation& location) {
  const std::string key = RemoteSessions::key_of(location.account);
  if (lost_.contains(key)) throw SshUnreachable(translate_utf8("sftp_connection_lost"));
  SftpConnection* open = nullptr;
  try {
    open = &sessions_.connection(location.account);
  } catch (...) {
    lost_.insert(key);
    throw;
  }
  try {
    return inspect_remote_file(*open, location.path);
  } catch (...) {
    after(location.account, *open);
    throw;
  }
}

bool SftpRemote::log_in(const SshAccount& account) { return connection(account) != nullptr; }

std::optional<std::vector<RemoteListingEntry>> SftpRemote::list_entries(
    const RemoteLocation& folder) {
  SftpConnection* open = connection(folder.account);
  if (open == nullptr) return std::nullopt;
  auto entries = read_remote_dir(*open, folder.path);
  after(folder.account, *open);
  return entries;
}

DownloadedFile SftpRemote::download(const RemoteLocation& from, int output,
                                    const TransferControl& control) {
  SftpConnection* open = connection(from.account);
  if (open == nullptr) return {};
  const DownloadedFile downloaded = download_file(*open, from.path, output, control);
  after(from.account, *open);
  return downloaded;
}

CopyResult SftpRemote::upload(const std::filesystem::path& from, const RemoteLocation& to,
                              const TransferControl& control) {
  SftpConnection* open = connection(to.account);
  if (open == nullptr) return CopyResult::Failed;
  const CopyResult result = upload_file(*open, from, to.path, control);
  after(to.account, *open);
  return result;
}

CopyResult SftpRemote::copy(const RemoteLocation& from, const RemoteLocation& to,
                            const TransferControl& control) {
  SftpConnection* source = connection(from.account);
  SftpConnection* target = source != nullptr ? connection(to.account) : nullptr;
  if (source == nullptr || target == nullptr) return CopyResult::Failed;
  const CopyResult result = copy_remote_file(*source, from.path, *target, to.path, control);
  after(to.account, *target);
  if (source != target) after(from.account, *source);
  return result;
}

void SftpRemote::clean_leftovers(const RemoteLocation& folder) {
  SftpConnection* open = connection(folder.account);
  if (open == nullptr) return;
  clean_remote_leftovers(*open, folder.path);
  after(folder.account, *open);
}

bool SftpRemote::host_lost(const SshAccount& account) const {
  return lost_.contains(RemoteSessions::key_of(account));
}

void SftpRemote::end_pass() {
  sessions_.close_all();
  lost_.clear();
  reopened_.clear();
}

}  // namespace TWL_Core
