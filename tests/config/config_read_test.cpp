#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "config/json_nesting.hpp"
#include "config/password_crypto.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "tests/config/config_fixture.hpp"
#include "tests/support/fake_clock.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::Tree;

class ConfigReadTest : public test::ConfigTest {
 protected:
  Config& config = Config::instance();

  // Reads the file and checks that reading left it exactly as it was.
  bool read_unchanged() {
    const std::string before = test::read_file(config_file);
    const bool ok = read();
    EXPECT_EQ(test::read_file(config_file), before) << "reading must never change the file";
    return ok;
  }

  Tree& entry(Tree& tree, const wchar_t* list, std::size_t index) {
    auto it = tree.get_child(list).begin();
    std::advance(it, static_cast<std::ptrdiff_t>(index));
    return it->second;
  }
};

TEST_F(ConfigReadTest, MissingFileFailsWithThreeFatalLines) {
  EXPECT_FALSE(read());
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" FatalError\tConfiguration file not found: " + config_file.string()),
            std::string::npos);
  EXPECT_NE(lines[1].find(" FatalError\tThe configuration file holds no JSON object"), std::string::npos);
  EXPECT_NE(lines[2].find(" FatalError\tThe configuration could not be read"), std::string::npos);
  EXPECT_FALSE(Config::sync_possible());
}

TEST_F(ConfigReadTest, UnusableContentFailsAndLeavesTheFileAlone) {
  struct Case {
    std::string content;
    const char* first_line;
  };
  const Case cases[] = {
      {"", "Configuration file cannot be read: <unspecified file>(1): "},
      {"{ \"Settings\": ", "Configuration file cannot be read: <unspecified file>"},
      {"{\"a\": 1} trailing", "Configuration file cannot be read: "},
      {"{}", "The configuration file holds no JSON object with entries."},
      {"[]", "The configuration file holds no JSON object with entries."},
      {"[{\"Syncitems\": []}, 2]", "The configuration file holds no JSON object with entries."},
      {"42", "The configuration file holds no JSON object with entries."},
      {std::string("{\"Settings\": {\"Language\": \"\0\"}}", 31), "Configuration file cannot be read: "},
  };
  for (const auto& c : cases) {
    write_text(c.content);
    Logging::instance().erase_file();
    EXPECT_FALSE(read_unchanged()) << c.content;
    const auto texts = capture.texts();
    ASSERT_FALSE(texts.empty()) << c.content;
    EXPECT_EQ(texts.front().rfind(c.first_line, 0), 0u) << c.content << " gave " << texts.front();
    EXPECT_NE(texts.back().find("could not be read"), std::string::npos) << c.content;
    EXPECT_FALSE(config.loaded());
  }
}

TEST_F(ConfigReadTest, ObjectWithOnlySettingsHasNoItems) {
  write_text(R"({"Settings": {"StartMinimzed": true, "MinimizeInsteadOfClose": false,
                 "Autostart": false, "StartSyncAtStart": "true"}})");
  EXPECT_TRUE(read_unchanged());
  EXPECT_TRUE(config.settings.StartMinimzed);
  EXPECT_TRUE(config.settings.StartSyncAtStart);
  EXPECT_TRUE(config.syncitems().empty());
  EXPECT_FALSE(Config::sync_possible());
}

TEST_F(ConfigReadTest, NonRegularFilesAreNotRead) {
  fs::create_directories(config_file);
  EXPECT_FALSE(read_unchanged());
  EXPECT_EQ(capture.count("Configuration file cannot be read: "), 1u);

  fs::remove(config_file);
  ASSERT_EQ(::mkfifo(config_file.c_str(), 0600), 0);
  Logging::instance().erase_file();
  EXPECT_FALSE(read()) << "a named pipe must not block the daemon";
  EXPECT_EQ(capture.count("Configuration file cannot be read: not a regular file: "), 1u);
}

