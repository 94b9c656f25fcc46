#include "config/config.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <boost/property_tree/json_parser.hpp>

#include "config/json_nesting.hpp"
#include "config/password_crypto.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/local_paths.hpp"
#include "foundation/regular_file.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "remote/ssh_endpoint.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using Tree = Config::Tree;
using translation::translate;
using translation::translate_utf8;
using util::string_to_wstring;
using util::wstring_to_string;

constexpr const char* CONFIG_LOCATION = "/Library/Application Support/ternwell/ternwell.json";
constexpr const char* OLD_CONFIG_NAME = "/ternwell.json";
constexpr const char* KEY_FILE_NAME = "secret.key";

std::unique_ptr<Config>& singleton() {
  static std::unique_ptr<Config> config;
  return config;
}

fs::file_time_type last_write_time_or_min(const std::wstring& path) {
  std::error_code error;
  const auto time = fs::last_write_time(util::to_path(path), error);
  return error ? fs::file_time_type::min() : time;
}

// The whole content of a regular file. Opened without waiting, since a named pipe would block
// open() for good; throws a standard error when the file cannot be opened or read, or is no
// regular file (a folder, a pipe, a device).
std::string read_regular_file(const fs::path& path) {
  std::error_code error;
  const FileDescriptor file = open_regular_file(path, O_RDONLY, error);
  if (error == std::errc::is_a_directory || error == std::errc::no_such_device) {
    throw std::runtime_error(translate_utf8("not_a_regular_file"));
  }
  if (error) throw std::system_error(error, "cannot open " + path.string());
  std::string bytes;
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(used + (1 << 16));
    const ssize_t count = ::read(file.get(), bytes.data() + used, bytes.size() - used);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    }
    if (count == 0) break;
    used += static_cast<std::size_t>(count);
  }
  bytes.resize(used);
  return bytes;
}

std::wstring required_text(const Tree& node, const wchar_t* key) {
  return node.get_child(key).data();
}

std::wstring optional_text(const Tree& node, const wchar_t* key, const std::wstring& fallback = {}) {
  const auto child = node.get_child_optional(key);
  return child ? child->data() : fallback;
}

bool is_true(const std::wstring& text) { return text == L"true"; }

bool required_bool(const Tree& node, const wchar_t* key) { return is_true(required_text(node, key)); }

bool optional_bool(const Tree& node, const wchar_t* key, bool fallback) {
  const auto child = node.get_child_optional(key);
  return child ? is_true(child->data()) : fallback;
}

// Decimal digits after optional blanks and a sign; anything after the digits is refused, so
// that 1e3 or 90s never pass for another number.
bool is_decimal(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(text[i])) ++i;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) ++i;
  const std::size_t digits = i;
  while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') ++i;
  return i > digits && i == text.size();
}

std::uint16_t number_from_text(const wchar_t* key, const std::wstring& text) {
  try {
    if (!is_decimal(text)) {
      throw std::invalid_argument(translate_utf8("value_not_a_number") + wstring_to_string(text));
    }
    return util::to_uint16_t(text);
  } catch (const std::logic_error& e) {
    throw std::runtime_error(wstring_to_string(key) + ": " + e.what());
  }
}

std::uint16_t required_number(const Tree& node, const wchar_t* key) {
  return number_from_text(key, required_text(node, key));
}

std::uint16_t optional_number(const Tree& node, const wchar_t* key, std::uint16_t fallback) {
  const auto child = node.get_child_optional(key);
  return child ? number_from_text(key, child->data()) : fallback;
}

// A top-level value with named members; arrays, scalars and empty objects have none.
bool has_named_member(const Tree& tree) {
  for (const auto& [key, child] : tree) {
    if (!key.empty()) return true;
  }
  return false;
}

CompareItems read_compare_items(const Tree& node) {
  CompareItems items;
  items.criteria.clear();
  for (const auto& [key, child] : node) items.set(key, is_true(child.data()));
  items.time_tolerance_seconds = optional_number(node, L"timeToleranceSeconds", 2);
  return items;
}

Exclusions read_exclusions(const Tree& node) {
  Exclusions exclusions;
  for (const auto& [key, child] : node) {
    if (!child.data().empty()) exclusions.push_back(child.data());
  }
  return exclusions;
}

