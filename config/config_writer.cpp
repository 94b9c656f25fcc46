// Config::write: the configuration back into its JSON file.

#include <stdexcept>
#include <system_error>

#include "config/config.hpp"
#include "config/json_writer.hpp"
#include "config/password_crypto.hpp"
#include "foundation/durable_file.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using Tree = Config::Tree;
using util::string_to_wstring;
using util::wstring_to_string;

void put(Tree& node, const wchar_t* key, const std::wstring& value) {
  node.push_back({key, Tree(value)});
}

void put(Tree& node, const wchar_t* key, bool value) { put(node, key, util::to_string(value)); }

void put(Tree& node, const wchar_t* key, std::uint16_t value) { put(node, key, util::to_string(value)); }

void put_child(Tree& node, const wchar_t* key, Tree child) { node.push_back({key, std::move(child)}); }

// The encrypted form of a password; throws when it cannot be encrypted, so that nothing is
// written rather than a password lost.
std::wstring encrypted(const std::string& plain, const std::string& owner) {
  const std::string text = passwordcrypto::encrypt(plain, Config::password_key_file_path());
  if (text.empty()) {
    throw std::runtime_error(translation::translate_utf8("config_password_not_encryptable") + owner);
  }
  return string_to_wstring(text);
}

void put_endpoint(Tree& node, const wchar_t* key, const wchar_t* type_key,
                  const std::unique_ptr<SyncPath>& endpoint) {
  if (!endpoint) return;
  put(node, key, endpoint->path());
  put(node, type_key, std::wstring(endpoint->path_type == PathType::Ssh ? L"ssh" : L"filesystem"));
}

Tree compare_items_node(const CompareItems& items) {
  Tree node;
  put(node, L"size", items.size());
  put(node, L"time", items.time());
  put(node, L"content", items.content());
  put(node, L"timeToleranceSeconds", items.time_tolerance_seconds);
  return node;
}

Tree exclusions_node(const Exclusions& exclusions) {
  Tree node;
  for (const auto& pattern : exclusions) node.push_back({L"", Tree(pattern)});
  return node;
}

Tree sync_flags_node(const SyncFlags& flags) {
  Tree node;
  put(node, L"delAftercopy", flags.delAftercopy);
  put(node, L"twoWaySync", flags.twoWaySync);
  put(node, L"copyWhenTargetNewer", flags.copyWhenTargetNewer);
  put(node, L"fatherSonPrinciple", flags.fatherSonPrinciple);
  put(node, L"syncDeletions", flags.syncDeletions);
  put(node, L"backupProof", flags.backupProof);
  put(node, L"syncEmptyFiles", flags.syncEmptyFiles);
  put(node, L"warnIfUnreachable", flags.warnIfUnreachable);
  put(node, L"enabled", flags.enabled);
  return node;
}

Tree sync_item_node(const SyncItem& item) {
  Tree node;
  put_child(node, L"compareitems", compare_items_node(item.compare_items));
  put_child(node, L"exclusions", exclusions_node(item.exclusions));
  put_child(node, L"syncflags", sync_flags_node(item.flags));
  put(node, L"name", item.name);
  put(node, L"type", sync_item_type_key(item.type));
  put_endpoint(node, L"source", L"sourceType", item.source());
  put_endpoint(node, L"target", L"targetType", item.target());
  put(node, L"wildcard", item.wildcard);
  put(node, L"SyncCycle", item.sync_cycle);
  return node;
}

}  // namespace

