#pragma once
// Backup-proof records: one JSON file per sync item in a configured folder, to which every run
// that did something appends a record of what it did and whether it succeeded. Records are never
// removed, and a file that cannot be read as such a record list is never overwritten. Called
// only by the thread that runs the items; file-system and format failures are logged, not thrown.

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace TWL_Core {

class SyncItem;
class SyncReport;

// Longest file name, in UTF-8 bytes, that the record file and its temporary file may have.
inline constexpr std::size_t MAX_FILE_NAME_BYTES = 255;

// The item's record file in `dir`: the item name with every control character and each of
// < > : " / \ | ? * replaced by "_", cut after whole characters so that the temporary file's
// name (name + ".json.tmp") fits into MAX_FILE_NAME_BYTES, without trailing blanks and dots,
// "Sicherungsnachweis" when nothing is left; then ".json".
std::filesystem::path copy_log_file_path(const std::filesystem::path& dir,
                                         std::wstring_view item_name);

// Appends the record of one run (the item's endpoints, `files` handled, the report's volume,
// status and errors) to the item's file in `dir`, creating the folder and the file as needed.
// The new content goes to the file name + ".tmp" first, is flushed to the device and renamed
// over the file. True if the file was written and moved into place. A failure logs one Error
// line (translated "backup_proof_dir_not_creatable", "backup_proof_not_readable" or
// "backup_proof_not_writable" with the path and the reason) and leaves an existing file byte
// for byte as it was. A file is readable only if it holds a JSON object nested at most
// json::MAX_NESTING levels whose last member, if any, is an array or an object; record keys
// are the current catalogue's texts. The result always reads as the JSON writer's text of all
// records. A record costs a copy of the file (shared data where the file system can clone)
// plus the record; the first one per process, and the first after someone else changed the
// file, also costs one reading pass over it. Only a file in another layout is read into a
// tree and written whole.
[[nodiscard]] bool write_copy_log(const std::filesystem::path& dir, const SyncItem& item,
                                  std::size_t files, const SyncReport& report);

}  // namespace TWL_Core