SyncFlags read_sync_flags(const Tree& node) {
  SyncFlags flags;
  flags.delAftercopy = required_bool(node, L"delAftercopy");
  flags.twoWaySync = required_bool(node, L"twoWaySync");
  flags.copyWhenTargetNewer = required_bool(node, L"copyWhenTargetNewer");
  flags.fatherSonPrinciple = required_bool(node, L"fatherSonPrinciple");
  flags.syncDeletions = optional_bool(node, L"syncDeletions", false);
  flags.backupProof = optional_bool(node, L"backupProof", false);
  flags.syncEmptyFiles = optional_bool(node, L"syncEmptyFiles", false);
  flags.warnIfUnreachable = optional_bool(node, L"warnIfUnreachable", true);
  flags.enabled = required_bool(node, L"enabled");
  return flags;
}

// The account named before the first colon, or an account with every field empty.
SshAccount get_account(const std::wstring& text) {
  return get_account_from_path(text).value_or(SshAccount{});
}

// An explicit "ssh" or other type keeps its meaning; without one, the text decides: a text
// naming a configured account before its colon is remote, every other text local.
void set_endpoint(SyncItem& item, bool is_source, const std::wstring& text,
                  const std::optional<std::wstring>& type) {
  if (!type) {
    is_source ? item.source(text) : item.target(text);
    return;
  }
  std::unique_ptr<SyncPath> endpoint;
  if (*type == L"ssh") {
    endpoint = std::make_unique<SshPath>(get_account(text), text);
  } else {
    endpoint = std::make_unique<FilesystemPath>(text);
  }
  is_source ? item.source(std::move(endpoint)) : item.target(std::move(endpoint));
}

// " (<section> #<number>: <name>)": which entry of a list a message is about.
std::wstring entry_named(const wchar_t* section, std::size_t number, const Config::Tree& entry) {
  const auto name = entry.get_optional<std::wstring>(L"name");
  return L" (" + std::wstring(section) + L" #" + std::to_wstring(number) +
         (name ? L": " + *name : std::wstring()) + L")";
}

std::optional<std::wstring> optional_type(const Tree& node, const wchar_t* key) {
  const auto child = node.get_child_optional(key);
  return child ? std::optional<std::wstring>(child->data()) : std::nullopt;
}

// Decrypts a stored password; the text stands as it is when it is not in encrypted form.
std::optional<std::string> plain_password(const std::string& stored) {
  if (!passwordcrypto::is_encrypted(stored)) return stored;
  return passwordcrypto::decrypt(stored, Config::password_key_file_path());
}

}  // namespace

std::optional<SshAccount> get_account_from_path(std::wstring_view path) {
  return get_account_from_path(path, Config::instance().ssh_accounts_snapshot());
}

Config& Config::instance() {
  static std::once_flag once;
  std::call_once(once, init_singleton);
  if (!singleton()) init_singleton();
  return *singleton();
}

void Config::init_singleton() { singleton().reset(new Config()); }

bool Config::exists() { return singleton() != nullptr; }

void Config::unload() {
  if (!singleton()) return;
  singleton()->reset();
  singleton().reset();
}

bool Config::sync_possible() {
  if (!singleton() || !singleton()->loaded_) return false;
  std::lock_guard lock(singleton()->items_mutex_);
  return !singleton()->items_.empty();
}

std::wstring Config::get_root_pathname() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return L"ternwell.json";
  const std::wstring path = string_to_wstring(std::string(home) + CONFIG_LOCATION);
  const std::wstring old_path = string_to_wstring(std::string(home) + OLD_CONFIG_NAME);
  if (old_path == path || !FilesystemUtil::file_exists(old_path) ||
      FilesystemUtil::file_exists(path)) {
    return path;
  }
  std::error_code ignored;
  fs::create_directories(util::to_path(path).parent_path(), ignored);
  if (util::rename_file(old_path, path)) {
    log_at(LogLevel::Info, translate("config_migrated_from"), old_path, path);
  } else {
    log_at(LogLevel::Error, translate("config_migration_failed"), old_path, path);
  }
  return path;
}

fs::path Config::password_key_file_path() {
  return util::to_path(get_root_pathname()).parent_path() / KEY_FILE_NAME;
}

