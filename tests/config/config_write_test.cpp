#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include <boost/property_tree/json_parser.hpp>

#include "config/password_crypto.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "tests/config/config_fixture.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::Tree;

class ConfigWriteTest : public test::ConfigTest {
 protected:
  Config& config = Config::instance();

  Tree written_tree(const fs::path& file) {
    std::wistringstream text(util::read_utf8_file(file));
    Tree tree;
    boost::property_tree::json_parser::read_json(text, tree);
    return tree;
  }
};

struct Snapshot {
  Settings settings;
  fs::path bin;
  LogLevel level;
  std::wstring log_path, editor, notify_address;
  std::uint16_t retention;
  bool notify_active;
  SmtpAccount smtp;
  std::vector<SshAccount> accounts;
  std::vector<std::wstring> items;

  static Snapshot take() {
    Config& config = Config::instance();
    Logging& logging = Logging::instance();
    Snapshot s{config.settings, config.settings.recycle_bin_path(), logging.get_log_level(),
               logging.get_log_file_path_name(), logging.get_editor_path_name(),
               logging.email.notify_address(), logging.get_retention_days(),
               logging.email.notify_active(), logging.email.smtp_account(),
               config.ssh_accounts_snapshot(), {}};
    for (const auto& item : config.syncitems()) s.items.push_back(describe(item));
    s.settings.RecycleBinPath = util::from_path(s.bin);
    return s;
  }

  static std::wstring describe(const SyncItem& item) {
    std::wstring text = item.name + L"|" + sync_item_type_key(item.type) + L"|" +
                        (item.source() ? item.source()->path() : L"-") + L"|" +
                        (item.target() ? item.target()->path() : L"-") + L"|" + item.wildcard +
                        L"|" + std::to_wstring(item.sync_cycle) + L"|" +
                        std::to_wstring(static_cast<int>(item.ssh_path_type())) + L"|" +
                        std::to_wstring(item.compare_items.time_tolerance_seconds);
    for (auto c : item.compare_items.criteria) text += L"c" + std::to_wstring(static_cast<int>(c));
    for (const auto& e : item.exclusions) text += L"|x" + e;
    const SyncFlags& f = item.flags;
    for (bool flag : {f.delAftercopy, f.twoWaySync, f.copyWhenTargetNewer, f.fatherSonPrinciple,
                      f.syncDeletions, f.backupProof, f.syncEmptyFiles, f.warnIfUnreachable, f.enabled}) {
      text += flag ? L"1" : L"0";
    }
    return text;
  }

  bool operator==(const Snapshot&) const = default;
};

TEST_F(ConfigWriteTest, EverySettingSurvivesAWriteAndARead) {
  write_tree(full_tree());
  ASSERT_TRUE(read());
  const Snapshot before = Snapshot::take();
  ASSERT_TRUE(config.write(config_path));
  EXPECT_FALSE(config.file_changed_on_disk()) << "our own write is no change to reload for";

  const Tree tree = written_tree(config_file);
  const std::string ssh = util::wstring_to_string(tree.get_child(L"SshAccounts").front().second.get<std::wstring>(L"password"));
  const std::string smtp = util::wstring_to_string(tree.get<std::wstring>(L"Logging.SmtpPassword"));
  EXPECT_TRUE(passwordcrypto::is_encrypted(ssh));
  EXPECT_TRUE(passwordcrypto::is_encrypted(smtp));
  EXPECT_EQ(passwordcrypto::decrypt(ssh, Config::password_key_file_path()), "pässwört");
  EXPECT_EQ(passwordcrypto::decrypt(smtp, Config::password_key_file_path()), "smtp-secret");

  Config::unload();
  Logging::instance().set_log_level(LogLevel::Debug);
  ASSERT_TRUE(Config::instance().read(config_path));
  EXPECT_TRUE(Snapshot::take() == before);
}

