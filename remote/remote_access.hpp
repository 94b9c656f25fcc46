#pragma once
// Everything the synchronisers, the comparison and the reachability check do on an SSH host,
// behind one interface: questions, folder creation, removal, listings, file inspection and the
// three copies that involve a remote side. SftpRemote does them over SFTP; tests put a
// scripted remote in its place for what a real server cannot be made to do. Whether to stop
// and where progress goes are handed in with each copy. Used by one thread at a time.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/copy_result.hpp"
#include "remote/remote_download.hpp"
#include "remote/remote_listing.hpp"
#include "remote/remote_operations.hpp"
#include "remote/remote_upload.hpp"
#include "remote/ssh_account.hpp"
#include "remote/ssh_file_inspector.hpp"

namespace TWL_Core {

// A file or folder on an SSH host: the account to log in with and the path there (UTF-8 bytes).
struct RemoteLocation {
  SshAccount account;
  std::string path;
};

class RemoteAccess {
 public:
  virtual ~RemoteAccess() = default;

  // Yes or No only from the server's own reply; Unknown when the host could not be asked.
  [[nodiscard]] virtual RemoteAnswer exists(const RemoteLocation& location) = 0;
  [[nodiscard]] virtual RemoteAnswer is_directory(const RemoteLocation& location) = 0;
  // One folder level, mode 0755. False, logged, on failure.
  [[nodiscard]] virtual bool make_directory(const RemoteLocation& location) = 0;
  // False, logged, on failure.
  [[nodiscard]] virtual bool remove_file(const RemoteLocation& location) = 0;
  // Size and time of a file, as SshFileInspector::inspect_file; throws as it does.
  [[nodiscard]] virtual RemoteFileInfo inspect(const RemoteLocation& location) = 0;
  // Whether a login to the account works: false, logged, when it does not.
  [[nodiscard]] virtual bool log_in(const SshAccount& account) = 0;

  // The usable entries of a folder (see usable_entries); nothing when it could not be listed
  // (logged): a listing that failed is never an empty folder.
  [[nodiscard]] std::optional<std::vector<SshDirEntry>> list(const RemoteLocation& folder);

  // The remote file into the local descriptor `output`; see download_file.
  [[nodiscard]] virtual DownloadedFile download(const RemoteLocation& from, int output,
                                                const TransferControl& control) = 0;
  // A local file into place on the host; see upload_file.
  [[nodiscard]] virtual CopyResult upload(const std::filesystem::path& from,
                                          const RemoteLocation& to,
                                          const TransferControl& control) = 0;
  // A remote file into place on the same or another host; see copy_remote_file.
  [[nodiscard]] virtual CopyResult copy(const RemoteLocation& from, const RemoteLocation& to,
                                        const TransferControl& control) = 0;
  // Clears what interrupted uploads left in a folder; see clean_remote_leftovers.
  virtual void clean_leftovers(const RemoteLocation& folder) = 0;

  // True once the account's host was lost in this pass and could not be reached again: the
  // rest of the pass need not ask it.
  [[nodiscard]] virtual bool host_lost(const SshAccount& account) const = 0;
  // Ends the pass of one item: its sessions are closed and lost hosts may be tried again.
  virtual void end_pass() = 0;

 protected:
  // Every entry of a folder as the host sent it; nothing (logged) when it could not be listed.
  [[nodiscard]] virtual std::optional<std::vector<RemoteListingEntry>> list_entries(
      const RemoteLocation& folder) = 0;
};

}  // namespace TWL_Core