bool Config::write(const std::wstring& path) {
  const fs::path target = util::to_path(path);
  const fs::path temporary = util::temporary_path_for(target);
  try {
    Tree tree;
    write_settings(tree);
    write_logging_setup(tree);
    write_ssh_accounts(tree);
    write_sync_items(tree);
    std::error_code ignored;
    fs::create_directories(target.parent_path(), ignored);
    const std::wstring text = json::to_text(tree);
    const std::string bytes = wstring_to_string(text);
    if (bytes.empty() && !text.empty()) {
      throw std::runtime_error("text not convertible to UTF-8: " + target.string());
    }
    // Flushed to the device before it replaces the old file: a power loss leaves the old or
    // the new configuration, never an empty one.
    if (const auto error = util::replace_file_durably(target, bytes)) {
      throw std::system_error(error, target.string());
    }
  } catch (const std::exception& e) {
    log_at(LogLevel::FatalError, translation::translate_utf8("config_write_error"),
           std::string_view(e.what()));
    (void)util::remove_file(util::from_path(temporary), LogLevel::None);
    return false;
  }
  log_at(LogLevel::Info, L"rename_file", util::from_path(temporary), path);
  if (path == pathname_) {
    std::error_code error;
    const auto written = fs::last_write_time(target, error);
    if (!error) disk_time_ = written;
  }
  modified_ = false;
  return true;
}

void Config::write_settings(Tree& tree) const {
  Tree node;
  put(node, L"StartMinimzed", settings.StartMinimzed);
  put(node, L"MinimizeInsteadOfClose", settings.MinimizeInsteadOfClose);
  put(node, L"Autostart", settings.Autostart);
  put(node, L"StartSyncAtStart", settings.StartSyncAtStart);
  put(node, L"ShowErrors", settings.ShowErrors);
  put(node, L"ShowWarnings", settings.ShowWarnings);
  put(node, L"ShowInfos", settings.ShowInfos);
  put(node, L"DeleteMode",
      std::wstring(settings.DeleteMode == DeleteMode::Permanent ? L"Permanent" : L"RecycleBin"));
  put(node, L"RecycleBinPath", util::from_path(settings.recycle_bin_path()));
  put(node, L"BackupProofPath", settings.BackupProofPath);
  put(node, L"Language", string_to_wstring(settings.Language));
  put_child(tree, L"Settings", std::move(node));
}

void Config::write_logging_setup(Tree& tree) const {
  const Logging& logging = Logging::instance();
  const SmtpAccount smtp = logging.email.smtp_account();
  Tree node;
  put(node, L"LogLevel", string_to_wstring(Logging::log_level_str(logging.get_log_level())));
  put(node, L"LogFilePathName", logging.get_log_file_path_name());
  put(node, L"RetentionDays", logging.get_retention_days());
  put(node, L"EditorPathName", logging.get_editor_path_name());
  put(node, L"NotifyEmailActive", logging.email.notify_active());
  put(node, L"NotifyEmail", logging.email.notify_address());
  put(node, L"SmtpServer", smtp.server);
  put(node, L"SmtpPort", smtp.port);
  put(node, L"SmtpUser", smtp.user);
  put(node, L"SmtpFrom", smtp.from);
  std::wstring password = undecryptable_smtp_password_;
  if (!smtp.password.empty()) password = encrypted(wstring_to_string(smtp.password), "SMTP");
  put(node, L"SmtpPassword", password);
  put_child(tree, L"Logging", std::move(node));
}

void Config::write_ssh_accounts(Tree& tree) const {
  Tree node;
  std::lock_guard lock(accounts_mutex_);
  for (const auto& account : accounts_) {
    Tree entry;
    put(entry, L"name", string_to_wstring(account.name()));
    put(entry, L"host", string_to_wstring(account.host()));
    put(entry, L"user", string_to_wstring(account.user()));
    const auto kept = undecryptable_passwords_.find(account.name());
    const bool keep_stored = account.password().empty() && kept != undecryptable_passwords_.end();
    put(entry, L"password",
        keep_stored ? string_to_wstring(kept->second) : encrypted(account.password(), account.name()));
    put_child(node, L"SshAccount", std::move(entry));
  }
  put_child(tree, L"SshAccounts", std::move(node));
}

void Config::write_sync_items(Tree& tree) const {
  Tree node;
  std::lock_guard lock(items_mutex_);
  for (const auto& item : items_) put_child(node, L"Syncitem", sync_item_node(item));
  put_child(tree, L"Syncitems", std::move(node));
}

}  // namespace TWL_Core
