#include "sync/delete_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

class DeleteFileTest : public ::testing::Test {
 protected:
  DeleteFileTest() { RecycleBin::instance().bin_path(dir / "bin"); }

  test::LogCapture capture;
  test::TempDir dir;
  fs::path file = dir / "data" / "notes.txt";
};

TEST_F(DeleteFileTest, PermanentDeletionRemovesTheFileAndIsQuietAboutAMissingOne) {
  test::write_file(file, "x");
  EXPECT_TRUE(delete_file(util::from_path(file), DeleteMode::Permanent));
  EXPECT_FALSE(fs::exists(file));
  const auto lines_before = capture.lines().size();
  EXPECT_FALSE(delete_file(util::from_path(file), DeleteMode::Permanent));
  EXPECT_EQ(capture.lines().size(), lines_before);
  EXPECT_FALSE(fs::exists(dir / "bin"));
}

TEST_F(DeleteFileTest, RecycleBinKeepsTheOldFoldersAndStampsTheName) {
  test::write_file(file, "keep me");
  ASSERT_TRUE(delete_file(util::from_path(file), DeleteMode::RecycleBin));
  EXPECT_FALSE(fs::exists(file));
  const auto items = RecycleBin::instance().list_items();
  ASSERT_EQ(items.size(), 1u);
  const fs::path item = items.front();
  EXPECT_EQ(item.parent_path(), file.parent_path().relative_path());
  EXPECT_TRUE(std::regex_match(item.filename().string(),
                               std::regex(R"(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d-\d{3}_notes\.txt)")))
      << item;
  EXPECT_EQ(test::read_file(dir / "bin" / item), "keep me");
  EXPECT_EQ(capture.count_lines("Info\tfile_moved_to_recycle_bin"), 1u);

  EXPECT_FALSE(delete_file(util::from_path(file), DeleteMode::RecycleBin));
  EXPECT_EQ(capture.count_lines("Error\tfile_move_to_recycle_bin_failed"), 1u);
}

}  // namespace
}  // namespace TWL_Core
