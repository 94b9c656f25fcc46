#pragma once
// Synchronises the files of one folder, without going into its subfolders: each file that
// passes the wildcard and the exclusions as a pair with its namesake in the target folder,
// then the files that exist only in the target, as the flags say.

#include "sync/sync_base.hpp"

namespace TWL_Core {

class SyncDir : public SyncBase {
 public:
  SyncDir(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
          RemoteAccess* remote = nullptr);

  void operator()() override;

 private:
  void sync_folder(const std::wstring& source, const std::wstring& target);
  void sync_dir_entry(const FolderEntry& entry, const std::wstring& source_directory,
                      const std::wstring& wildcard, const std::wstring& target_directory,
                      const FolderNames& names);
};

}  // namespace TWL_Core