TEST_F(ConfigWriteTest, LayoutOfAnEmptyConfiguration) {
  Logging::instance().set_log_file_path_name(L"/var/log/t.log");
  config.settings.RecycleBinPath = L"/bin/here";
  ASSERT_TRUE(config.write(config_path));
  const std::string text = test::read_file(config_file);
  EXPECT_EQ(text.rfind("{\n    \"Settings\": {\n        \"StartMinimzed\": \"false\",\n", 0), 0u) << text;
  for (const char* expected :
       {"        \"DeleteMode\": \"RecycleBin\",\n        \"RecycleBinPath\": \"/bin/here\",\n",
        "    \"Logging\": {\n        \"LogLevel\": \"Info\",\n        \"LogFilePathName\": \"/var/log/t.log\",\n",
        "        \"SmtpUser\": \"\",\n        \"SmtpFrom\": \"\",\n        \"SmtpPassword\": \"\"\n    },\n",
        "    \"SshAccounts\": \"\",\n    \"Syncitems\": \"\"\n}\n"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin\n" << text;
  }
  Config::unload();
  ASSERT_TRUE(Config::instance().read(config_path));
  EXPECT_TRUE(Config::instance().syncitems().empty());
  EXPECT_TRUE(Config::instance().ssh_accounts_snapshot().empty());
}

TEST_F(ConfigWriteTest, ItemsAndAccountsAreWrittenInOrderWithRepeatedKeys) {
  config.add(SshAccount{"a", "h1", "u1", ""}, false);
  config.add(SshAccount{"backup", "h2", "u2", "p"}, false);
  CompareItems size_and_time;
  size_and_time.criteria = {CompareItem::Size, CompareItem::Time};
  config.add(SyncItem(L"one", SyncItemType::Dir, L"backup:/srv", L"/local", L"*.txt", {}, SyncFlags{},
                      size_and_time),
             false);
  SyncItem no_target(L"two", SyncItemType::File, L"/a", L"/b", L"");
  no_target.target(std::unique_ptr<SyncPath>{});
  config.add(no_target, false);
  ASSERT_TRUE(config.write(config_path));
  EXPECT_FALSE(config.modified());

  const Tree tree = written_tree(config_file);
  const Tree& accounts = tree.get_child(L"SshAccounts");
  ASSERT_EQ(accounts.size(), 2u);
  for (const auto& [key, account] : accounts) EXPECT_EQ(key, L"SshAccount");
  const std::string empty_password = util::wstring_to_string(accounts.front().second.get<std::wstring>(L"password"));
  EXPECT_TRUE(passwordcrypto::is_encrypted(empty_password)) << "an empty SSH password is stored encrypted too";
  EXPECT_EQ(passwordcrypto::decrypt(empty_password, Config::password_key_file_path()), "");

  const Tree& items = tree.get_child(L"Syncitems");
  ASSERT_EQ(items.size(), 2u);
  const Tree& one = items.front().second;
  EXPECT_EQ(items.front().first, L"Syncitem");
  EXPECT_EQ(one.get<std::wstring>(L"source"), L"backup:/srv");
  EXPECT_EQ(one.get<std::wstring>(L"sourceType"), L"ssh");
  EXPECT_EQ(one.get<std::wstring>(L"targetType"), L"filesystem");
  EXPECT_EQ(one.get<std::wstring>(L"compareitems.size"), L"true");
  EXPECT_EQ(one.get<std::wstring>(L"compareitems.time"), L"true");
  EXPECT_EQ(one.get<std::wstring>(L"compareitems.content"), L"false");
  EXPECT_EQ(one.get<std::wstring>(L"compareitems.timeToleranceSeconds"), L"2");
  EXPECT_EQ(one.get<std::wstring>(L"exclusions"), L"");
  const Tree& two = items.back().second;
  EXPECT_FALSE(two.get_child_optional(L"target"));
  EXPECT_FALSE(two.get_child_optional(L"targetType"));

  Config::unload();
  ASSERT_TRUE(Config::instance().read(config_path));
  ASSERT_EQ(Config::instance().syncitems().size(), 1u) << "an item without target is skipped";
  const SyncItem read_back = Config::instance().item(0);
  EXPECT_EQ(read_back.ssh_path(read_back.source())->account().name(), "backup");
}

TEST_F(ConfigWriteTest, UndecryptablePasswordsAreWrittenBackAsTheyWere) {
  test::TempDir other;
  const std::string foreign_ssh = passwordcrypto::encrypt("ssh", other / "secret.key");
  const std::string foreign_smtp = passwordcrypto::encrypt("smtp", other / "secret.key");
  Tree tree = full_tree();
  tree.get_child(L"SshAccounts").front().second.put(L"password", util::string_to_wstring(foreign_ssh));
  tree.get_child(L"Logging").put(L"SmtpPassword", util::string_to_wstring(foreign_smtp));
  write_tree(tree);
  ASSERT_TRUE(read());
  ASSERT_TRUE(config.write(config_path));

  const Tree written = written_tree(config_file);
  EXPECT_EQ(util::wstring_to_string(written.get_child(L"SshAccounts").front().second.get<std::wstring>(L"password")),
            foreign_ssh);
  EXPECT_EQ(util::wstring_to_string(written.get<std::wstring>(L"Logging.SmtpPassword")), foreign_smtp);

  SshAccount changed = *config.ssh_account_at(0);
  changed.set_password("new");
  config.update_ssh_account(0, changed);
  ASSERT_TRUE(config.write(config_path));
  const std::string now = util::wstring_to_string(
      written_tree(config_file).get_child(L"SshAccounts").front().second.get<std::wstring>(L"password"));
  EXPECT_EQ(passwordcrypto::decrypt(now, Config::password_key_file_path()), "new");
}

TEST_F(ConfigWriteTest, PasswordThatCannotBeEncryptedLeavesTheOldFile) {
  write_tree(full_tree());
  ASSERT_TRUE(read());
  const std::string before = test::read_file(config_file);
  // The key file cannot be created: its folder is a regular file.
  const fs::path key_dir = Config::password_key_file_path().parent_path();
  fs::rename(config_file, home / "kept.json");
  fs::remove_all(key_dir);
  test::write_file(key_dir, "not a folder");
  EXPECT_FALSE(config.write(util::from_path(home / "kept.json")));
  EXPECT_EQ(test::read_file(home / "kept.json"), before);
  EXPECT_FALSE(fs::exists(home / "kept.json.tmp"));
  EXPECT_EQ(capture.count("The configuration could not be saved: A password cannot be encrypted"), 1u);
}

}  // namespace
}  // namespace TWL_Core

