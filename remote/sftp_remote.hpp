#pragma once
// The remote operations over SFTP, with one session per account for the pass of one item
// (RemoteSessions): opened on first use, reused, closed at the end of the pass. A session
// whose transport failed is closed; the next operation connects afresh, once. A host that
// cannot be connected to again counts as lost for the rest of the pass, so that a pass over a
// large tree does not wait for a time-out per file.
//
// A failed connect is logged as "SSH: " and its reason: a Warning for an unreachable host,
// an Error for every other failure (host key, password, SFTP). Each failure is logged once
// per account and pass.

#include <set>
#include <string>

#include "remote/remote_access.hpp"
#include "remote/remote_sessions.hpp"

namespace TWL_Core {

class SftpRemote final : public RemoteAccess {
 public:
  SftpRemote() = default;

  RemoteAnswer exists(const RemoteLocation& location) override;
  RemoteAnswer is_directory(const RemoteLocation& location) override;
  bool make_directory(const RemoteLocation& location) override;
  bool remove_file(const RemoteLocation& location) override;
  RemoteFileInfo inspect(const RemoteLocation& location) override;
  bool log_in(const SshAccount& account) override;
  DownloadedFile download(const RemoteLocation& from, int output,
                          const TransferControl& control) override;
  CopyResult upload(const std::filesystem::path& from, const RemoteLocation& to,
                    const TransferControl& control) override;
  CopyResult copy(const RemoteLocation& from, const RemoteLocation& to,
                  const TransferControl& control) override;
  void clean_leftovers(const RemoteLocation& folder) override;
  bool host_lost(const SshAccount& account) const override;
  void end_pass() override;

 protected:
  std::optional<std::vector<RemoteListingEntry>> list_entries(
      const RemoteLocation& folder) override;

 private:
  // The account's open session, connecting if needed; null (logged) when there is none.
  SftpConnection* connection(const SshAccount& account);
  // After an operation: a session whose transport is gone is closed, and the host counts as
  // lost once a fresh session failed too.
  void after(const SshAccount& account, SftpConnection& connection);
  // `operation` over the account's session, followed by after(); `no_session` without one.
  template <typename Result, typename Operation>
  Result over_session(const SshAccount& account, Result no_session, Operation operation);

  RemoteSessions sessions_;
  std::set<std::string> lost_;      // accounts given up for this pass
  std::set<std::string> reopened_;  // accounts whose session was renewed once in this pass
};

}  // namespace TWL_Core
