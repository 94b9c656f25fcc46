#pragma once
// The recycle bin: a folder that takes deleted files under a relative item path, keeping the
// folders of their old place, and gives them back on request. Every member is thread-safe;
// operations are serialised, file moves included. Nothing throws: a refusal or failure is one
// log line and a false result.

#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

namespace TWL_Core {

// How a move into or out of the bin ended.
enum class BinMove {
  Moved,               // the file is at its new place only
  Failed,              // nothing changed (a refusal, or a copy that failed and was removed)
  Cancelled,           // a copy across volumes was stopped; its partial result is removed
  CopiedOriginalKept,  // copied, but the original could not be removed: the file is in both
};

// Asked before each block of a copy across volumes; true stops the copy.
using StopRequested = std::function<bool()>;

class RecycleBin {
 public:
  static RecycleBin& instance();
  RecycleBin(const RecycleBin&) = delete;
  RecycleBin& operator=(const RecycleBin&) = delete;

  // Replaces the bin folder; it is neither checked nor created here. The default is
  // ".recyclebin" in the home folder (relative to the working folder without a home).
  void bin_path(const std::filesystem::path& path);
  std::filesystem::path bin_path() const;

  // Moves the file or folder at `path` into the bin as `item_path` (relative, staying inside
  // the bin), creating the bin's folders as needed. A move to another volume copies (keeping
  // the modification times) and then removes the original; the copy asks `stop_requested`
  // before every block and, told to stop, removes what it copied and leaves the original.
  [[nodiscard]] BinMove move_in(const std::filesystem::path& path,
                                const std::filesystem::path& item_path,
                                const StopRequested& stop_requested);
  // move_in stopped by the sync controller's stop (Synchronize::stopping); true only for Moved.
  [[nodiscard]] bool add_item(const std::filesystem::path& path,
                              const std::filesystem::path& item_path);
  // The item keeps its own (relative) path.
  [[nodiscard]] bool add_item(const std::filesystem::path& path);

  // Moves an item back to its item path, relative to the working folder. Never replaces
  // anything that exists there. A copy across volumes stops as move_in's does.
  [[nodiscard]] BinMove move_out(const std::filesystem::path& item_path,
                                 const StopRequested& stop_requested);
  // move_out never stopped; true only for Moved.
  [[nodiscard]] bool restore_item(const std::filesystem::path& item_path);

  // The item paths of everything in the bin that is not a folder, in no particular order.
  // Empty while the bin folder does not exist; what could be read when part of it cannot.
  std::vector<std::filesystem::path> list_items() const;

 private:
  RecycleBin();

  // True if `item_path` is relative and stays inside the bin.
  bool check_relative(const std::filesystem::path& item_path) const;
  // Renames, or across volumes copies and removes; anything but Moved leaves `from` in place.
  BinMove move(const std::filesystem::path& from, const std::filesystem::path& to,
               const StopRequested& stop_requested) const;
  // Creates the missing folders above `path`.
  bool create_parent(const std::filesystem::path& path);

  mutable std::mutex mutex_;
  std::filesystem::path bin_path_;  // guarded by mutex_
};

// Generations of an overwritten file are named file name + FATHER_SON_SUFFIX + 1, 2, 3, ...
inline constexpr const wchar_t* FATHER_SON_SUFFIX = L".bak.";

// True if `name` is such a generation: a non-empty name before the last suffix and only
// decimal digits (at least one) after it.
bool father_son_backup(std::wstring_view name);

}  // namespace TWL_Core
