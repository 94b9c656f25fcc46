#include "config/sync_item.hpp"

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "foundation/wildmatch.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

const SyncItemTypeName* type_row(SyncItemType type) {
  for (const auto& row : SYNC_ITEM_TYPE_NAMES) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

std::unique_ptr<SyncPath> endpoint_from_text(const std::wstring& text, const char* side) {
  log_at(LogLevel::Debug, L"SyncItem::" + util::string_to_wstring(side) + L" called with: " + text);
  if (auto account = get_account_from_path(text)) {
    log_at(LogLevel::Debug, std::string("SyncItem::") + side + ": SSH account found");
    return std::make_unique<SshPath>(*account, text);
  }
  return std::make_unique<FilesystemPath>(text);
}

const SshPath* as_ssh(const std::unique_ptr<SyncPath>& endpoint) {
  if (!endpoint || endpoint->path_type != PathType::Ssh) return nullptr;
  return static_cast<const SshPath*>(endpoint.get());
}

SshPath* as_ssh(std::unique_ptr<SyncPath>& endpoint) {
  if (!endpoint || endpoint->path_type != PathType::Ssh) return nullptr;
  return static_cast<SshPath*>(endpoint.get());
}

bool rename_reference(std::unique_ptr<SyncPath>& endpoint, const std::string& old_name,
                      const SshAccount& account) {
  SshPath* ssh = as_ssh(endpoint);
  if (ssh == nullptr || ssh->account().name() != old_name) return false;
  ssh->set_account(account);
  return true;
}

}  // namespace

std::wstring sync_item_type_key(SyncItemType type) {
  const auto* row = type_row(type);
  return row ? util::string_to_wstring(row->stored_key) : std::wstring{};
}

std::wstring sync_item_type_to_str(SyncItemType type) {
  const auto* row = type_row(type);
  return row ? translation::translate(row->translation_key) : std::wstring{};
}

SyncItemType str_to_sync_item_type(const std::wstring& text) {
  for (const auto& row : SYNC_ITEM_TYPE_NAMES) {
    if (text == util::string_to_wstring(row.stored_key) ||
        text == util::string_to_wstring(row.translation_key) ||
        text == translation::translate(row.translation_key)) {
      return row.type;
    }
  }
  return SyncItemType::Unknown;
}

void CompareItems::set(std::wstring_view key, bool on) {
  if (!on) return;
  if (key == L"size") criteria.insert(CompareItem::Size);
  if (key == L"time") criteria.insert(CompareItem::Time);
  if (key == L"content") criteria.insert(CompareItem::Content);
}

void CompareItems::apply(CompareItem criterion, bool on) {
  if (on) {
    criteria.insert(criterion);
  } else {
    criteria.erase(criterion);
  }
}

bool is_excluded(const std::wstring& name, const Exclusions& exclusions) {
  for (const auto& pattern : exclusions) {
    if (util::wildmatch(name, pattern)) return true;
  }
  return false;
}

SyncItem::SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
                   const std::wstring& target_text, std::wstring wildcard)
    : SyncItem(std::move(name), type, source_text, target_text, std::move(wildcard), {},
               SyncFlags{}, CompareItems{}) {}

SyncItem::SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
                   const std::wstring& target_text, std::wstring wildcard, Exclusions exclusions,
                   bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer,
                   bool fatherSonPrinciple, bool enabled, CompareItems compare_items)
    : SyncItem(std::move(name), type, source_text, target_text, std::move(wildcard),
               std::move(exclusions),
               SyncFlags(delAftercopy, twoWaySync, copyWhenTargetNewer, fatherSonPrinciple, enabled),
               std::move(compare_items)) {}

SyncItem::SyncItem(std::wstring name, SyncItemType type, const std::wstring& source_text,
                   const std::wstring& target_text, std::wstring wildcard, Exclusions exclusions,
                   SyncFlags flags, CompareItems compare_items)
    : name(std::move(name)), type(type), wildcard(std::move(wildcard)), flags(flags),
      compare_items(std::move(compare_items)), exclusions(std::move(exclusions)) {
  source(source_text);
  target(target_text);
}

SyncItem::SyncItem(const SyncItem& other)
    : name(other.name), type(other.type), wildcard(other.wildcard), flags(other.flags),
      compare_items(other.compare_items), exclusions(other.exclusions),
      sync_cycle(other.sync_cycle), last_sync(other.last_sync), last_run(other.last_run),
      source_(clone_endpoint(other.source_)), target_(clone_endpoint(other.target_)) {}

SyncItem& SyncItem::operator=(const SyncItem& other) {
  if (this != &other) {
    SyncItem copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void SyncItem::source(const std::wstring& text) { source_ = endpoint_from_text(text, "source"); }

void SyncItem::target(const std::wstring& text) { target_ = endpoint_from_text(text, "target"); }

void SyncItem::set_last_sync() {
  last_sync = std::chrono::steady_clock::now();
  log_at(LogLevel::Debug, "SyncItem::set_last_sync", last_sync);
}

const SshPath* SyncItem::ssh_path(const std::unique_ptr<SyncPath>& endpoint) const {
  return as_ssh(endpoint);
}

SSHPATH SyncItem::ssh_path_type() const {
  const bool source_remote = ssh_path(source_) != nullptr;
  const bool target_remote = ssh_path(target_) != nullptr;
  if (source_remote) return target_remote ? SSHPATH::Both : SSHPATH::Source;
  return target_remote ? SSHPATH::Target : SSHPATH::None;
}

bool SyncItem::references_ssh_account(const std::string& account_name) const {
  for (const SshPath* endpoint : {ssh_path(source_), ssh_path(target_)}) {
    if (endpoint != nullptr && endpoint->account().name() == account_name) return true;
  }
  return false;
}

bool SyncItem::rename_ssh_account_reference(const std::string& old_name, const SshAccount& account) {
  const bool source_changed = rename_reference(source_, old_name, account);
  const bool target_changed = rename_reference(target_, old_name, account);
  return source_changed || target_changed;
}

std::unique_ptr<SyncPath> clone_endpoint(const std::unique_ptr<SyncPath>& endpoint) {
  return endpoint ? endpoint->clone() : nullptr;
}

}  // namespace TWL_Core
