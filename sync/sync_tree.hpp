#pragma once
// Synchronises a whole folder tree: every file below the source folder with its namesake at the
// same place below the target folder, target folders created as needed, and in each folder,
// after everything below it, the files that exist only in the target, as the flags say.
// The walk goes depth first in listing order and holds only the listings of the folders on
// its current path; it needs no stack depth of its own, so trees of any depth are walked.
// Symbolic links to folders are never followed, a target folder that is no real folder is
// never written into, and a target inside the source tree is not walked into.

#include <vector>

#include "sync/sync_base.hpp"

namespace TWL_Core {

class SyncTree : public SyncBase {
 public:
  using Entry = FolderEntry;

  SyncTree(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
           RemoteAccess* remote = nullptr);

  void operator()() override;

 private:
  // One folder on the walk's current path.
  struct Folder {
    std::wstring source;
    std::wstring target;
    std::vector<Entry> entries;
    std::size_t next = 0;
    FolderNames names;
    std::size_t files_at_entry = 0;  // the file counter when the folder was entered
  };

  void sync_tree(const std::wstring& source, const std::wstring& target);
  // Lists the folder pair and puts it on the path; a failure ends that folder only.
  void enter(std::vector<Folder>& path, const std::wstring& source, const std::wstring& target);
  // Handles one entry; a subfolder to walk into is put on the path.
  void sync_entry(std::vector<Folder>& path, const Entry& entry);
  bool subtree_skipped(const Folder& folder, const Entry& entry);
  // The target-only files of a folder whose entries are all done.
  void finish(const Folder& folder);

  std::wstring target_root_;
  bool target_inside_source_reported_ = false;
};

}  // namespace TWL_Core
