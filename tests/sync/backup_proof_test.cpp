#include "sync/backup_proof.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "config/json_writer.hpp"
#include "config/sync_item.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "sync/sync_report.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using Tree = boost::property_tree::wptree;

constexpr const char* NOT_CREATABLE = "The folder for the backup proof cannot be created: ";
constexpr const char* NOT_READABLE = "The backup proof cannot be read, no record is added: ";
constexpr const char* NOT_WRITABLE = "The backup proof cannot be written: ";
const std::wstring CAPPED_MARKER = L"Further errors were not recorded";

Tree parse(const fs::path& file) {
  std::wistringstream text(util::read_utf8_file(file));
  Tree tree;
  boost::property_tree::json_parser::read_json(text, tree);
  return tree;
}

std::vector<std::wstring> keys(const Tree& node) {
  std::vector<std::wstring> result;
  for (const auto& [key, child] : node) result.push_back(key);
  return result;
}

std::vector<std::wstring> values(const Tree& node) {
  std::vector<std::wstring> result;
  for (const auto& [key, child] : node) result.push_back(child.data());
  return result;
}

std::string utf8(const std::wstring& text) { return util::wstring_to_string(text); }

std::string repeated(const std::string& piece, std::size_t times) {
  std::string result;
  for (std::size_t i = 0; i < times; ++i) result += piece;
  return result;
}

class BackupProofTest : public ::testing::Test {
 protected:
  BackupProofTest() { test::use_english_catalogue(test::build_locale_dir()); }

  static SyncItem item(std::wstring name) {
    SyncItem result;
    result.name = std::move(name);
    result.source(std::make_unique<FilesystemPath>(L"/data/Dokumente"));
    result.target(std::make_unique<SshPath>(SshAccount("nas", "nas.local", "me", "pw"),
                                            L"nas:/backup/Dokumente"));
    return result;
  }

  std::size_t count_lines(const std::string& fragment) const {
    std::size_t n = 0;
    for (const auto& line : capture.lines()) n += line.find(fragment) != std::string::npos;
    return n;
  }

  test::LogCapture capture;
  test::TempDir temp;
  const fs::path dir = temp / "proof";
  SyncReport report;
};

// Local time in the record format.
std::string local_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
}

TEST_F(BackupProofTest, ANewFileHoldsOneRecordInTheDocumentedLayout) {
  // An offset no test machine runs in, so that a record in UTC would show.
  ::setenv("TZ", "TWL-5:45", 1);
  ::tzset();
  const fs::path nested = dir / "a" / "b";
  report.add_volume(1234);
  const std::string before = local_now();
  ASSERT_TRUE(write_copy_log(nested, item(L"Dokumente"), 3, report));
  const std::string after = local_now();
  ::unsetenv("TZ");
  ::tzset();

  const fs::path file = nested / "Dokumente.json";
  std::string text = test::read_file(file);
  std::smatch time;
  ASSERT_TRUE(std::regex_search(text, time,
                                std::regex(R"re("Time": "(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")re")))
      << text;
  EXPECT_LE(before, time[1].str());
  EXPECT_GE(after, time[1].str());
  text.replace(static_cast<std::size_t>(time.position(1)), static_cast<std::size_t>(time.length(1)),
               "<time>");
  EXPECT_EQ(text,
            "{\n"
            "    \"Backup proof\": [\n"
            "        {\n"
            "            \"Time\": \"<time>\",\n"
            "            \"Name\": \"Dokumente\",\n"
            "            \"Source\": \"/data/Dokumente\",\n"
            "            \"Target\": \"nas:/backup/Dokumente\",\n"
            "            \"Files\": \"3\",\n"
            "            \"Volume (bytes)\": \"1234\",\n"
            "            \"Status\": \"successful\"\n"
            "        }\n"
            "    ]\n"
            "}\n");
  EXPECT_FALSE(fs::exists(nested / "Dokumente.json.tmp"));
  EXPECT_EQ(count_lines(" Error\t"), 0u);
}

TEST_F(BackupProofTest, EachRunAppendsARecordAndAFailedRunListsItsCappedErrors) {
  ASSERT_TRUE(write_copy_log(dir, item(L"docs"), 1, report));
  const Tree first_record = parse(dir / "docs.json").get_child(L"Backup proof").front().second;

  SyncReport failed;
  failed.add_volume(5000000000);
  std::vector<std::wstring> expected_errors;
  for (int i = 0; i < 150; ++i) {
    failed.error(L"error " + std::to_wstring(i));
    if (i < 100) expected_errors.push_back(L"error " + std::to_wstring(i));
  }
  expected_errors.push_back(CAPPED_MARKER);
  SyncItem without_endpoints;
  without_endpoints.name = L"docs";
  ASSERT_TRUE(write_copy_log(dir, without_endpoints, 0, failed));

  const Tree tree = parse(dir / "docs.json");
  ASSERT_EQ(keys(tree), std::vector<std::wstring>{L"Backup proof"});
  const Tree& records = tree.get_child(L"Backup proof");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.front().second, first_record) << "the first record is kept as it was";
  const Tree& second = records.back().second;
  EXPECT_EQ(keys(second),
            (std::vector<std::wstring>{L"Time", L"Name", L"Source", L"Target", L"Files",
                                       L"Volume (bytes)", L"Status", L"Errors"}));
  EXPECT_EQ(second.get<std::wstring>(L"Source"), L"");
  EXPECT_EQ(second.get<std::wstring>(L"Target"), L"");
  EXPECT_EQ(second.get<std::wstring>(L"Files"), L"0");
  EXPECT_EQ(second.get<std::wstring>(L"Volume (bytes)"), L"5000000000");
  EXPECT_EQ(second.get<std::wstring>(L"Status"), L"failed");
  EXPECT_EQ(values(second.get_child(L"Errors")), expected_errors);
}

