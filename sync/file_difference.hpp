#pragma once
// How a source file and a target file differ, by the criteria configured for their item
// (size, modification time with a tolerance, content). One object per comparison of one pair,
// used on the sync worker thread and then discarded; it holds no resources. Nothing here
// throws for a missing file, an absent volume or an unreachable host.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "config/sync_item.hpp"
#include "foundation/file_time.hpp"
#include "remote/remote_access.hpp"

namespace TWL_Core {

enum class Difference : std::int32_t {
  Equal = 0,
  SourceModified = 1,         // the source is newer or larger, or its content differs (one-way)
  DestModified = 2,           // the target is newer or larger
  DestNotExists = 3,          // the source exists, the target does not (its volume is there)
  SourceNotExits = 4,         // the source does not exist (its volume is there)
  SourceDriveNotMounted = 5,  // the source cannot be examined: volume or host absent, or error
  DestDriveNotMounted = 6,    // the target cannot be examined: volume or host absent, or error
  ContentConflict = 7,        // two-way: contents differ while size and time give no winner
};

// The label written to the log; "Undefined" outside the enumeration.
std::string_view difference_label(Difference difference);

class FileDifference {
 public:
  // A remote side cannot be compared by content: such a comparison uses size and time instead
  // (with a Debug line); the caller's criteria stay as they are.
  // Remote sides are examined through `remote`; without one they count as unreachable.
  FileDifference(std::wstring source, std::wstring target, const CompareItems& compare_items,
                 SSHPATH ssh_kind, bool two_way, RemoteAccess* remote = nullptr);

  // Compares the pair once, sets result() and logs it at Debug. Returns the source size (0 when
  // the source could not be read).
  std::uint64_t operator()();

  Difference result() const { return result_; }
  std::uint64_t source_size() const { return source_size_; }
  std::uint64_t target_size() const { return target_size_; }
  // The modification times read; meaningful only for a side that was read.
  util::FileTime source_time() const { return source_time_; }
  util::FileTime target_time() const { return target_time_; }

  // The first of: later time (either side), larger size (either side), Equal. Only the
  // criteria of this comparison count.
  [[nodiscard]] Difference compare_metadata(util::FileTime source_time,
                                            util::FileTime target_time) const;
  // Sets the result from the files' bytes: Equal when they match; otherwise one-way
  // SourceModified, two-way the later side, or ContentConflict when neither is later.
  void compare_content(util::FileTime source_time, util::FileTime target_time);
  // True if `a` is later than `b` by more than the tolerance (to the nanosecond when both
  // sides are local; when one is remote in whole seconds, each time first brought into the
  // range the SFTP protocol can carry, as an upload would set it).
  [[nodiscard]] bool newer(util::FileTime a, util::FileTime b) const;

 private:
  bool compares(CompareItem criterion) const { return criteria_.contains(criterion); }

  const std::wstring source_;
  const std::wstring target_;
  std::uint64_t source_size_ = 0;
  std::uint64_t target_size_ = 0;
  util::FileTime source_time_{};
  util::FileTime target_time_{};
  std::set<CompareItem> criteria_;
  const std::uint16_t tolerance_seconds_;
  const SSHPATH ssh_kind_;
  const bool two_way_;
  RemoteAccess* const remote_;
  Difference result_ = Difference::Equal;
};

// Reads size and time of the file at `path` (a local path, or "account:remote path" when
// `remote`). True when the file is there and was read. False with `mounted` left as it was
// only when the file is known not to exist; every other failure (absent volume or host, a
// folder or other non-regular file, an error while examining it) sets `mounted` false, so that
// nobody takes the file for deleted. Failures other than absence and an absent volume are
// reported to the current run's report, and so is a host that cannot be asked. Logs each
// failure. A remote file is examined through `access`, its account named by the path.
[[nodiscard]] bool read_file_info(const std::wstring& path, bool& mounted, std::uint64_t& size,
                                  util::FileTime& time, bool remote,
                                  RemoteAccess* access = nullptr);

}  // namespace TWL_Core