TEST_F(ConfigReadTest, UnreadableFileFails) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  write_tree(full_tree());
  fs::permissions(config_file, fs::perms::none);
  EXPECT_FALSE(read());
  EXPECT_EQ(capture.count("Configuration file cannot be read: "), 1u);
}

TEST_F(ConfigReadTest, FullConfigurationAppliesEverySetting) {
  write_tree(full_tree());
  ASSERT_TRUE(read_unchanged());
  const Settings& s = config.settings;
  EXPECT_TRUE(s.StartMinimzed && s.MinimizeInsteadOfClose && !s.Autostart && s.StartSyncAtStart);
  EXPECT_TRUE(!s.ShowErrors && s.ShowWarnings && s.ShowInfos);
  EXPECT_EQ(s.DeleteMode, DeleteMode::Permanent);
  EXPECT_EQ(s.BackupProofPath, util::from_path(home / "proof"));
  EXPECT_EQ(s.Language, "de");
  EXPECT_EQ(s.recycle_bin_path(), home / "bin");

  Logging& logging = Logging::instance();
  EXPECT_EQ(logging.get_log_level(), LogLevel::Warning);
  EXPECT_EQ(logging.get_retention_days(), 14);
  EXPECT_EQ(logging.get_editor_path_name(), L"/usr/bin/vi");
  EXPECT_TRUE(logging.email.notify_active());
  EXPECT_EQ(logging.email.notify_address(), L"anna@example.org");
  const SmtpAccount smtp = logging.email.smtp_account();
  EXPECT_EQ(smtp.server, L"smtp.example.org");
  EXPECT_EQ(smtp.port, 465);
  EXPECT_EQ(smtp.user, L"anna");
  EXPECT_EQ(smtp.password, L"smtp-secret");
  EXPECT_EQ(smtp.from, L"ternwell@example.org");

  EXPECT_EQ(config.ssh_accounts_snapshot(),
            std::vector<SshAccount>{SshAccount("srv", "server.example.org", "anna", "pässwört")});
  ASSERT_EQ(item_names(), (std::vector<std::string>{"first", "second"}));
  const SyncItem first = config.item(0);
  EXPECT_EQ(first.type, SyncItemType::Tree);
  EXPECT_EQ(first.compare_items.criteria, (std::set<CompareItem>{CompareItem::Size, CompareItem::Time}));
  EXPECT_EQ(first.compare_items.time_tolerance_seconds, 3);
  EXPECT_EQ(first.exclusions, (Exclusions{L"*.tmp", L"~*"}));
  SyncFlags flags(false, true, true, true, true);
  flags.syncDeletions = flags.backupProof = flags.syncEmptyFiles = true;
  flags.warnIfUnreachable = false;
  EXPECT_EQ(first.flags, flags);
  EXPECT_EQ(first.sync_cycle, 90);
  const SyncItem second = config.item(1);
  EXPECT_EQ(second.type, SyncItemType::File);
  ASSERT_NE(second.ssh_path(second.target()), nullptr);
  EXPECT_EQ(second.ssh_path(second.target())->remote_path(), L"/home/anna/a.txt");
  EXPECT_EQ(second.compare_items, CompareItems{});
  EXPECT_EQ(second.flags, SyncFlags{});
  EXPECT_TRUE(Config::sync_possible());
  EXPECT_FALSE(config.modified());
}

