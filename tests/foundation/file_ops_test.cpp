#include "foundation/file_ops.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <ios>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core::util {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string narrow(std::wstring_view text) { return wstring_to_string(text); }

std::string bytes_of_length(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// Each test works in a fresh folder; the logger writes into a file there that the test reads
// back as "<level>\t<text>" lines.
class FileOpsTest : public ::testing::Test {
 protected:
  FileOpsTest() { restart_log(); }

  std::wstring path(std::string_view name) const { return from_path(dir_ / name); }

  // Starts an empty log file, which also forgets earlier lines for repeat suppression.
  void restart_log() {
    log_file_ = dir_ / ("log-" + std::to_string(++log_count_) + ".log");
    Logging::instance().set_log_file_path_name(from_path(log_file_));
  }

  std::vector<std::string> logged() const {
    std::vector<std::string> lines;
    const std::string content = test::read_file(log_file_);
    std::size_t start = 0;
    while (start < content.size()) {
      const std::size_t end = content.find('\n', start);
      const std::string line = content.substr(start, end - start);
      const std::size_t tab = line.find('\t');
      const std::size_t level = line.rfind(' ', tab) + 1;
      lines.push_back(line.substr(level));
      start = end == std::string::npos ? content.size() : end + 1;
    }
    return lines;
  }

  test::TempDir dir_;

 private:
  fs::path log_file_;
  int log_count_ = 0;
};

struct EqualityCase {
  const char* a;
  const char* b;
  bool expected;
};

TEST_F(FileOpsTest, FilesEqualComparesEveryByteAndTheLength) {
  const std::string multi_block = bytes_of_length(3 * 4096 + 100);
  std::string last_byte_differs = multi_block;
  last_byte_differs.back() ^= 1;
  test::write_file(dir_ / "empty", "");
  test::write_file(dir_ / "empty2", "");
  test::write_file(dir_ / "small", "abc");
  test::write_file(dir_ / "small2", "abd");
  test::write_file(dir_ / "block", bytes_of_length(4096));
  test::write_file(dir_ / "block_and_more", bytes_of_length(4096) + "x");
  test::write_file(dir_ / "multi", multi_block);
  test::write_file(dir_ / "multi2", multi_block);
  test::write_file(dir_ / "multi_last_differs", last_byte_differs);
  const EqualityCase cases[] = {
      {"empty", "empty2", true},
      {"small", "small", true},
      {"multi", "multi2", true},
      {"small", "small2", false},
      {"empty", "small", false},
      {"small", "missing", false},
      {"missing", "small", false},
      {"missing", "missing", false},
      {"block", "block_and_more", false},
      {"block_and_more", "block", false},
      {"multi", "multi_last_differs", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(files_equal(path(c.a), path(c.b)), c.expected) << c.a << " vs " << c.b;
  }
}

TEST_F(FileOpsTest, RenameFileReplacesTheTargetAndLogsTheRename) {
  test::write_file(dir_ / "from", "new");
  test::write_file(dir_ / "to", "old");

  EXPECT_TRUE(rename_file(path("from"), path("to")));

  EXPECT_FALSE(fs::exists(dir_ / "from"));
  EXPECT_EQ(test::read_file(dir_ / "to"), "new");
  EXPECT_EQ(logged(), std::vector<std::string>{"Info\trename_file " + narrow(path("from")) + " " +
                                               narrow(path("to"))});
}

TEST_F(FileOpsTest, RenameFileFailureIsLoggedAndReturnsFalse) {
  test::write_file(dir_ / "source", "content");
  test::write_file(dir_ / "full_dir" / "inside", "");
  const std::pair<const char*, const char*> cases[] = {
      {"missing", "target"},
      {"source", "no_dir/target"},
      {"source", "full_dir"},
  };
  const std::string error_start =
      "Error\t" + narrow(translation::translate("file_rename_error")) + " ";
  for (const auto& [from, to] : cases) {
    restart_log();
    EXPECT_FALSE(rename_file(path(from), path(to))) << from << " -> " << to;
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 2u) << from << " -> " << to;
    EXPECT_EQ(lines[0], "Info\trename_file " + narrow(path(from)) + " " + narrow(path(to)));
    EXPECT_EQ(lines[1].rfind(error_start, 0), 0u) << lines[1];
    EXPECT_GT(lines[1].size(), error_start.size()) << lines[1];
  }
  EXPECT_EQ(test::read_file(dir_ / "source"), "content");
}

TEST_F(FileOpsTest, RemoveFileRemovesFilesAndEmptyFolders) {
  test::write_file(dir_ / "file", "x");
  fs::create_directory(dir_ / "empty_dir");

  EXPECT_TRUE(remove_file(path("file"), LogLevel::Error));
  EXPECT_TRUE(remove_file(path("empty_dir"), LogLevel::Error));

  EXPECT_FALSE(fs::exists(dir_ / "file"));
  EXPECT_FALSE(fs::exists(dir_ / "empty_dir"));
  EXPECT_TRUE(logged().empty());
}

TEST_F(FileOpsTest, RemoveFileOfAMissingPathReturnsFalseSilently) {
  EXPECT_FALSE(remove_file(path("missing"), LogLevel::Error));
  EXPECT_TRUE(logged().empty());
}

struct LevelCase {
  LogLevel level;
  const char* logged_level;
};

constexpr LevelCase LEVEL_CASES[] = {
    {LogLevel::Warning, "Warning"},
    {LogLevel::Error, "Error"},
    {LogLevel::None, nullptr},
};

TEST_F(FileOpsTest, RemoveFileErrorIsLoggedAtTheGivenLevel) {
  test::write_file(dir_ / "full_dir" / "inside", "");
  for (const auto& c : LEVEL_CASES) {
    restart_log();
    EXPECT_FALSE(remove_file(path("full_dir"), c.level));
    const auto lines = logged();
    if (c.logged_level == nullptr) {
      EXPECT_TRUE(lines.empty()) << "level None";
      continue;
    }
    ASSERT_EQ(lines.size(), 1u) << c.logged_level;
    EXPECT_EQ(lines[0].rfind(std::string(c.logged_level) + "\tError removing file: ", 0), 0u)
        << lines[0];
  }
  EXPECT_TRUE(fs::exists(dir_ / "full_dir" / "inside"));
}

TEST_F(FileOpsTest, SetLastWriteTimeKeepsNanoseconds) {
  test::write_file(dir_ / "file", "x");
  const FileTime time = to_file_time(1709647387) + 123'456'789ns;

  EXPECT_TRUE(set_last_write_time(path("file"), time, LogLevel::Error));

  EXPECT_TRUE(equal(fs::last_write_time(dir_ / "file"), time));
  EXPECT_TRUE(logged().empty());
}

TEST_F(FileOpsTest, SetLastWriteTimeErrorIsLoggedAtTheGivenLevel) {
  for (const auto& c : LEVEL_CASES) {
    restart_log();
    EXPECT_FALSE(set_last_write_time(path("missing"), to_file_time(0), c.level));
    const auto lines = logged();
    if (c.logged_level == nullptr) {
      EXPECT_TRUE(lines.empty()) << "level None";
      continue;
    }
    ASSERT_EQ(lines.size(), 1u) << c.logged_level;
    EXPECT_EQ(lines[0].rfind(std::string(c.logged_level) + "\tError setting last write time: ", 0),
              0u)
        << lines[0];
  }
}

TEST_F(FileOpsTest, Utf8FileRoundTripReplacesTheOldContent) {
  const std::wstring text = L"Gr\u00FC\u00DFe \U0001F600\nzweite Zeile";
  test::write_file(dir_ / "file.txt", "a much longer old content than the new one");

  write_utf8_file(dir_ / "file.txt", text);

  EXPECT_EQ(test::read_file(dir_ / "file.txt"),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xF0\x9F\x98\x80\nzweite Zeile");
  EXPECT_EQ(read_utf8_file(dir_ / "file.txt"), text);
}

TEST_F(FileOpsTest, Utf8FileEmptyTextGivesAnEmptyFile) {
  write_utf8_file(dir_ / "empty.txt", L"");

  EXPECT_TRUE(fs::exists(dir_ / "empty.txt"));
  EXPECT_EQ(read_utf8_file(dir_ / "empty.txt"), L"");
}

TEST_F(FileOpsTest, ReadUtf8FileReplacesInvalidBytes) {
  test::write_file(dir_ / "bad.txt",
                   "a\xFF"
                   "b\xC3");

  EXPECT_EQ(read_utf8_file(dir_ / "bad.txt"), L"a\uFFFDb\uFFFD");
}

TEST_F(FileOpsTest, ReadUtf8FileThrowsWhenTheFileCannotBeOpened) {
  const fs::path missing = dir_ / "missing.txt";
  try {
    read_utf8_file(missing);
    ADD_FAILURE() << "no exception";
  } catch (const std::ios_base::failure& e) {
    EXPECT_NE(std::string(e.what()).find("cannot open " + missing.string()), std::string::npos)
        << e.what();
  }
}

TEST_F(FileOpsTest, WriteUtf8FileThrowsWhenTheFileCannotBeWritten) {
  fs::create_directory(dir_ / "folder");
  for (const fs::path& target : {dir_ / "no_dir" / "file.txt", dir_ / "folder"}) {
    EXPECT_THROW(write_utf8_file(target, L"text"), std::ios_base::failure) << target;
  }
}

struct ErrorCase {
  fs::filesystem_error error;
  std::string paths;
  int value;
};

TEST_F(FileOpsTest, HandleLastErrorLogsMessagePathsAndCode) {
  const ErrorCase cases[] = {
      {fs::filesystem_error("cannot copy", "/src/a b.txt", "/dst/\"q\"\\.txt",
                            std::make_error_code(std::errc::permission_denied)),
       R"(path1(): "/src/a b.txt" path2(): "/dst/\"q\"\\.txt" )", EACCES},
      {fs::filesystem_error("no file", std::make_error_code(std::errc::no_such_file_or_directory)),
       R"(path1(): "" path2(): "" )", ENOENT},
  };
  for (const auto& c : cases) {
    restart_log();
    handle_last_error(c.error);
    const std::string expected = "Error\twhat():  " + std::string(c.error.what()) + " " + c.paths +
                                 "code().value():    " + std::to_string(c.value) + " " +
                                 "code().message():  " + c.error.code().message() + " " +
                                 "code().category(): generic ";
    EXPECT_EQ(logged(), std::vector<std::string>{expected}) << c.error.what();
  }
}

}  // namespace
}  // namespace TWL_Core::util
