// Remote listings: which names a server may send and which are refused, and a real folder
// listed through a real OpenSSH server.

#include "remote/remote_listing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/ssh_server_test.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using translation::translate_utf8;

struct NameCase {
  std::string name;
  RemoteNameProblem problem;
};

TEST(RemoteNameProblemTest, RefusesNamesThatLeaveTheFolderOrCannotBeNamedAgain) {
  const NameCase cases[] = {
      {"report.txt", RemoteNameProblem::None},
      {"\xC3\xBCmlaut \xE2\x82\xAC", RemoteNameProblem::None},
      {"-rf", RemoteNameProblem::None},
      {"", RemoteNameProblem::Unsafe},
      {".", RemoteNameProblem::Unsafe},
      {"..", RemoteNameProblem::Unsafe},
      {"a/b", RemoteNameProblem::Unsafe},
      {"../../etc/passwd", RemoteNameProblem::Unsafe},
      {"/etc", RemoteNameProblem::Unsafe},
      {std::string("a\0b", 3), RemoteNameProblem::Unsafe},
      {"latin1 caf\xE9", RemoteNameProblem::NotUtf8},
      {"a\\b.txt", RemoteNameProblem::Backslash},
  };
  for (const auto& c : cases) EXPECT_EQ(remote_name_problem(c.name), c.problem) << c.name;
}

class RemoteListingTest : public test::SshServerTest {
 protected:
  void SetUp() override {
    SshServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    connection.connect(account);
  }

  SftpConnection connection;
};

TEST_F(RemoteListingTest, ListsUsableEntriesWithTheirTypesAndSkipsTheOthers) {
  const fs::path folder = server->home() / "docs";
  test::write_file(folder / "a.txt", "123456");
  fs::create_directories(folder / "sub");
  fs::create_symlink("a.txt", folder / "link");
  test::write_file(folder / "back\\slash.txt", "x");
  test::write_file(folder / "latin1 caf\xE9", "x");
  server->give_to_user(folder);

  const auto entries = list_remote_dir(connection, folder.string());
  ASSERT_TRUE(entries.has_value());
  std::vector<std::wstring> names;
  for (const auto& entry : *entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a.txt", L"link", L"sub"}));
  for (const auto& entry : *entries) {
    EXPECT_EQ(entry.is_regular_file, entry.name == L"a.txt");
    EXPECT_EQ(entry.is_directory, entry.name == L"sub");
    EXPECT_EQ(entry.is_symlink, entry.name == L"link");
    EXPECT_EQ(entry.size == 6u, entry.name == L"a.txt") << "size of a.txt";
  }
  EXPECT_EQ(capture.count_lines("Warning\t" + translate_utf8("remote_name_backslash")), 1u);
  EXPECT_EQ(capture.count_lines("Warning\t" + translate_utf8("remote_name_not_utf8")), 1u);
}

TEST_F(RemoteListingTest, AnEmptyFolderIsEmptyAndAMissingOneIsAFailure) {
  fs::create_directories(server->home() / "empty");
  server->give_to_user(server->home() / "empty");
  const auto empty = list_remote_dir(connection, (server->home() / "empty").string());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(list_remote_dir(connection, (server->home() / "missing").string()), std::nullopt);
  EXPECT_EQ(capture.count_lines("Error\t" + translate_utf8("remote_dir_open_error")), 1u);
}

// The listing of a lost server is no empty folder: the target-only pass would take every file
// of the other side for one without a source.
TEST_F(RemoteListingTest, TheFolderOfALostServerIsAFailureNotAnEmptyFolder) {
  test::write_file(server->home() / "docs" / "a.txt", "x");
  server->give_to_user(server->home() / "docs");
  server->stop();
  EXPECT_EQ(list_remote_dir(connection, (server->home() / "docs").string()), std::nullopt);
}

}  // namespace
}  // namespace TWL_Core
