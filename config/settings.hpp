#pragma once
// The global settings of the configuration file. The start, minimise and Show switches belong
// to a controlling user interface; the daemon keeps them so that writing the file preserves them.

#include <cstdint>
#include <string>

namespace TWL_Core {

enum class DeleteMode : std::int32_t { RecycleBin = 0, Permanent = 1 };

struct Settings {
  TWL_Core::DeleteMode DeleteMode = TWL_Core::DeleteMode::RecycleBin;
  bool StartMinimzed = false;
  bool MinimizeInsteadOfClose = false;
  bool Autostart = false;
  bool StartSyncAtStart = false;
  bool ShowErrors = true;
  bool ShowWarnings = false;
  bool ShowInfos = false;
  std::wstring BackupProofPath;  // folder of the backup-proof records
  std::string Language;          // catalogue language, UTF-8; empty: the environment's

  void reset() { *this = Settings{}; }
  bool operator==(const Settings&) const = default;
};

}  // namespace TWL_Core
