#pragma once
// One configured synchronisation job: a named pair of endpoints with a kind, a name pattern,
// behaviour switches, comparison criteria, exclusions, a cycle and the bookkeeping of its last
// run. Plain data with value semantics; items carry no lock and are copied freely.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/sync_path.hpp"

namespace TWL_Core {

enum class SyncItemType : std::int32_t { Unknown = 0, File = 1, Dir = 2, Tree = 3 };

struct SyncItemTypeName {
  SyncItemType type;
  std::string_view stored_key;       // the word in configuration files, never translated
  std::string_view translation_key;  // display name for a controlling interface
};

inline constexpr std::array<SyncItemTypeName, 3> SYNC_ITEM_TYPE_NAMES{{
    {SyncItemType::File, "Datei", "sync_item_type_file"},
    {SyncItemType::Dir, "Verzeichnis", "sync_item_type_dir"},
    {SyncItemType::Tree, "Verzeichnisbaum", "sync_item_type_tree"},
}};

// The stored key of a type; empty for Unknown.
std::wstring sync_item_type_key(SyncItemType type);
// The translated display name of a type; empty for Unknown.
std::wstring sync_item_type_to_str(SyncItemType type);
// Matches the stored key, the translation key or the current translation; else Unknown.
SyncItemType str_to_sync_item_type(const std::wstring& text);

struct SyncFlags {
  bool delAftercopy = false;
  bool twoWaySync = false;
  bool copyWhenTargetNewer = false;
  bool fatherSonPrinciple = false;
  bool syncDeletions = false;
  bool backupProof = false;
  bool syncEmptyFiles = false;
  bool warnIfUnreachable = true;
  bool enabled = true;

  SyncFlags() = default;
  SyncFlags(bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer, bool fatherSonPrinciple,
            bool enabled)
      : delAftercopy(delAftercopy), twoWaySync(twoWaySync),
        copyWhenTargetNewer(copyWhenTargetNewer), fatherSonPrinciple(fatherSonPrinciple),
        enabled(enabled) {}

  bool operator==(const SyncFlags&) const = default;
};

enum class CompareItem : std::int32_t { Size = 0, Time = 1, Content = 2 };

struct CompareItems {
  std::set<CompareItem> criteria{CompareItem::Content};
  std::uint16_t time_tolerance_seconds = 2;

  bool size() const { return criteria.contains(CompareItem::Size); }
  bool time() const { return criteria.contains(CompareItem::Time); }
  bool content() const { return criteria.contains(CompareItem::Content); }
  void size(bool on) { apply(CompareItem::Size, on); }
  void time(bool on) { apply(CompareItem::Time, on); }
  void content(bool on) { apply(CompareItem::Content, on); }
  // Adds the criterion named exactly "size", "time" or "content" when `on`; never removes one.
  void set(std::wstring_view key, bool on);

  bool operator==(const CompareItems&) const = default;

 private:
  void apply(CompareItem criterion, bool on);
};

// Wildcard patterns of names that take no part in a directory or tree item.
using Exclusions = std::vector<std::wstring>;

// True if `name` matches one of the patterns (whole name, case-sensitive).
bool is_excluded(const std::wstring& name, const Exclusions& exclusions);

struct LastRun {
  bool reachable = false;
  std::size_t error_count = 0;
  std::wstring first_error;

  bool operator==(const LastRun&) const = default;
};

class SyncItem {
 public:
  using MonotonicTime = std::chrono::steady_clock::time_point;

  SyncItem() = default;
  // Endpoint texts are parsed after every other member is set: a text "account:path" naming
  // a configured SSH account becomes a remote endpoint, every other text a local path.
  SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
           const std::wstring& target_text, std::wstring wildcard);
  SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
           const std::wstring& target_text, std::wstring wildcard, Exclusions exclusions,
           bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer, bool fatherSonPrinciple,
           bool enabled, CompareItems compare_items);
  SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
           const std::wstring& target_text, std::wstring wildcard, Exclusions exclusions,
           SyncFlags flags, CompareItems compare_items);

  SyncItem(const SyncItem& other);
  SyncItem& operator=(const SyncItem& other);
  SyncItem(SyncItem&&) noexcept = default;
  SyncItem& operator=(SyncItem&&) noexcept = default;
  ~SyncItem() = default;

  // The endpoints; either may be empty.
  const std::unique_ptr<SyncPath>& source() const { return source_; }
  const std::unique_ptr<SyncPath>& target() const { return target_; }
  // Replace an endpoint from its text form.
  void source(const std::wstring& text);
  void target(const std::wstring& text);
  void source(std::unique_ptr<SyncPath> endpoint) { source_ = std::move(endpoint); }
  void target(std::unique_ptr<SyncPath> endpoint) { target_ = std::move(endpoint); }

  SyncItemType sync_item_type() const { return type; }
  // Marks the item as run now; it is due again after sync_cycle seconds.
  void set_last_sync();
  // The endpoint as an SSH endpoint, or null when it is absent or local.
  const SshPath* ssh_path(const std::unique_ptr<SyncPath>& endpoint) const;
  SSHPATH ssh_path_type() const;
  bool references_ssh_account(const std::string& account_name) const;
  // Gives every side that uses `old_name` the whole new account; true if a side changed.
  bool rename_ssh_account_reference(const std::string& old_name, const SshAccount& account);

  std::wstring name;
  SyncItemType type = SyncItemType::Unknown;
  std::wstring wildcard;
  SyncFlags flags;
  CompareItems compare_items;
  Exclusions exclusions;
  std::uint16_t sync_cycle = 60;  // seconds between two runs
  MonotonicTime last_sync = MonotonicTime::min();
  std::optional<LastRun> last_run;

 private:
  std::unique_ptr<SyncPath> source_;
  std::unique_ptr<SyncPath> target_;
};

// Deep copy of an endpoint; null stays null.
std::unique_ptr<SyncPath> clone_endpoint(const std::unique_ptr<SyncPath>& endpoint);

}  // namespace TWL_Core