TEST_F(ConfigReadTest, OptionalValuesTakeTheirDefaults) {
  Tree tree = full_tree();
  tree.get_child(L"Settings").put(L"DeleteMode", L"permanent");
  tree.get_child(L"Logging").put(L"LogLevel", L"None");
  Tree& first = entry(tree, L"Syncitems", 0);
  first.get_child(L"syncflags").erase(L"warnIfUnreachable");
  first.erase(L"compareitems");
  Tree only_size;
  only_size.put(L"size", L"true");
  first.add_child(L"compareitems", only_size);
  Tree exclusions;
  exclusions.push_back({L"", Tree(L"")});
  exclusions.push_back({L"", Tree(L"*.bak")});
  first.erase(L"exclusions");
  first.add_child(L"exclusions", exclusions);
  write_tree(tree);
  ASSERT_TRUE(read());
  EXPECT_EQ(config.settings.DeleteMode, DeleteMode::RecycleBin);
  EXPECT_EQ(Logging::instance().get_log_level(), LogLevel::Error);
  const SyncItem item = config.item(0);
  EXPECT_TRUE(item.flags.warnIfUnreachable);
  EXPECT_EQ(item.compare_items.criteria, std::set<CompareItem>{CompareItem::Size});
  EXPECT_EQ(item.compare_items.time_tolerance_seconds, 2);
  EXPECT_EQ(item.exclusions, Exclusions{L"*.bak"});
}

TEST_F(ConfigReadTest, NumbersAreWholeDecimalTextsInRange) {
  const std::pair<const wchar_t*, std::uint16_t> good[] = {{L"90", 90}, {L" 90", 90}, {L"0", 0}, {L"65535", 65535}};
  for (const auto& [text, value] : good) {
    Tree tree = full_tree();
    entry(tree, L"Syncitems", 0).put(L"SyncCycle", text);
    write_tree(tree);
    ASSERT_TRUE(read());
    EXPECT_EQ(config.item(0).sync_cycle, value) << util::wstring_to_string(text);
  }
}

// Every numeric key with every kind of bad value: the unit that holds it fails, the rest loads.
TEST_F(ConfigReadTest, BadNumbersFailTheirUnitOnly) {
  const std::wstring bad_values[] = {L"70000", L"-1", L"abc", L"1e3", L"", L"12 days", L"9999999999999"};
  struct Key {
    const wchar_t* section;
    const wchar_t* path;
    const char* message;
  };
  const Key keys[] = {{L"Syncitems", L"SyncCycle", "Error in a sync item: SyncCycle: "},
                      {L"Syncitems", L"compareitems.timeToleranceSeconds", "Error in a sync item: timeToleranceSeconds: "},
                      {L"Logging", L"RetentionDays", "Error in the log settings (Logging): RetentionDays: "},
                      {L"Logging", L"SmtpPort", "Error in the log settings (Logging): SmtpPort: "}};
  for (const auto& key : keys) {
    for (const auto& value : bad_values) {
      SCOPED_TRACE(util::wstring_to_string(std::wstring(key.path) + L" = " + value));
      Tree tree = full_tree();
      Tree& unit = std::wstring(key.section) == L"Syncitems" ? entry(tree, L"Syncitems", 0)
                                                              : tree.get_child(key.section);
      unit.put(key.path, value);
      write_tree(tree);
      Logging::instance().erase_file();
      Logging::instance().set_log_level(LogLevel::Info);
      ASSERT_TRUE(read_unchanged());
      EXPECT_EQ(capture.count(key.message), 1u);
      if (std::wstring(key.section) == L"Syncitems") {
        EXPECT_EQ(capture.count("The sync item is skipped."), 1u);
        EXPECT_EQ(item_names(), std::vector<std::string>{"second"});
      } else {
        EXPECT_EQ(item_names(), (std::vector<std::string>{"first", "second"}));
      }
    }
  }
}