TEST_F(BackupProofTest, RecordsGoToTheLastMemberWhateverItsKey) {
  const struct {
    const char* content;
    std::vector<std::wstring> expected_keys;
  } cases[] = {
      {"{}", {L"Backup proof"}},
      {"{\"Sicherungsnachweis\": [{\"Zeitpunkt\": \"2020-01-01 00:00:00\", \"Name\": \"x\"}]}",
       {L"Sicherungsnachweis"}},
      {"{\"Notes\": {\"owner\": \"me\"}, \"Older\": [{\"x\": \"1\"}], \"Backup proof\": []}",
       {L"Notes", L"Older", L"Backup proof"}},
      {"{\"Backup proof\": [], \"Extra\": {\"k\": \"v\"}}", {L"Backup proof", L"Extra"}},
      {"{\"x\": \"]}: [\\\"\", \"y\": [\"\\\"[\", {\"z\": \"{\"}]}", {L"x", L"y"}},
  };
  int index = 0;
  for (const auto& c : cases) {
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = case_dir / "docs.json";
    test::write_file(file, c.content);
    const Tree original = parse(file);
    ASSERT_TRUE(write_copy_log(case_dir, item(L"docs"), 1, report)) << c.content;
    const Tree written = parse(file);
    ASSERT_EQ(keys(written), c.expected_keys) << c.content;
    // Every member before the last is unchanged; the last one gained exactly one record.
    auto old_member = original.begin();
    for (auto member = written.begin(); old_member != original.end(); ++member, ++old_member) {
      if (std::next(member) != written.end()) {
        EXPECT_EQ(member->second, old_member->second) << c.content;
        continue;
      }
      const Tree& grown = member->second;
      ASSERT_EQ(grown.size(), old_member->second.size() + 1) << c.content;
      EXPECT_TRUE(std::equal(old_member->second.begin(), old_member->second.end(), grown.begin()))
          << c.content;
    }
    const Tree& added = written.back().second.back().second;
    EXPECT_EQ(written.back().second.back().first, L"") << c.content;
    EXPECT_EQ(added.get<std::wstring>(L"Name"), L"docs") << c.content;
  }
}

TEST_F(BackupProofTest, AFileThatIsNoRecordListStaysByteForByte) {
  const char* const cases[] = {
      "{\"Backup proof\": [",
      "not json at all",
      "",
      "[{\"Time\": \"2020-01-01 00:00:00\"}]",
      "[]",
      "\"a string\"",
      "42",
      "{\"Backup proof\": \"a string\"}",
      "{\"Backup proof\": [{\"Name\": \"x\"}], \"note\": \"\"}",
      "{\"Backup proof\": [], \"n\": 5}",
      "{\"Backup proof\": [], \"ok\": true}",
      "{\"Backup proof\": [], \"v\": null}",
      "{\"a\\\": [\": \"x\", \"b\": \"]}\"}",
  };
  int index = 0;
  for (const char* content : cases) {
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = case_dir / "docs.json";
    test::write_file(file, content);
    EXPECT_FALSE(write_copy_log(case_dir, item(L"docs"), 1, report)) << content;
    EXPECT_EQ(test::read_file(file), content);
    EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_READABLE + file.string()), 1u) << content;
    EXPECT_FALSE(fs::exists(case_dir / "docs.json.tmp")) << content;
  }
}

