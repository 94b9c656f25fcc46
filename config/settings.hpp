#pragma once
// The global settings of the configuration file. The start, minimise and Show switches belong
// to a controlling user interface; the daemon keeps them so that writing the file preserves them.

#include <cstdint>
#include <filesystem>
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
  std::wstring RecycleBinPath;   // folder of the recycle bin; empty: default_recycle_bin_path()
  std::wstring BackupProofPath;  // folder of the backup-proof records
  std::string Language;          // catalogue language, UTF-8; empty: the environment's

  void reset() { *this = Settings{}; }
  // The configured recycle bin, or the default one when none is configured.
  std::filesystem::path recycle_bin_path() const;
  bool operator==(const Settings&) const = default;
};

// ".recyclebin" in the home folder; relative to the working folder without a home.
std::filesystem::path default_recycle_bin_path();

}  // namespace TWL_Core
