#include "sync/filesystem_util.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "foundation/text.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core::FilesystemUtil {
namespace {

namespace fs = std::filesystem;

// Restores HOME as it was when the scope ends.
class SavedHome {
 public:
  SavedHome() {
    if (const char* home = std::getenv("HOME")) home_ = home;
  }
  ~SavedHome() {
    if (home_) {
      ::setenv("HOME", home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  SavedHome(const SavedHome&) = delete;
  SavedHome& operator=(const SavedHome&) = delete;

 private:
  std::optional<std::string> home_;
};

TEST(FilesystemUtilTest, FileExistsFollowsLinksAndCountsErrorsAsMissing) {
  test::TempDir dir;
  test::write_file(dir / "plain", "x");
  test::write_file(dir / "gr\xc3\xbcn.txt", "x");
  fs::create_directory(dir / "folder");
  fs::create_symlink("plain", dir / "link");
  fs::create_symlink("missing", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");

  struct Case {
    const wchar_t* name;
    bool expected;
  };
  const Case cases[] = {
      {L"plain", true},    {L"gr\u00fcn.txt", true}, {L"folder", true}, {L"link", true},
      {L"missing", false}, {L"dangling", false},     {L"loop", false},  {L"plain/below", false},
  };
  const std::wstring base = util::string_to_wstring(dir.path().string()) + L"/";
  for (const auto& c : cases) {
    EXPECT_EQ(file_exists(base + c.name), c.expected) << util::wstring_to_string(c.name);
  }
  EXPECT_FALSE(file_exists(L""));
}

TEST(FilesystemUtilTest, HomeDirIsHomeWheneverItIsSet) {
  const SavedHome saved;
  for (const char* home : {"/home/anna", "", "/Users/J\xc3\xbcrgen Maier"}) {
    ::setenv("HOME", home, 1);
    EXPECT_EQ(home_dir(), home) << "HOME=" << home;
  }
}

TEST(FilesystemUtilTest, HomeDirWithoutHomeIsTheAccountsHomeDirectory) {
  const SavedHome saved;
  ::unsetenv("HOME");
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr) << "this user has no account entry";
  EXPECT_EQ(home_dir(), account->pw_dir);
}

}  // namespace
}  // namespace TWL_Core::FilesystemUtil