TEST_F(BackupProofTest, AFolderOrPipeInPlaceOfTheFileIsNotReadAndStays) {
  const fs::path folder_dir = dir / "folder";
  fs::create_directories(folder_dir / "docs.json" / "inside");
  const fs::path pipe_dir = dir / "pipe";
  fs::create_directories(pipe_dir);
  ASSERT_EQ(::mkfifo((pipe_dir / "docs.json").c_str(), 0600), 0);

  for (const fs::path& case_dir : {folder_dir, pipe_dir}) {
    EXPECT_FALSE(write_copy_log(case_dir, item(L"docs"), 1, report)) << case_dir;
    EXPECT_EQ(
        count_lines(std::string(" Error\t") + NOT_READABLE + (case_dir / "docs.json").string()), 1u)
        << case_dir;
  }
  EXPECT_TRUE(fs::is_directory(folder_dir / "docs.json" / "inside"));
  EXPECT_TRUE(fs::is_fifo(pipe_dir / "docs.json"));
}

TEST_F(BackupProofTest, AFolderThatCannotBeCreatedIsReported) {
  const fs::path regular = temp / "regular";
  test::write_file(regular, "keep");
  for (const fs::path& target_dir : {regular, regular / "below"}) {
    EXPECT_FALSE(write_copy_log(target_dir, item(L"docs"), 1, report)) << target_dir;
    EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_CREATABLE + target_dir.string()), 1u)
        << target_dir;
  }
  EXPECT_EQ(test::read_file(regular), "keep");
}

TEST_F(BackupProofTest, AnUnwritableTemporaryFileLeavesTheRecordsAsTheyWere) {
  ASSERT_TRUE(write_copy_log(dir, item(L"docs"), 1, report));
  const std::string before = test::read_file(dir / "docs.json");
  fs::create_directories(dir / "docs.json.tmp" / "someone else's");

  EXPECT_FALSE(write_copy_log(dir, item(L"docs"), 2, report));
  EXPECT_EQ(test::read_file(dir / "docs.json"), before);
  EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_WRITABLE + (dir / "docs.json").string()), 1u);
  EXPECT_TRUE(fs::is_directory(dir / "docs.json.tmp" / "someone else's"));
}

TEST_F(BackupProofTest, AReadOnlyFolderLeavesTheRecordsAsTheyWere) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  ASSERT_TRUE(write_copy_log(dir, item(L"docs"), 1, report));
  const std::string before = test::read_file(dir / "docs.json");
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);

  EXPECT_FALSE(write_copy_log(dir, item(L"docs"), 2, report));
  fs::permissions(dir, fs::perms::owner_all);
  EXPECT_EQ(test::read_file(dir / "docs.json"), before);
  EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_WRITABLE + (dir / "docs.json").string()), 1u);
  EXPECT_FALSE(fs::exists(dir / "docs.json.tmp"));
}