void Config::pathname(const std::wstring& path) { pathname_ = path; }

bool Config::read(const std::wstring& path) {
  reset();
  loaded_ = false;
  disk_time_ = last_write_time_or_min(path);
  const bool ok = interpret_json(parse_json_file(path));
  if (ok) {
    modified_ = false;
    loaded_ = true;
  } else {
    reset();
    log_at(LogLevel::FatalError, translate_utf8("config_not_readable"));
  }
  return ok;
}

void Config::reset() {
  settings.reset();
  undecryptable_smtp_password_.clear();
  {
    std::lock_guard lock(items_mutex_);
    items_.clear();
  }
  std::lock_guard lock(accounts_mutex_);
  accounts_.clear();
  undecryptable_passwords_.clear();
}

bool Config::file_changed_on_disk() const { return last_write_time_or_min(pathname_) != disk_time_; }

Tree Config::parse_json_file(const std::wstring& path) {
  if (!FilesystemUtil::file_exists(path)) {
    log_at(LogLevel::FatalError, translate("config_file_not_exist") + L' ' + path);
    return {};
  }
  try {
    const std::wstring content = string_to_wstring(read_regular_file(util::to_path(path)));
    // The reader recurses once per level; deep nesting would overflow the thread's stack.
    if (!json::nesting_within(content)) {
      throw std::runtime_error(translate_utf8("config_nested_too_deeply"));
    }
    std::wistringstream text(content);
    Tree tree;
    boost::property_tree::json_parser::read_json(text, tree);
    return tree;
  } catch (const std::exception& e) {
    log_at(LogLevel::FatalError, translate("config_read_exception"), string_to_wstring(e.what()), path);
    return {};
  }
}

bool Config::interpret_json(const Tree& tree) {
  if (!has_named_member(tree)) {
    log_at(LogLevel::FatalError, translate_utf8("config_read_error"));
    return false;
  }
  read_settings(tree);
  read_logging_setup(tree);
  read_ssh_accounts(tree);
  const auto entries = tree.get_child_optional(L"Syncitems");
  if (!entries) return true;
  std::size_t number = 0;
  for (const auto& [key, entry] : *entries) {
    ++number;
    SyncItem item;
    if (interpret_sync_item(entry, item)) {
      add(item, true);
    } else {
      log_at(LogLevel::Error,
             translate("sync_item_entry_skipped") + entry_named(L"Syncitems", number, entry));
    }
  }
  return true;
}

bool Config::read_settings(const Tree& tree) {
  const auto node = tree.get_child_optional(L"Settings");
  if (!node) return true;
  try {
    Settings read;
    read.StartMinimzed = required_bool(*node, L"StartMinimzed");
    read.MinimizeInsteadOfClose = required_bool(*node, L"MinimizeInsteadOfClose");
    read.Autostart = required_bool(*node, L"Autostart");
    read.StartSyncAtStart = required_bool(*node, L"StartSyncAtStart");
    read.ShowErrors = optional_bool(*node, L"ShowErrors", true);
    read.ShowWarnings = optional_bool(*node, L"ShowWarnings", false);
    read.ShowInfos = optional_bool(*node, L"ShowInfos", false);
    read.DeleteMode = optional_text(*node, L"DeleteMode") == L"Permanent" ? DeleteMode::Permanent
                                                                           : DeleteMode::RecycleBin;
    read.RecycleBinPath = optional_text(*node, L"RecycleBinPath");
    read.BackupProofPath = optional_text(*node, L"BackupProofPath");
    read.Language = wstring_to_string(optional_text(*node, L"Language"));
    settings = read;
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, translate_utf8("config_settings_read_error"), std::string_view(e.what()));
    return false;
  }
}