namespace TWL_Core {
namespace {

TEST_F(ConfigWriteTest, ReplacementIsLoggedAndLeavesNoTemporaryFile) {
  Logging::instance().set_log_level(LogLevel::Info);
  config.add(SshAccount{"srv", "h", "u", "p"}, false);
  ASSERT_TRUE(config.write(config_path));
  EXPECT_EQ(capture.count("rename_file " + config_file.string() + ".tmp " + config_file.string()),
            1u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(config_file.string() + ".tmp")));
  EXPECT_EQ(written_tree(config_file).get_child(L"SshAccounts").size(), 1u);
}

TEST_F(ConfigWriteTest, FailedReplacementLeavesTheOldFileAndNoTemporary) {
  struct Case {
    const char* name;
    fs::path target;
    std::function<void(const fs::path&)> prepare;
  };
  const fs::path elsewhere = home / "elsewhere.json";
  const Case cases[] = {
      {"temporary name is a folder", config_file,
       [](const fs::path& target) { fs::create_directories(target.string() + ".tmp"); }},
      {"temporary name is a link", config_file,
       [&](const fs::path& target) { fs::create_symlink(elsewhere, target.string() + ".tmp"); }},
      {"target is a folder", home / "folder.json",
       [](const fs::path& target) { test::write_file(target / "inside", "kept"); }},
  };
  write_tree(full_tree());
  ASSERT_TRUE(read());
  const std::string before = test::read_file(config_file);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(c.target);
    Logging::instance().erase_file();
    EXPECT_FALSE(config.write(util::from_path(c.target)));
    EXPECT_EQ(test::read_file(config_file), before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.target.string() + ".tmp")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere))) << "a link is never followed";
    EXPECT_EQ(capture.count_lines("FatalError\tThe configuration could not be saved: "), 1u);
  }
  EXPECT_EQ(test::read_file(home / "folder.json" / "inside"), "kept");
}

}  // namespace
}  // namespace TWL_Core