TEST_F(BackupProofTest, ItemNamesBecomeOneUsableFileName) {
  const std::string a245(245, 'a');
  const struct {
    std::wstring name;
    std::string expected;  // UTF-8 file name
  } cases[] = {
      {L"Notes/2024: Q1. . ", "Notes_2024_ Q1.json"},
      {L"<>:\"/\\|?*\x01\x1f\t\n", "_____________.json"},
      {std::wstring(L"a\0b", 3), "a_b.json"},
      {L". . ..", "Sicherungsnachweis.json"},
      {L"", "Sicherungsnachweis.json"},
      {L"..hidden", "..hidden.json"},
      {L"Grüße, Ärger & 日本語", "Grüße, Ärger & 日本語.json"},
      // Cut so that the temporary name (name + ".json.tmp") has at most 255 bytes.
      {std::wstring(300, L'a'), std::string(246, 'a') + ".json"},
      {std::wstring(300, L'ä'), repeated("ä", 123) + ".json"},
      {L"a" + std::wstring(300, L'ä'), "a" + repeated("ä", 122) + ".json"},
      {std::wstring(100, L'\U0001F600'), repeated("\U0001F600", 61) + ".json"},
      {util::string_to_wstring(a245) + L" .x" + std::wstring(50, L'b'), a245 + ".json"},
      {std::wstring(300, L'.'), "Sicherungsnachweis.json"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string shown = utf8(c.name).substr(0, 40);
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = copy_log_file_path(case_dir, c.name);
    EXPECT_EQ(file, case_dir / c.expected) << shown;
    EXPECT_LE(file.filename().string().size() + 4, MAX_FILE_NAME_BYTES) << shown;

    ASSERT_TRUE(write_copy_log(case_dir, item(c.name), 1, report)) << shown;
    ASSERT_TRUE(fs::is_regular_file(case_dir / c.expected)) << shown;
    const Tree written = parse(case_dir / c.expected);
    EXPECT_EQ(written.back().second.back().second.get<std::wstring>(L"Name"), c.name) << shown;
  }
}

// The text the JSON writer makes of the records in `file`: what writing the whole file gives.
std::string as_written_whole(const fs::path& file) {
  return util::wstring_to_string(json::to_text(parse(file)));
}

SyncReport failed_with(const std::vector<std::wstring>& errors) {
  SyncReport report;
  for (const auto& text : errors) report.error(text);
  return report;
}

TEST_F(BackupProofTest, AppendedRecordsReadByteForByteAsTheFileWrittenWhole) {
  const std::wstring awkward = L"quote \" \\ backslash /\t\n\x01 Grüße 日本語 \U0001F600";
  const struct {
    const char* start;  // the file before the first record; nullptr for none
    std::size_t last_member_size;
  } cases[] = {
      {nullptr, 4},
      {"{\"Notes\": {\"owner\": \"me\"}}", 5},
      {"{\"Older\": [\"kept\"], \"Sicherungsnachweis\": [{\"Zeitpunkt\": \"x\"}]}", 5},
      // Nearly the writer's layout: read whole once and written in it.
      {"{\n    \"L\": [\n        {\n            \"n\": 5\n        }\n    ]\n}\n", 5},
      {"{\n    \"L\": [\n        {\n            \"n\": \"\\u00e9\\/\"\n        }\n    ]\n}\n", 5},
      {"{\n    \"L\": [\n        {\n            \"\": \"x\"\n        }\n    ]\n}\n", 5},
      {"{\n    \"L\": [\n        \"\\u001f\"\n    ]\n}\n", 5},
      {"{\n\t\"L\": [\n\t\t\"x\"\n\t]\n}\n", 5},
      {"{\n    \"L\": [\n        \"x\"\n    ]\n}", 5},
      {"{\n    \"L\": [\n        \"x\"\n    ]\n}\n\n", 5},
  };
  const SyncReport runs[] = {SyncReport(), failed_with({L"first", awkward}), SyncReport(),
                             failed_with({L"again"})};
  int index = 0;
  for (const auto& c : cases) {
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = copy_log_file_path(case_dir, awkward);
    if (c.start) test::write_file(file, c.start);
    for (const auto& run : runs) {
      ASSERT_TRUE(write_copy_log(case_dir, item(awkward), 7, run)) << c.start;
      EXPECT_EQ(test::read_file(file), as_written_whole(file)) << c.start;
    }
    EXPECT_EQ(parse(file).back().second.size(), c.last_member_size) << c.start;
    EXPECT_EQ(parse(file).back().second.back().second.get<std::wstring>(L"Name"), awkward);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
  }
  EXPECT_EQ(count_lines(" Error\t"), 0u);
}

// About 500 bytes per record, in the writer's layout.
std::string record_file_of(std::size_t records) {
  std::string text = "{\n    \"Backup proof\": [\n";
  for (std::size_t i = 0; i < records; ++i) {
    text += i == 0 ? "" : ",\n";
    text += "        {\n            \"Time\": \"2024-03-05 14:03:07\",\n";
    text += "            \"Name\": \"record " + std::to_string(i) + "\",\n";
    text += "            \"Source\": \"/Users/anna/Documents/Projects/Archive/2024\",\n";
    text += "            \"Target\": \"nas:/volume1/backup/anna/Documents/Projects/Archive\",\n";
    text += "            \"Files\": \"1234\",\n            \"Volume (bytes)\": \"987654321\",\n";
    text += "            \"Status\": \"failed\",\n            \"Errors\": [\n";
    text += "                \"The file cannot be read: /Users/anna/Documents/Projects/x.txt\"\n";
    text += "            ]\n        }";
  }
  return text + "\n    ]\n}\n";
}

TEST_F(BackupProofTest, ARecordAppendedToAFiftyMegabyteFileKeepsEveryEarlierRecord) {
  const std::size_t records = 110000;
  const std::string big = record_file_of(records);
  ASSERT_GT(big.size(), 50u * 1000 * 1000);
  const fs::path file = dir / "docs.json";
  test::write_file(file, big);

  ASSERT_TRUE(write_copy_log(dir, item(L"docs"), 1, report));
  ASSERT_TRUE(write_copy_log(dir, item(L"docs"), 2, report));

  const std::string text = test::read_file(file);
  const std::size_t kept = big.size() - std::string_view("\n    ]\n}\n").size();
  EXPECT_EQ(text.compare(0, kept, big, 0, kept), 0) << "earlier records unchanged";
  // Another reader of JSON, fast where the property tree is slow under the sanitizers.
  const std::string check =
      "/usr/bin/python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))"
      "[\"Backup proof\"]; print(len(r), r[0][\"Name\"], r[-1][\"Files\"])' " +
      file.string() + " > " + (temp / "check.txt").string();
  ASSERT_EQ(std::system(check.c_str()), 0);
  EXPECT_EQ(test::read_file(temp / "check.txt"), std::to_string(records + 2) + " record 0 2\n");
}

TEST_F(BackupProofTest, AFileChangedOnDiskIsReadWholeAgain) {
  const std::string compact = "{\"Sicherungsnachweis\":[{\"Name\":\"by hand\"}]}";
  const std::string deep =
      "{\"Backup proof\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  const struct {
    const char* what;
    std::function<void(const fs::path&)> change;
    bool accepted;
    std::size_t records;  // in the last member afterwards, when accepted
  } cases[] = {
      {"replaced by other valid text",
       [&](const fs::path& file) {
         test::write_file(file.string() + ".new", compact);
         fs::rename(file.string() + ".new", file);
       },
       true, 2},
      {"edited in place, same size",
       [](const fs::path& file) {
         std::string text = test::read_file(file);
         text[text.find("\"Name\"")] = 'x';
         const auto time = fs::last_write_time(file);
         test::write_file(file, text);
         fs::last_write_time(file, time + std::chrono::seconds(1));
       },
       false, 0},
      {"cut short", [](const fs::path& file) { fs::resize_file(file, fs::file_size(file) - 3); },
       false, 0},
      {"nested deeply", [&](const fs::path& file) { test::write_file(file, deep); }, false, 0},
      {"removed", [](const fs::path& file) { fs::remove(file); }, true, 1},
  };
  int index = 0;
  for (const auto& c : cases) {
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = case_dir / "docs.json";
    ASSERT_TRUE(write_copy_log(case_dir, item(L"docs"), 1, report)) << c.what;
    c.change(file);
    const std::string changed = fs::exists(file) ? test::read_file(file) : "";

    EXPECT_EQ(write_copy_log(case_dir, item(L"docs"), 2, report), c.accepted) << c.what;
    if (c.accepted) {
      EXPECT_EQ(parse(file).back().second.size(), c.records) << c.what;
      EXPECT_EQ(test::read_file(file), as_written_whole(file)) << c.what;
      ASSERT_TRUE(write_copy_log(case_dir, item(L"docs"), 3, report)) << c.what;
      EXPECT_EQ(parse(file).back().second.size(), c.records + 1) << c.what;
    } else {
      EXPECT_EQ(test::read_file(file), changed) << c.what;
      EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_READABLE + file.string()), 1u) << c.what;
    }
  }
}

