#include "config/sync_item.hpp"

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "tests/support/catalogues.hpp"

namespace TWL_Core {
namespace {

const SshAccount BACKUP{"backup", "nas.local", "anna", "secret"};

class SyncItemTest : public ::testing::Test {
 protected:
  SyncItemTest() { Config::instance().add(BACKUP, true); }
};

TEST_F(SyncItemTest, DefaultItemIsDueAtOnce) {
  const SyncItem item;
  EXPECT_EQ(item.type, SyncItemType::Unknown);
  EXPECT_FALSE(item.source());
  EXPECT_FALSE(item.target());
  EXPECT_EQ(item.flags, SyncFlags(false, false, false, false, true));
  EXPECT_TRUE(item.flags.warnIfUnreachable);
  EXPECT_EQ(item.compare_items.criteria, std::set<CompareItem>{CompareItem::Content});
  EXPECT_EQ(item.compare_items.time_tolerance_seconds, 2);
  EXPECT_EQ(item.sync_cycle, 60);
  EXPECT_LE(item.last_sync + std::chrono::seconds(item.sync_cycle), std::chrono::steady_clock::now());
}

TEST_F(SyncItemTest, EndpointTextNamesAnAccountOnlyBeforeItsFirstColon) {
  struct Case {
    const wchar_t* text;
    bool remote;
    const wchar_t* remote_path;
  };
  const Case cases[] = {{L"backup:/srv/data", true, L"/srv/data"},
                        {L"other:/x", false, L""},
                        {L":x", false, L""},
                        {L"/Users/anna/backup:/x", false, L""},
                        {L"backup", false, L""},
                        {L"Backup:/x", false, L""}};
  SyncItem item;
  for (const auto& c : cases) {
    item.source(c.text);
    const SshPath* ssh = item.ssh_path(item.source());
    EXPECT_EQ(ssh != nullptr, c.remote) << util::wstring_to_string(c.text);
    EXPECT_EQ(item.source()->path(), c.text) << util::wstring_to_string(c.text);
    if (ssh != nullptr) {
      EXPECT_EQ(ssh->remote_path(), c.remote_path);
      EXPECT_EQ(ssh->account(), BACKUP);
    }
  }
}

TEST_F(SyncItemTest, SshPathTakesTextWithOrWithoutTheAccountPrefix) {
  EXPECT_EQ(SshPath(BACKUP, L"backup:/data").remote_path(), L"/data");
  EXPECT_EQ(SshPath(BACKUP, L"/data").remote_path(), L"/data");
  EXPECT_EQ(SshPath(BACKUP, L"/data").path(), L"backup:/data");
}

TEST_F(SyncItemTest, SshPathTypeTellsWhichSidesAreRemote) {
  SyncItem item;
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::None);
  item.source(L"backup:/a");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Source);
  item.target(L"backup:/b");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Both);
  item.source(L"/local");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Target);
}

TEST_F(SyncItemTest, RenamedAccountReplacesEveryReference) {
  SyncItem item(L"n", SyncItemType::Dir, L"backup:/a", L"backup:/b", L"*");
  const SshAccount renamed{"nas", "nas.local", "anna", "new"};
  EXPECT_TRUE(item.references_ssh_account("backup"));
  EXPECT_TRUE(item.rename_ssh_account_reference("backup", renamed));
  EXPECT_EQ(item.source()->path(), L"nas:/a");
  EXPECT_EQ(item.target()->path(), L"nas:/b");
  EXPECT_FALSE(item.references_ssh_account("backup"));

  SyncItem local(L"n", SyncItemType::Dir, L"/a", L"/b", L"*");
  EXPECT_FALSE(local.rename_ssh_account_reference("backup", renamed));
}

TEST_F(SyncItemTest, CopiesAreIndependent) {
  SyncItem first(L"n", SyncItemType::File, L"/a", L"backup:/b", L"*");
  SyncItem copy = first;
  copy.source(L"/changed");
  copy.rename_ssh_account_reference("backup", SshAccount{"x", "", "", ""});
  EXPECT_EQ(first.source()->path(), L"/a");
  EXPECT_EQ(first.target()->path(), L"backup:/b");
  SyncItem assigned;
  assigned = first;
  EXPECT_EQ(assigned.target()->path(), L"backup:/b");
  EXPECT_NE(assigned.target().get(), first.target().get());
}

TEST(CompareItemsTest, SetOnlyAddsKnownCriteria) {
  CompareItems items;
  items.size(true);
  items.content(false);
  EXPECT_EQ(items.criteria, std::set<CompareItem>{CompareItem::Size});
  items.set(L"size", false);
  items.set(L"Size", true);
  items.set(L"colour", true);
  EXPECT_EQ(items.criteria, std::set<CompareItem>{CompareItem::Size});
  items.set(L"time", true);
  EXPECT_TRUE(items.time());
}

TEST(SyncItemTypeTest, TextsMapToTypes) {
  test::use_english_catalogue(test::build_locale_dir());
  const std::pair<const wchar_t*, SyncItemType> cases[] = {
      {L"Verzeichnisbaum", SyncItemType::Tree}, {L"sync_item_type_tree", SyncItemType::Tree},
      {L"Folder tree", SyncItemType::Tree},     {L"Datei", SyncItemType::File},
      {L"Verzeichnis", SyncItemType::Dir},      {L"", SyncItemType::Unknown},
      {L"datei", SyncItemType::Unknown}};
  for (const auto& [text, type] : cases) {
    EXPECT_EQ(str_to_sync_item_type(text), type) << util::wstring_to_string(text);
  }
  EXPECT_EQ(sync_item_type_key(SyncItemType::Dir), L"Verzeichnis");
  EXPECT_EQ(sync_item_type_key(SyncItemType::Unknown), L"");
  EXPECT_EQ(sync_item_type_to_str(SyncItemType::File), L"File");
}

TEST(ExclusionTest, NamesMatchWholePatterns) {
  const Exclusions patterns{L"*.tmp", L"~*"};
  EXPECT_TRUE(is_excluded(L"a.tmp", patterns));
  EXPECT_TRUE(is_excluded(L"~x", patterns));
  EXPECT_FALSE(is_excluded(L"a.TMP", patterns));
  EXPECT_FALSE(is_excluded(L"a.tmp.txt", patterns));
  EXPECT_FALSE(is_excluded(L"anything", {}));
}

}  // namespace
}  // namespace TWL_Core