TEST_F(ConfigReadTest, MissingRequiredKeysFailTheirUnit) {
  struct Case {
    const wchar_t* unit;
    const wchar_t* key;
    const char* message;
  };
  const Case cases[] = {
      {L"Settings", L"StartMinimzed", "Error in the settings (Settings): No such node (StartMinimzed)"},
      {L"Settings", L"MinimizeInsteadOfClose", "Error in the settings (Settings): No such node"},
      {L"Settings", L"Autostart", "Error in the settings (Settings): No such node"},
      {L"Settings", L"StartSyncAtStart", "Error in the settings (Settings): No such node"},
      {L"Logging", L"LogLevel", "Error in the log settings (Logging): No such node (LogLevel)"},
      {L"Logging", L"LogFilePathName", "Error in the log settings (Logging): No such node"},
      {L"Logging", L"RetentionDays", "Error in the log settings (Logging): No such node"},
      {L"Logging", L"EditorPathName", "Error in the log settings (Logging): No such node"},
      {L"SshAccounts", L"name", "SSH account skipped: No such node (name)"},
      {L"SshAccounts", L"host", "SSH account skipped: No such node"},
      {L"SshAccounts", L"user", "SSH account skipped: No such node"},
      {L"SshAccounts", L"password", "SSH account skipped: No such node"},
      {L"Syncitems", L"name", "Error in a sync item: No such node (name)"},
      {L"Syncitems", L"type", "Error in a sync item: No such node"},
      {L"Syncitems", L"source", "Error in a sync item: No such node"},
      {L"Syncitems", L"target", "Error in a sync item: No such node"},
      {L"Syncitems", L"wildcard", "Error in a sync item: No such node"},
      {L"Syncitems", L"SyncCycle", "Error in a sync item: No such node (SyncCycle)"},
      {L"Syncitems", L"syncflags.delAftercopy", "Error in a sync item: No such node"},
      {L"Syncitems", L"syncflags.twoWaySync", "Error in a sync item: No such node"},
      {L"Syncitems", L"syncflags.copyWhenTargetNewer", "Error in a sync item: No such node"},
      {L"Syncitems", L"syncflags.fatherSonPrinciple", "Error in a sync item: No such node"},
      {L"Syncitems", L"syncflags.enabled", "Error in a sync item: No such node (enabled)"},
  };
  for (const auto& c : cases) {
    const std::wstring path = c.key;
    SCOPED_TRACE(util::wstring_to_string(std::wstring(c.unit) + L": " + path));
    Tree tree = full_tree();
    const bool listed = std::wstring(c.unit) == L"SshAccounts" || std::wstring(c.unit) == L"Syncitems";
    Tree& unit = listed ? entry(tree, c.unit, 0) : tree.get_child(c.unit);
    const auto dot = path.rfind(L'.');
    Tree& parent = dot == std::wstring::npos ? unit : unit.get_child(path.substr(0, dot));
    ASSERT_EQ(parent.erase(dot == std::wstring::npos ? path : path.substr(dot + 1)), 1u);
    write_tree(tree);
    Logging::instance().erase_file();
    Logging::instance().set_log_level(LogLevel::Info);
    ASSERT_TRUE(read_unchanged());
    EXPECT_EQ(capture.count(c.message), 1u);
    if (std::wstring(c.unit) == L"Settings") {
      EXPECT_EQ(config.settings, Settings{});
    }
    if (std::wstring(c.unit) == L"SshAccounts") {
      EXPECT_TRUE(config.ssh_accounts_snapshot().empty());
      const SyncItem second = config.item(1);
      ASSERT_NE(second.ssh_path(second.target()), nullptr) << "typed ssh, so still remote";
      EXPECT_EQ(second.ssh_path(second.target())->account(), SshAccount{});
    }
    if (std::wstring(c.unit) == L"Syncitems") {
      EXPECT_EQ(item_names(), std::vector<std::string>{"second"});
    }
  }
}

TEST_F(ConfigReadTest, LoggingValuesBeforeAnErrorStayApplied) {
  Tree tree = full_tree();
  tree.get_child(L"Logging").put(L"EditorPathName", L"/usr/bin/nano");
  tree.get_child(L"Logging").put(L"SmtpPort", L"99999");
  write_tree(tree);
  ASSERT_TRUE(read());
  EXPECT_EQ(Logging::instance().get_editor_path_name(), L"/usr/bin/nano");
  EXPECT_TRUE(Logging::instance().email.smtp_account().server.empty()) << "mail server not handed over";
}

