#include "sync/delete_file.hpp"

#include <chrono>
#include <filesystem>

#include "config/config.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/file_time.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"

namespace TWL_Core {
namespace {

bool move_to_recycle_bin(const std::wstring& path) {
  const std::filesystem::path file = util::to_path(path);
  const auto item_path =
      util::with_timestamp_prefix(file.relative_path(), std::chrono::system_clock::now());
  const bool moved = RecycleBin::instance().add_item(file, item_path);
  if (moved) {
    log_at(LogLevel::Info, translation::translate("file_moved_to_recycle_bin"), path);
  } else {
    log_at(LogLevel::Error, translation::translate("file_move_to_recycle_bin_failed"), path);
  }
  return moved;
}

}  // namespace

bool delete_file(const std::wstring& path, DeleteMode mode) {
  if (mode == DeleteMode::Permanent) return util::remove_file(path, LogLevel::Error);
  return move_to_recycle_bin(path);
}

bool delete_file(const std::wstring& path) {
  return delete_file(path, Config::instance().settings.DeleteMode);
}

}  // namespace TWL_Core
