#pragma once
// Copies a local file over a local destination so that the destination path always holds
// either its old content or the complete, verified new content, whatever happens meanwhile
// (a crash, a full disk, a stop, a source or destination changed by someone else).
//
// The new content is written beside the destination under a temporary name of this program
// (created 0600), checked against the source byte for byte, given the source's permission
// bits and modification time, and renamed over the destination only if the destination is
// still as the comparison saw it. With generations, the old destination becomes the next
// "<name>.bak.<n>" right before that rename. Runs on the sync worker thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "foundation/copy_result.hpp"
#include "foundation/file_time.hpp"

namespace TWL_Core {

// What the comparison saw at the destination: nothing, or a file of this size and time.
struct SeenDestination {
  bool exists = false;
  std::uint64_t size = 0;
  util::FileTime time{};
};

struct SafeCopyOptions {
  SeenDestination seen;
  bool keep_generation = false;               // "fatherSonPrinciple"
  std::function<bool()> stop_requested;       // polled per block; empty: never
  std::function<void(std::uint64_t)> copied;  // bytes copied so far, per block; may be empty
  // A folder pass does these two once per folder instead of once per copy: it removes the
  // folder's leftovers before its first copy (a search per copy would list a large folder
  // once for each of its files), and it flushes the folder after its last one.
  bool remove_leftovers = true;
  bool flush_folder = true;
};

// Copies `from` over `to` as described above. Failed, cancelled and refused copies leave `to`
// untouched and no temporary file behind; each failure is logged and reported to the current
// run's report. Temporary files that a crash left for `to` are removed first.
[[nodiscard]] CopyResult safe_copy(const std::filesystem::path& from,
                                   const std::filesystem::path& to,
                                   const SafeCopyOptions& options);

// What a copy from elsewhere (an SSH host) wrote into the temporary file, and the permission
// bits and time the file is to get.
struct ReceivedContent {
  CopyResult result = CopyResult::Failed;
  std::uint32_t permissions = 0;
  std::int64_t modified = 0;  // seconds since the epoch
};
using ContentReceiver = std::function<ReceivedContent(int output)>;

// As safe_copy, for content that `receive` writes into the temporary file (opened for writing,
// empty): a download. The content is flushed, given exactly the permission bits (& 0777) and
// the time it came with, and renamed over `to` under the same rules. `from` names the source in
// messages. The receiver logs its own failures; they are reported here.
[[nodiscard]] CopyResult safe_receive(const std::wstring& from, const ContentReceiver& receive,
                                      const std::filesystem::path& to,
                                      const SafeCopyOptions& options);

// Removes every regular file in `folder` whose name is a temporary copy's (see below): what
// crashed copies left. Failures are ignored; the next pass tries again.
void remove_temporary_copies(const std::filesystem::path& folder);

// True if `file_name` is a temporary copy of this program: "." + (a prefix of) the
// destination's name + ".ternwell-partial-" + 16 lower-case hex digits. Synchronisers never
// take such a file for one of the user's.
[[nodiscard]] bool is_temporary_copy_name(std::string_view file_name);

}  // namespace TWL_Core
