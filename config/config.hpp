#pragma once
// The configuration of the daemon: global settings, SSH accounts and sync items, read from
// and written to one JSON file. Reading is tolerant (a broken entry is logged and skipped) and
// also configures the logger, the fatal-error mail and the recycle bin.
// Items and accounts each have their own lock; accessors hand out copies, so callers never see
// a list change under them. Settings, path and flags are written only by read, reset, pathname
// and write, which the daemon calls while no synchronisation runs.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "config/settings.hpp"
#include "config/sync_item.hpp"
#include "remote/ssh_account.hpp"

namespace TWL_Core {

class Config {
 public:
  using Tree = boost::property_tree::wptree;

  // The singleton; created on first use and again after unload().
  static Config& instance();
  static void init_singleton();
  static bool exists();
  static void unload();
  // HOME + "/Library/Application Support/ternwell/ternwell.json" ("ternwell.json" without
  // HOME). Moves a configuration from the old place HOME + "/ternwell.json" once.
  static std::wstring get_root_pathname();
  // A configuration was read successfully and holds at least one item.
  static bool sync_possible();

  void pathname(const std::wstring& path);
  std::wstring pathname() const { return pathname_; }
  // Replaces the whole configuration with the file's; false (and an empty configuration)
  // when the file is missing, unreadable or not a JSON object. Never changes the file.
  [[nodiscard]] bool read(const std::wstring& path);
  void reset();
  // The file at pathname() was changed (or replaced, created, removed) since it was read.
  bool file_changed_on_disk() const;
  bool loaded() const { return loaded_; }
  bool modified() const { return modified_; }

  std::vector<SyncItem> syncitems() const;
  // Requires: index below the number of items.
  SyncItem item(std::size_t index) const;
  std::optional<SyncItem> find(const std::wstring& path_text, bool by_source) const;
  std::optional<SyncItem> find_by_name(const std::wstring& name) const;
  void add(const SyncItem& item, bool loading);
  void set(std::size_t index, const SyncItem& item);
  void remove(std::size_t index);
  bool update_by_name(const std::wstring& name, const SyncItem& item);
  bool erase_by_name(const std::wstring& name);
  // By name: the first item of that name.
  void refresh_last_sync(const std::wstring& name);
  void record_last_run(const std::wstring& name, const LastRun& last_run);
  // By place in the item list, for items that share a name; nothing happens when the item
  // at `index` is no longer the one named `name` (the list changed meanwhile).
  void refresh_last_sync(std::size_t index, const std::wstring& name);
  void record_last_run(std::size_t index, const std::wstring& name, const LastRun& last_run);

  void add(const SshAccount& account, bool loading);
  std::optional<SshAccount> ssh_account_at(std::size_t index) const;
  std::vector<SshAccount> ssh_accounts_snapshot() const;
  bool update_ssh_account(std::size_t index, const SshAccount& account);
  bool remove_ssh_account(std::size_t index);
  std::optional<SshAccount> find_ssh_account_by_name(const std::string& name) const;
  bool update_ssh_account_references(const std::string& old_name, const SshAccount& account);
  bool ssh_account_referenced_by_any_item(const std::string& name) const;

  // Stores the configuration, with the logger's and mail settings and every password
  // encrypted, through a temporary file renamed over `path`. False, with the old file left
  // as it was, when anything fails (a password that cannot be encrypted included).
  [[nodiscard]] bool write(const std::wstring& path);

  // The key file "secret.key" beside the configuration file.
  static std::filesystem::path password_key_file_path();

  Settings settings;

 private:
  Config() = default;

  Tree parse_json_file(const std::wstring& path);
  bool interpret_json(const Tree& tree);
  bool read_settings(const Tree& tree);
  bool read_logging_setup(const Tree& tree);
  bool read_ssh_accounts(const Tree& tree);
  bool interpret_sync_item(const Tree& entry, SyncItem& item);
  std::wstring read_smtp_password(const Tree& logging);
  SshAccount read_ssh_account(const Tree& entry);

  void write_settings(Tree& tree) const;
  void write_logging_setup(Tree& tree) const;
  void write_ssh_accounts(Tree& tree) const;
  void write_sync_items(Tree& tree) const;

  std::vector<SyncItem> items_;                                // guarded by items_mutex_
  mutable std::mutex items_mutex_;
  std::vector<SshAccount> accounts_;                           // guarded by accounts_mutex_
  // Stored password texts that could not be decrypted, by account name: written back
  // unchanged so that restoring the right key file recovers them.
  std::map<std::string, std::string> undecryptable_passwords_;  // guarded by accounts_mutex_
  mutable std::mutex accounts_mutex_;
  std::wstring undecryptable_smtp_password_;
  std::wstring pathname_;
  std::filesystem::file_time_type disk_time_ = std::filesystem::file_time_type::min();
  bool modified_ = false;
  bool loaded_ = false;
};

// The configured account named in an endpoint text "account:remote path"; nothing for a text
// that names none. Looks the accounts up anew on every call.
[[nodiscard]] std::optional<SshAccount> get_account_from_path(std::wstring_view path);

}  // namespace TWL_Core
