#include "tests/config/config_fixture.hpp"

#include <cstdlib>

#include "config/json_writer.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "tests/support/catalogues.hpp"

namespace TWL_Core::test {
namespace {

void put(Tree& node, const wchar_t* key, const std::wstring& value) {
  node.push_back({key, Tree(value)});
}

Tree object(std::initializer_list<std::pair<const wchar_t*, std::wstring>> members) {
  Tree node;
  for (const auto& [key, value] : members) put(node, key, value);
  return node;
}

}  // namespace

Tree full_config_tree(const std::filesystem::path& home, const std::filesystem::path& log_file) {
  const std::wstring base = util::from_path(home);
  Tree tree;
  tree.push_back({L"Settings", object({{L"StartMinimzed", L"true"},
                                       {L"MinimizeInsteadOfClose", L"true"},
                                       {L"Autostart", L"false"},
                                       {L"StartSyncAtStart", L"true"},
                                       {L"ShowErrors", L"false"},
                                       {L"ShowWarnings", L"true"},
                                       {L"ShowInfos", L"true"},
                                       {L"DeleteMode", L"Permanent"},
                                       {L"BackupProofPath", base + L"/proof"},
                                       {L"Language", L"de"},
                                       {L"RecycleBinPath", base + L"/bin"}})});
  tree.push_back({L"Logging", object({{L"LogLevel", L"Warning"},
                                      {L"LogFilePathName", util::from_path(log_file)},
                                      {L"RetentionDays", L"14"},
                                      {L"EditorPathName", L"/usr/bin/vi"},
                                      {L"NotifyEmailActive", L"true"},
                                      {L"NotifyEmail", L"anna@example.org"},
                                      {L"SmtpServer", L"smtp.example.org"},
                                      {L"SmtpPort", L"465"},
                                      {L"SmtpUser", L"anna"},
                                      {L"SmtpPassword", L"smtp-secret"},
                                      {L"SmtpFrom", L"ternwell@example.org"}})});
  Tree accounts;
  accounts.push_back({L"", object({{L"name", L"srv"},
                                   {L"host", L"server.example.org"},
                                   {L"user", L"anna"},
                                   {L"password", L"pässwört"}})});
  tree.push_back({L"SshAccounts", accounts});

  Tree first = object({{L"name", L"first"},
                       {L"type", L"Verzeichnisbaum"},
                       {L"source", base + L"/source"},
                       {L"target", base + L"/target"},
                       {L"wildcard", L"*"},
                       {L"sourceType", L"filesystem"},
                       {L"targetType", L"filesystem"},
                       {L"SyncCycle", L"90"}});
  first.push_back({L"compareitems", object({{L"size", L"true"},
                                            {L"time", L"true"},
                                            {L"content", L"false"},
                                            {L"timeToleranceSeconds", L"3"}})});
  Tree exclusions;
  exclusions.push_back({L"", Tree(L"*.tmp")});
  exclusions.push_back({L"", Tree(L"~*")});
  first.push_back({L"exclusions", exclusions});
  first.push_back({L"syncflags", object({{L"delAftercopy", L"false"},
                                         {L"twoWaySync", L"true"},
                                         {L"copyWhenTargetNewer", L"true"},
                                         {L"fatherSonPrinciple", L"true"},
                                         {L"syncDeletions", L"true"},
                                         {L"backupProof", L"true"},
                                         {L"syncEmptyFiles", L"true"},
                                         {L"warnIfUnreachable", L"false"},
                                         {L"enabled", L"true"}})});
  Tree second = object({{L"name", L"second"},
                        {L"type", L"Datei"},
                        {L"source", base + L"/source/a.txt"},
                        {L"target", L"srv:/home/anna/a.txt"},
                        {L"wildcard", L""},
                        {L"targetType", L"ssh"},
                        {L"SyncCycle", L"3600"}});
  Tree items;
  items.push_back({L"", first});
  items.push_back({L"", second});
  tree.push_back({L"Syncitems", items});
  return tree;
}

void write_config(const std::filesystem::path& path, const Tree& tree) {
  util::write_utf8_file(path, json::to_text(tree));
}

ConfigTest::ConfigTest() {
  const char* saved = std::getenv("HOME");
  saved_home_ = saved ? saved : "";
  ::setenv("HOME", home.path().c_str(), 1);
  config_file = home / "Library" / "Application Support" / "ternwell" / "ternwell.json";
  std::filesystem::create_directories(config_file.parent_path());
  config_path = util::from_path(config_file);
  use_english_catalogue(build_locale_dir());
  // Reading a configuration sets process-wide state; each test starts from the defaults.
  Config::unload();
  Logging& logging = Logging::instance();
  logging.set_log_level(LogLevel::Info);
  logging.email.notify_active(false);
  logging.email.notify_address(L"");
  logging.email.smtp_account(SmtpAccount{});
  Config::instance().pathname(config_path);
}

ConfigTest::~ConfigTest() { ::setenv("HOME", saved_home_.c_str(), 1); }

bool ConfigTest::read() { return Config::instance().read(config_path); }

void ConfigTest::write_text(std::string_view json) { write_file(config_file, json); }

std::vector<std::string> ConfigTest::item_names() const {
  std::vector<std::string> names;
  for (const auto& item : Config::instance().syncitems()) names.push_back(util::wstring_to_string(item.name));
  return names;
}

}  // namespace TWL_Core::test