TEST_F(ConfigReadTest, InvalidUtf8InStringsBecomesReplacementCharacters) {
  write_text("{\"Settings\": {\"StartMinimzed\": true, \"MinimizeInsteadOfClose\": false, "
             "\"Autostart\": false, \"StartSyncAtStart\": false, \"BackupProofPath\": \"/a\xff\xc3(b\"}}");
  ASSERT_TRUE(read_unchanged());
  EXPECT_EQ(config.settings.BackupProofPath, L"/a\uFFFD\uFFFD(b");
}

TEST_F(ConfigReadTest, EndpointTypeComesFromTheKeyOrElseFromTheText) {
  struct Case {
    const wchar_t* text;
    const wchar_t* type;  // nullptr: no type key
    bool remote;
    const char* account;
    const wchar_t* remote_path;
  };
  const Case cases[] = {{L"srv:/home/u/a.txt", nullptr, true, "srv", L"/home/u/a.txt"},
                        {L"other:/x", nullptr, false, "", L""},
                        {L"/local/srv:x", nullptr, false, "", L""},
                        {L"srv:/x", L"filesystem", false, "", L""},
                        {L"srv:/x", L"ssh", true, "srv", L"/x"},
                        {L"nosuch:/x", L"ssh", true, "", L"nosuch:/x"},
                        {L"srv:/x", L"SSH", false, "", L""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(util::wstring_to_string(c.text) + " / " + (c.type ? util::wstring_to_string(c.type) : "no type"));
    Tree tree = full_tree();
    Tree& item = entry(tree, L"Syncitems", 0);
    item.put(L"source", c.text);
    item.erase(L"sourceType");
    if (c.type) item.put(L"sourceType", c.type);
    write_tree(tree);
    ASSERT_TRUE(read());
    const SyncItem read_item = config.item(0);
    const SshPath* ssh = read_item.ssh_path(read_item.source());
    ASSERT_EQ(ssh != nullptr, c.remote);
    if (ssh) {
      EXPECT_EQ(ssh->account().name(), c.account);
      EXPECT_EQ(ssh->remote_path(), c.remote_path);
    } else {
      EXPECT_EQ(read_item.source()->path(), c.text);
    }
  }
}

TEST_F(ConfigReadTest, UndecryptablePasswordsAreReportedAndKeptEmpty) {
  const auto key = Config::password_key_file_path();
  const std::string good = passwordcrypto::encrypt("geheim", key);
  test::TempDir other;
  const std::string foreign = passwordcrypto::encrypt("geheim", other / "secret.key");
  std::string altered = good;
  altered[20] = altered[20] == 'A' ? 'B' : 'A';
  const std::string cases[] = {altered, good.substr(0, 30), foreign, "$AES256GCM$", "$AES256GCM$!!!!"};
  for (const auto& stored : cases) {
    SCOPED_TRACE(stored);
    Tree tree = full_tree();
    entry(tree, L"SshAccounts", 0).put(L"password", util::string_to_wstring(stored));
    tree.get_child(L"Logging").put(L"SmtpPassword", util::string_to_wstring(stored));
    write_tree(tree);
    Logging::instance().erase_file();
    ASSERT_TRUE(read_unchanged());
    EXPECT_EQ(capture.count("The password of this SSH account cannot be decrypted (does the key file "
                            "secret.key match?): srv"),
              1u);
    EXPECT_EQ(capture.count("The SMTP password cannot be decrypted"), 1u);
    ASSERT_EQ(config.ssh_accounts_snapshot().size(), 1u);
    EXPECT_EQ(config.ssh_accounts_snapshot()[0].password(), "");
    EXPECT_EQ(Logging::instance().email.smtp_account().password, L"");
  }

  Tree tree = full_tree();
  entry(tree, L"SshAccounts", 0).put(L"password", util::string_to_wstring(good));
  write_tree(tree);
  ASSERT_TRUE(read());
  EXPECT_EQ(config.ssh_accounts_snapshot()[0].password(), "geheim");
}

// A key file that exists but gives no key stays as it is: replacing it would make every
// stored password undecryptable for good. Until it can be read again nothing is written.
TEST_F(ConfigReadTest, UnreadableKeyFileIsKeptAndNothingIsWrittenUntilItIsReadable) {
  test::FakeClock clock;
  Logging::instance().set_monotonic_clock(clock.reader());
  const auto key = Config::password_key_file_path();
  test::TempDir other;  // the key of this process for `key` must come from the file
  const std::string stored = passwordcrypto::encrypt("geheim", other / "secret.key");
  const std::string good_key = test::read_file(other / "secret.key");
  Tree tree = full_tree();
  entry(tree, L"SshAccounts", 0).put(L"password", util::string_to_wstring(stored));
  write_tree(tree);
  const std::string damaged_key = good_key.substr(0, 10);
  test::write_file(key, damaged_key);
  const std::string not_readable =
      "FatalError\t" + translation::translate_utf8("crypto_key_not_readable") + " " + key.string();

  for (int reload = 0; reload < 2; ++reload) {
    ASSERT_TRUE(read_unchanged());
    EXPECT_EQ(config.ssh_accounts_snapshot().at(0).password(), "");
    EXPECT_EQ(Logging::instance().email.smtp_account().password, L"smtp-secret");
    const std::string file_before = test::read_file(config_file);
    EXPECT_FALSE(config.write(config_path)) << "the SMTP password cannot be encrypted";
    EXPECT_EQ(test::read_file(config_file), file_before);
    EXPECT_EQ(test::read_file(key), damaged_key) << "the key file must stay byte for byte";
    clock.advance(std::chrono::minutes(31));
  }
  EXPECT_EQ(capture.count_lines(not_readable), 1u) << "reported once per process";
  EXPECT_EQ(capture.count("The password of this SSH account cannot be decrypted"), 2u);

  test::write_file(key, good_key);
  ASSERT_TRUE(read());
  EXPECT_EQ(config.ssh_accounts_snapshot().at(0).password(), "geheim");
  EXPECT_TRUE(config.write(config_path));
}

// The property-tree reader recurses once per level; deep nesting is refused before it runs,
// also on a thread with the 512 KiB stack of a macOS secondary thread.
TEST_F(ConfigReadTest, DeeplyNestedJsonIsRefusedBeforeItIsParsed) {
  const auto nested = [](std::size_t levels) {
    // The top-level object is the first level.
    return R"({"Settings": {"StartMinimzed": true, "MinimizeInsteadOfClose": false,
               "Autostart": false, "StartSyncAtStart": true}, "deep": )" +
           std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  const std::string refused = "Configuration file cannot be read: " +
                              translation::translate_utf8("config_nested_too_deeply") + " " +
                              config_file.string();
  const std::pair<std::size_t, bool> cases[] = {
      {json::MAX_NESTING, true}, {json::MAX_NESTING + 1, false}, {100'000, false}};
  for (const auto& [levels, accepted] : cases) {
    SCOPED_TRACE(levels);
    write_text(nested(levels));
    Logging::instance().erase_file();
    EXPECT_EQ(read_unchanged(), accepted);
    EXPECT_EQ(capture.count(refused), accepted ? 0u : 1u);
  }

  struct Run {
    std::wstring path;
    bool ok = true;
  } run{config_path};
  pthread_attr_t attributes;
  ASSERT_EQ(::pthread_attr_init(&attributes), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
  pthread_t thread;
  Logging::instance().erase_file();
  ASSERT_EQ(::pthread_create(
                &thread, &attributes,
                [](void* arg) -> void* {
                  auto* r = static_cast<Run*>(arg);
                  r->ok = Config::instance().read(r->path);
                  return nullptr;
                },
                &run),
            0);
  ASSERT_EQ(::pthread_join(thread, nullptr), 0);
  ::pthread_attr_destroy(&attributes);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(capture.count(refused), 1u);
}

TEST_F(ConfigReadTest, RootPathnameFollowsHome) {
  ::unsetenv("HOME");
  EXPECT_EQ(Config::get_root_pathname(), L"ternwell.json");
  ::setenv("HOME", home.path().c_str(), 1);
  EXPECT_EQ(Config::get_root_pathname(), config_path);
}

TEST_F(ConfigReadTest, OldConfigurationIsMovedOnce) {
  fs::remove_all(config_file.parent_path());
  test::write_file(home / "ternwell.json", "{\"old\": 1}");
  EXPECT_EQ(Config::get_root_pathname(), config_path);
  EXPECT_EQ(test::read_file(config_file), "{\"old\": 1}");
  EXPECT_FALSE(fs::exists(home / "ternwell.json"));
  EXPECT_EQ(capture.count("Configuration file moved to its new place (old, new): " +
                          (home / "ternwell.json").string() + " " + config_file.string()),
            1u);

  test::write_file(home / "ternwell.json", "{\"older\": 1}");
  EXPECT_EQ(Config::get_root_pathname(), config_path);
  EXPECT_EQ(test::read_file(config_file), "{\"old\": 1}") << "an existing configuration is never replaced";
  EXPECT_TRUE(fs::exists(home / "ternwell.json"));
}

TEST_F(ConfigReadTest, ChangedFileIsNoticed) {
  write_tree(full_tree());
  ASSERT_TRUE(read());
  EXPECT_FALSE(config.file_changed_on_disk());
  fs::last_write_time(config_file, fs::last_write_time(config_file) + std::chrono::seconds(1));
  EXPECT_TRUE(config.file_changed_on_disk());
  ASSERT_TRUE(read());
  fs::remove(config_file);
  EXPECT_TRUE(config.file_changed_on_disk());
  EXPECT_FALSE(read());
  EXPECT_FALSE(config.file_changed_on_disk()) << "a missing file is not a change every second";
}

TEST_F(ConfigReadTest, ItemAndAccountAccessorsWorkOnCopies) {
  write_tree(full_tree());
  ASSERT_TRUE(read());
  EXPECT_EQ(config.find(util::from_path(home / "target"), false)->name, L"first");
  EXPECT_EQ(config.find(L"srv:/home/anna/a.txt", false)->name, L"second");
  EXPECT_FALSE(config.find(L"", false).has_value());
  EXPECT_TRUE(config.ssh_account_referenced_by_any_item("srv"));

  SyncItem renamed = *config.find_by_name(L"first");
  renamed.name = L"renamed";
  EXPECT_TRUE(config.update_by_name(L"first", renamed));
  EXPECT_TRUE(config.modified());
  EXPECT_EQ(item_names(), (std::vector<std::string>{"renamed", "second"}));
  EXPECT_TRUE(config.erase_by_name(L"renamed"));
  EXPECT_FALSE(config.erase_by_name(L"renamed"));

  const SshAccount nas{"nas", "nas.local", "anna", "x"};
  EXPECT_TRUE(config.update_ssh_account_references("srv", nas));
  EXPECT_EQ(config.item(0).target()->path(), L"nas:/home/anna/a.txt");
  EXPECT_TRUE(config.update_ssh_account(0, nas));
  EXPECT_FALSE(config.update_ssh_account(5, nas));
  EXPECT_EQ(config.find_ssh_account_by_name("nas"), nas);
  EXPECT_TRUE(config.remove_ssh_account(0));
  EXPECT_FALSE(config.ssh_account_at(0).has_value());

  config.record_last_run(L"second", LastRun{true, 2, L"first error"});
  EXPECT_EQ(config.item(0).last_run->error_count, 2u);
  const auto before = config.item(0).last_sync;
  config.refresh_last_sync(L"second");
  EXPECT_GT(config.item(0).last_sync, before);
}

}  // namespace
}  // namespace TWL_Core
