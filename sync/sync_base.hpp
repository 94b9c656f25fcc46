#pragma once
// What the three synchronisers (of a file, a folder, a folder tree) share: their own copy of
// the item being run, the controller's file counter, whether the run only plans or counts,
// and which sides lie on an SSH host. One synchroniser runs once, on the sync worker thread.
// The steps shared by the folder and tree synchronisers live here too: creating a target
// folder, running one file pair, and handling the files that exist only in a target folder.

#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "config/sync_item.hpp"
#include "remote/remote_access.hpp"
#include "sync/folder_names.hpp"

namespace TWL_Core {

// One entry of a source folder. The first two flags follow symbolic links; the last is the
// entry's own type.
struct FolderEntry {
  std::wstring name;
  bool is_directory = false;
  bool is_regular_file = false;
  bool is_symlink = false;
};

class SyncBase {
 public:
  // Remote sides are reached through `remote`; without one they count as unreachable.
  SyncBase(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
           RemoteAccess* remote = nullptr);
  virtual ~SyncBase() = default;
  SyncBase(const SyncBase&) = delete;
  SyncBase& operator=(const SyncBase&) = delete;

  // Runs the synchroniser once. Nothing escapes: every failure is logged and reported.
  virtual void operator()() = 0;

  // True once the controller was asked to stop.
  [[nodiscard]] static bool stop_requested();
  // True when the local `path` lies on a volume that is not mounted; a remote path never does.
  [[nodiscard]] static bool drive_not_exist(const std::wstring& path, bool remote);

  // The entries of a local folder in the order the system lists them. Throws
  // std::filesystem::filesystem_error when the folder cannot be listed.
  [[nodiscard]] static std::vector<FolderEntry> list_local_folder(const std::wstring& directory);

 protected:
  // Creates `directory` (empty: the item's target) with its missing parents, except in plans
  // and counting passes. A failure is logged and reported; the copies into it fail one by one.
  void create_target_dir_if_not_exist(const std::wstring& directory);
  // Removes what crashed copies left in a folder pair (not in plans and counting passes), so
  // that the copies into it need not look for leftovers one by one.
  void remove_leftovers(const std::wstring& source_directory, const std::wstring& target_directory);
  // Makes the copies into a folder pair durable once its pass is done, if the file counter
  // moved on from `files_before` (nothing copied, nothing to flush; nothing in plans).
  void flush_folders(const std::wstring& source_directory, const std::wstring& target_directory,
                     std::size_t files_before);
  // Synchronises one file pair, or counts it in a counting pass. Nothing escapes.
  void sync_file(const std::wstring& source, const std::wstring& target,
                 const std::wstring& wildcard);
  // Handles the files of `target_directory` that have no source counterpart among `names`:
  // deleted or copied back as the flags say. Throws std::filesystem::filesystem_error when the
  // target folder cannot be listed.
  void sync_target_only_entries(const std::wstring& source_directory,
                                const std::wstring& target_directory, const std::wstring& wildcard,
                                const FolderNames& names);

  // Lists a source folder and records its names. Names that the target volume takes for one
  // (files or folders) are reported once per folder and take no part in the pass.
  [[nodiscard]] std::vector<FolderEntry> list_source_folder(const std::wstring& directory,
                                                            FolderNames& names);
  // True for a file entry that takes no part: a copy in progress, a name colliding with
  // another on the target, a name outside the wildcard or excluded.
  [[nodiscard]] bool file_skipped(const std::wstring& name, const std::wstring& wildcard,
                                  const FolderNames& names) const;
  // `name` in `directory`, joined with '/'.
  [[nodiscard]] static std::wstring child_path(const std::wstring& directory,
                                               const std::wstring& name);
  // Logs and reports a failure that ended the work on `source` (null: not a std::exception).
  static void report_failure(const std::wstring& source, const std::wstring& target,
                             const std::exception* failure);
  // Logs at Info that a symbolic link which does not lead to a file is not followed.
  static void report_link_not_followed(const std::wstring& path);
  // Names matched as the two sides' volumes compare them, for the folders of this run.
  [[nodiscard]] FolderNames new_folder_names() const;
  // Asks both sides' volumes once per run whether they ignore case.
  void learn_name_rules(const std::wstring& source_root, const std::wstring& target_root);

  // True, logged and reported, when a side lies on an SSH host and there is no remote access.
  [[nodiscard]] bool remote_side_unavailable() const;
  // True once the host of a remote side was lost in this pass; logged and reported the first
  // time. Folder walks end then: every further file would wait for the same dead host.
  [[nodiscard]] bool remote_host_lost();
  // The file or folder `path` ("account:remote path") on the host of the source or target.
  [[nodiscard]] RemoteLocation source_location(const std::wstring& path) const;
  [[nodiscard]] RemoteLocation target_location(const std::wstring& path) const;
  // Creates a remote target folder (one level) unless it exists; false, logged, when not.
  bool create_remote_dir(const std::wstring& directory);

  bool source_remote() const;
  bool target_remote() const;

  const SyncItem item_;
  std::atomic<std::size_t>& files_;  // the controller's; read by other threads
  const bool plan_only_;
  RemoteAccess* const remote_;
  SSHPATH ssh_kind_ = SSHPATH::None;

 private:
  SyncItem file_item(const std::wstring& source, const std::wstring& target,
                     const std::wstring& wildcard) const;
  void sync_target_only_file(const std::wstring& source_directory, const std::wstring& name,
                             const std::wstring& target_path, const std::wstring& wildcard,
                             const FolderNames& names);

  [[nodiscard]] std::vector<FolderEntry> list_folder(const std::wstring& directory,
                                                     bool remote_source);
  [[nodiscard]] std::vector<std::wstring> target_only_candidates(const std::wstring& directory);

  bool source_ignores_case_ = false;
  bool target_ignores_case_ = false;
  bool host_lost_reported_ = false;
};

}  // namespace TWL_Core