bool Config::read_logging_setup(const Tree& tree) {
  const auto node = tree.get_child_optional(L"Logging");
  if (!node) return true;
  Logging& logging = Logging::instance();
  try {
    logging.set_log_level(Logging::get_from_string(required_text(*node, L"LogLevel")));
    logging.set_log_file_path_name(required_text(*node, L"LogFilePathName"));
    logging.set_retention_days(required_number(*node, L"RetentionDays"));
    logging.set_editor_path_name(required_text(*node, L"EditorPathName"));
    logging.email.notify_active(optional_bool(*node, L"NotifyEmailActive", false));
    logging.email.notify_address(optional_text(*node, L"NotifyEmail"));
    SmtpAccount account;
    account.server = optional_text(*node, L"SmtpServer");
    account.port = optional_number(*node, L"SmtpPort", 587);
    account.user = optional_text(*node, L"SmtpUser");
    account.password = read_smtp_password(*node);
    account.from = optional_text(*node, L"SmtpFrom");
    logging.email.smtp_account(account);
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, translate_utf8("config_read_logging_settings"), std::string_view(e.what()));
    return false;
  }
}

std::wstring Config::read_smtp_password(const Tree& logging) {
  const std::wstring stored = optional_text(logging, L"SmtpPassword");
  if (auto plain = plain_password(wstring_to_string(stored))) return string_to_wstring(*plain);
  log_at(LogLevel::Error, translate_utf8("smtp_password_not_decryptable"));
  undecryptable_smtp_password_ = stored;
  return {};
}

bool Config::read_ssh_accounts(const Tree& tree) {
  const auto entries = tree.get_child_optional(L"SshAccounts");
  if (!entries) return true;
  bool result = true;
  std::size_t number = 0;
  for (const auto& [key, entry] : *entries) {
    ++number;
    try {
      add(read_ssh_account(entry), true);
    } catch (const std::exception& e) {
      log_at(LogLevel::Error, translate("ssh_account_entry_skipped") +
                                  util::string_to_wstring(e.what()) +
                                  entry_named(L"SshAccounts", number, entry));
      result = false;
    }
  }
  return result;
}

SshAccount Config::read_ssh_account(const Tree& entry) {
  SshAccount account;
  account.set_name(wstring_to_string(required_text(entry, L"name")));
  account.set_host(wstring_to_string(required_text(entry, L"host")));
  account.set_user(wstring_to_string(required_text(entry, L"user")));
  const std::string stored = wstring_to_string(required_text(entry, L"password"));
  if (auto plain = plain_password(stored)) {
    account.set_password(*plain);
  } else {
    log_at(LogLevel::FatalError, translate_utf8("ssh_password_not_decryptable"), account.name());
    std::lock_guard lock(accounts_mutex_);
    undecryptable_passwords_[account.name()] = stored;
  }
  return account;
}

bool Config::interpret_sync_item(const Tree& entry, SyncItem& item) {
  try {
    if (const auto node = entry.get_child_optional(L"compareitems")) {
      item.compare_items = read_compare_items(*node);
    }
    if (const auto node = entry.get_child_optional(L"exclusions")) {
      item.exclusions = read_exclusions(*node);
    }
    if (const auto node = entry.get_child_optional(L"syncflags")) item.flags = read_sync_flags(*node);
    const std::wstring name = required_text(entry, L"name");
    const std::wstring type = required_text(entry, L"type");
    const std::wstring source = required_text(entry, L"source");
    const std::wstring target = required_text(entry, L"target");
    const std::wstring wildcard = required_text(entry, L"wildcard");
    set_endpoint(item, true, source, optional_type(entry, L"sourceType"));
    set_endpoint(item, false, target, optional_type(entry, L"targetType"));
    item.name = name;
    item.type = str_to_sync_item_type(type);
    item.wildcard = wildcard;
    item.sync_cycle = required_number(entry, L"SyncCycle");
    // A source that this program deletes after copying it is no deletion to pass on.
    if (item.flags.delAftercopy && item.flags.syncDeletions) {
      log_at(LogLevel::Info, translate("sync_item_move_keeps_targets") + item.name);
    }
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, translate_utf8("config_read_sync_settings"), std::string_view(e.what()));
    return false;
  }
}

std::vector<SyncItem> Config::syncitems() const {
  std::lock_guard lock(items_mutex_);
  return items_;
}

SyncItem Config::item(std::size_t index) const {
  std::lock_guard lock(items_mutex_);
  return items_.at(index);
}

std::optional<SyncItem> Config::find(const std::wstring& path_text, bool by_source) const {
  std::lock_guard lock(items_mutex_);
  for (const auto& item : items_) {
    const auto& endpoint = by_source ? item.source() : item.target();
    if ((endpoint ? endpoint->path() : std::wstring{}) == path_text) return item;
  }
  return std::nullopt;
}

