#include "foundation/durable_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

using test::read_file;
using test::write_file;

class DurableFileTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  fs::path file = dir / "settings.json";
  fs::path temporary = dir / "settings.json.tmp";
};

TEST_F(DurableFileTest, ReplacesTheContentAndLeavesNoTemporaryFile) {
  write_file(file, "old");
  EXPECT_FALSE(util::replace_file_durably(file, "new"));
  EXPECT_EQ(read_file(file), "new");
  EXPECT_FALSE(fs::exists(temporary));
}

TEST_F(DurableFileTest, CreatesTheFileWithTheGivenMode) {
  const mode_t old_mask = ::umask(022);
  EXPECT_FALSE(util::replace_file_durably(file, "secret", 0600));
  ::umask(old_mask);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DurableFileTest, ALeftoverTemporaryFileFromACrashIsReplaced) {
  write_file(file, "old");
  write_file(temporary, "half a write from a crash, much longer than the new content");
  EXPECT_FALSE(util::replace_file_durably(file, "new"));
  EXPECT_EQ(read_file(file), "new");
}

TEST_F(DurableFileTest, ALinkAtTheTemporaryNameIsNeverFollowed) {
  write_file(file, "old");
  const fs::path elsewhere = dir / "elsewhere";
  write_file(elsewhere, "not yours");
  fs::create_symlink(elsewhere, temporary);
  EXPECT_TRUE(util::replace_file_durably(file, "new"));
  EXPECT_EQ(read_file(elsewhere), "not yours");
  EXPECT_EQ(read_file(file), "old");
}

TEST_F(DurableFileTest, AFailedRenameKeepsTheOldFileAndRemovesTheTemporaryFile) {
  fs::create_directories(file / "occupied");  // a non-empty folder cannot be renamed over
  EXPECT_TRUE(util::replace_file_durably(file, "new"));
  EXPECT_TRUE(fs::is_directory(file / "occupied"));
  EXPECT_FALSE(fs::exists(temporary));
}

}  // namespace
}  // namespace TWL_Core