// Runs `body` on a thread with the stack that macOS gives its secondary threads.
void run_on_small_stack(std::function<void()> body) {
  pthread_attr_t attributes;
  ASSERT_EQ(::pthread_attr_init(&attributes), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    (*static_cast<std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attributes, run, &body), 0);
  ::pthread_attr_destroy(&attributes);
  ASSERT_EQ(::pthread_join(thread, nullptr), 0);
}

TEST_F(BackupProofTest, AFileNestedDeeperThanARecordIsRefusedAlsoOnASmallStack) {
  const struct {
    std::size_t depth;
    bool on_small_stack;
  } cases[] = {{100000, false}, {100000, true}, {10000, true}, {65, true}};
  int index = 0;
  for (const auto& c : cases) {
    const fs::path case_dir = dir / std::to_string(index++);
    const fs::path file = case_dir / "docs.json";
    const std::string content = "{\"Backup proof\": [" + std::string(c.depth - 2, '[') +
                                std::string(c.depth - 2, ']') + "]}";
    test::write_file(file, content);
    bool written = true;
    const auto append = [&] { written = write_copy_log(case_dir, item(L"docs"), 1, report); };
    if (c.on_small_stack) {
      run_on_small_stack(append);
    } else {
      append();
    }
    EXPECT_FALSE(written) << c.depth;
    EXPECT_EQ(test::read_file(file), content) << c.depth;
    EXPECT_EQ(count_lines(std::string(" Error\t") + NOT_READABLE + file.string()), 1u) << c.depth;
  }
  // The deepest a record list can be: root, list, record, error list.
  const fs::path file = dir / "deepest" / "docs.json";
  test::write_file(file, "{\"a\": [" + std::string(62, '[') + std::string(62, ']') + "]}");
  EXPECT_TRUE(write_copy_log(dir / "deepest", item(L"docs"), 1, report));
}

}  // namespace
}  // namespace TWL_Core