std::optional<SyncItem> Config::find_by_name(const std::wstring& name) const {
  std::lock_guard lock(items_mutex_);
  for (const auto& item : items_) {
    if (item.name == name) return item;
  }
  return std::nullopt;
}

void Config::add(const SyncItem& item, bool loading) {
  std::lock_guard lock(items_mutex_);
  items_.push_back(item);
  if (!loading) modified_ = true;
}

void Config::set(std::size_t index, const SyncItem& item) {
  std::lock_guard lock(items_mutex_);
  items_.at(index) = item;
  modified_ = true;
}

void Config::remove(std::size_t index) {
  std::lock_guard lock(items_mutex_);
  if (index >= items_.size()) throw std::out_of_range("Config::remove");
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  modified_ = true;
}

bool Config::update_by_name(const std::wstring& name, const SyncItem& item) {
  std::lock_guard lock(items_mutex_);
  for (auto& existing : items_) {
    if (existing.name == name) {
      existing = item;
      modified_ = true;
      return true;
    }
  }
  return false;
}

bool Config::erase_by_name(const std::wstring& name) {
  std::lock_guard lock(items_mutex_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->name == name) {
      items_.erase(it);
      modified_ = true;
      return true;
    }
  }
  return false;
}

void Config::refresh_last_sync(const std::wstring& name) {
  std::lock_guard lock(items_mutex_);
  for (auto& item : items_) {
    if (item.name == name) return item.set_last_sync();
  }
}

void Config::record_last_run(const std::wstring& name, const LastRun& last_run) {
  std::lock_guard lock(items_mutex_);
  for (auto& item : items_) {
    if (item.name == name) {
      item.last_run = last_run;
      return;
    }
  }
}

void Config::refresh_last_sync(std::size_t index, const std::wstring& name) {
  std::lock_guard lock(items_mutex_);
  if (index < items_.size() && items_[index].name == name) items_[index].set_last_sync();
}

void Config::record_last_run(std::size_t index, const std::wstring& name, const LastRun& last_run) {
  std::lock_guard lock(items_mutex_);
  if (index < items_.size() && items_[index].name == name) items_[index].last_run = last_run;
}

void Config::add(const SshAccount& account, bool loading) {
  std::lock_guard lock(accounts_mutex_);
  accounts_.push_back(account);
  if (!loading) modified_ = true;
}

std::optional<SshAccount> Config::ssh_account_at(std::size_t index) const {
  std::lock_guard lock(accounts_mutex_);
  if (index >= accounts_.size()) return std::nullopt;
  return accounts_[index];
}

std::vector<SshAccount> Config::ssh_accounts_snapshot() const {
  std::lock_guard lock(accounts_mutex_);
  return accounts_;
}

bool Config::update_ssh_account(std::size_t index, const SshAccount& account) {
  std::lock_guard lock(accounts_mutex_);
  if (index >= accounts_.size()) return false;
  accounts_[index] = account;
  modified_ = true;
  return true;
}

bool Config::remove_ssh_account(std::size_t index) {
  std::lock_guard lock(accounts_mutex_);
  if (index >= accounts_.size()) return false;
  accounts_.erase(accounts_.begin() + static_cast<std::ptrdiff_t>(index));
  modified_ = true;
  return true;
}

std::optional<SshAccount> Config::find_ssh_account_by_name(const std::string& name) const {
  std::lock_guard lock(accounts_mutex_);
  for (const auto& account : accounts_) {
    if (account.name() == name) return account;
  }
  return std::nullopt;
}

bool Config::update_ssh_account_references(const std::string& old_name, const SshAccount& account) {
  std::lock_guard lock(items_mutex_);
  bool changed = false;
  for (auto& item : items_) changed = item.rename_ssh_account_reference(old_name, account) || changed;
  if (changed) modified_ = true;
  return changed;
}

bool Config::ssh_account_referenced_by_any_item(const std::string& name) const {
  std::lock_guard lock(items_mutex_);
  for (const auto& item : items_) {
    if (item.references_ssh_account(name)) return true;
  }
  return false;
}

}  // namespace TWL_Core
