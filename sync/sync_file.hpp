#pragma once
// Synchronises one file pair: the source and target of a file item, or one file of a folder.
// It compares the pair, decides from the difference and the item's flags, and then plans the
// step (dry runs and counting passes) or carries it out through the safe copy and the delete
// mode. An absent volume, an unreachable host or a file that cannot be examined never leads to
// a copy or a deletion. Every failure is logged and reported; nothing escapes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sync/file_difference.hpp"
#include "sync/safe_copy.hpp"
#include "sync/sync_base.hpp"
#include "sync/sync_plan.hpp"

namespace TWL_Core {

class SyncFile : public SyncBase {
 public:
  // `target_is_dir`: the item's target names a folder, to which the source's name is added.
  SyncFile(const SyncItem& item, std::atomic<std::size_t>& files, bool plan_only,
           bool target_is_dir, RemoteAccess* remote = nullptr);

  void operator()() override;

  // The pair is one of a folder pass, which removed the leftovers of crashed copies in the
  // pair's folders already and flushes them once it is done.
  void within_folder_pass() { within_folder_pass_ = true; }

  // The action for a difference under this item's flags; nothing for "leave the pair alone".
  [[nodiscard]] std::optional<PlannedAction> decide(Difference difference) const;
  // True when the file the action would copy is empty and empty files are not synchronised.
  [[nodiscard]] bool empty_file_skipped(const FileDifference& difference,
                                        PlannedAction action) const;

 private:
  void sync_pair(const std::wstring& source, const std::wstring& target);
  [[nodiscard]] Difference planned_difference(const FileDifference& difference,
                                              const std::wstring& target) const;
  void sync_difference(const FileDifference& difference, const std::wstring& source,
                       const std::wstring& target);
  void report_no_action(Difference difference, const std::wstring& source,
                        const std::wstring& target) const;
  void plan(PlannedAction action, const FileDifference& difference, const std::wstring& source,
            const std::wstring& target);
  void carry_out(PlannedAction action, const FileDifference& difference,
                 const std::wstring& source, const std::wstring& target);
  void delete_target_file(const std::wstring& source, const std::wstring& target);
  void copy_source_to_dest(const FileDifference& difference, const std::wstring& source,
                           const std::wstring& target);
  void copy_dest_to_source(const FileDifference& difference, const std::wstring& from,
                           const std::wstring& to);
  // The safe copy of `from` (`size` bytes) over `to`, which the comparison saw as `seen`;
  // from the source to the target, or back. A copy that did not happen is reported.
  [[nodiscard]] bool copy_file(const std::wstring& from, const std::wstring& to,
                               const SeenDestination& seen, bool towards_target,
                               std::uint64_t size);
  // The copy itself, local or through the remote access, as the two sides lie.
  [[nodiscard]] CopyResult transfer(const std::wstring& from, const std::wstring& to,
                                    const SeenDestination& seen, bool towards_target);
  // Where `path` lies on the host of the source (`source_side`) or of the target.
  [[nodiscard]] RemoteLocation location(bool source_side, const std::wstring& path) const;

  const bool target_is_dir_;
  bool within_folder_pass_ = false;
};

}  // namespace TWL_Core
