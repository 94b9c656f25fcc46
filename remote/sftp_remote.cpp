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

template <typename Result, typename Operation>
Result SftpRemote::over_session(const SshAccount& account, Result no_session, Operation operation) {
  SftpConnection* open = connection(account);
  if (open == nullptr) return no_session;
  Result result = operation(*open);
  after(account, *open);
  return result;
}

RemoteAnswer SftpRemote::exists(const RemoteLocation& location) {
  return over_session(location.account, RemoteAnswer::Unknown,
                      [&](SftpConnection& open) { return remote_exists(open, location.path); });
}

RemoteAnswer SftpRemote::is_directory(const RemoteLocation& location) {
  return over_session(location.account, RemoteAnswer::Unknown, [&](SftpConnection& open) {
    return remote_is_directory(open, location.path);
  });
}

bool SftpRemote::make_directory(const RemoteLocation& location) {
  return over_session(location.account, false,
                      [&](SftpConnection& open) { return remote_mkdir(open, location.path); });
}

bool SftpRemote::remove_file(const RemoteLocation& location) {
  return over_session(location.account, false, [&](SftpConnection& open) {
    return remote_remove_file(open, location.path);
  });
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
  return over_session(folder.account, std::optional<std::vector<RemoteListingEntry>>(),
                      [&](SftpConnection& open) { return read_remote_dir(open, folder.path); });
}

DownloadedFile SftpRemote::download(const RemoteLocation& from, int output,
                                    const TransferControl& control) {
  return over_session(from.account, DownloadedFile(), [&](SftpConnection& open) {
    return download_file(open, from.path, output, control);
  });
}

CopyResult SftpRemote::upload(const std::filesystem::path& from, const RemoteLocation& to,
                              const TransferControl& control) {
  return over_session(to.account, CopyResult::Failed, [&](SftpConnection& open) {
    return upload_file(open, from, to.path, control);
  });
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
  (void)over_session(folder.account, false, [&](SftpConnection& open) {
    clean_remote_leftovers(open, folder.path);
    return true;
  });
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
