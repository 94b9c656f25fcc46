// Uploads through a real OpenSSH server: the remote path holds its old content or the whole
// new one, whatever happens meanwhile.

#include "remote/remote_upload.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>

#include "foundation/file_time.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "tests/support/ssh_server_test.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

TEST(SftpTimeTest, ClampsToWhatThe32BitFieldCarries) {
  EXPECT_EQ(sftp_time(-1), 0u);
  EXPECT_EQ(sftp_time(0), 0u);
  EXPECT_EQ(sftp_time(1709647387), 1709647387u);
  EXPECT_EQ(sftp_time(4294967295LL), 4294967295u);
  EXPECT_EQ(sftp_time(4294967296LL), 4294967295u);
  EXPECT_EQ(sftp_time(std::numeric_limits<std::int64_t>::min()), 0u);
}

class RemoteUploadTest : public test::SshServerTest {
 protected:
  void SetUp() override {
    SshServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    fs::create_directories(folder);
    server->give_to_user(folder);
    test::write_file(source, std::string(300 * 1024, 'n'));
    fs::permissions(source, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::last_write_time(source, fs::file_time_type::clock::now() - 48h);
    connection.connect(account);
  }

  CopyResult upload(const TransferControl& control = {}) {
    return upload_file(connection, source, target.string(), control);
  }

  bool leftovers() const {
    return std::any_of(fs::directory_iterator(folder), fs::directory_iterator(), [](const auto& e) {
      return util::is_temporary_copy_name(e.path().filename().string());
    });
  }

  test::TempDir local;
  const fs::path source = local / "report.pdf";
  fs::path folder = server_home() / "backup";
  fs::path target = folder / "report.pdf";
  SftpConnection connection;

 private:
  fs::path server_home() const { return "/home/" + std::string(test::SshTestServer::USER); }
};

TEST_F(RemoteUploadTest, ANewFileArrivesWithContentModeAndTime) {
  std::uint64_t reported = 0;
  ASSERT_EQ(upload({{}, [&](std::uint64_t bytes) { reported = bytes; }}), CopyResult::Copied);
  EXPECT_EQ(test::read_file(target), test::read_file(source));
  EXPECT_EQ(reported, 300u * 1024u);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read)
      << "the owner's write bit is added";
  EXPECT_EQ(util::to_time_t(fs::last_write_time(target)),
            util::to_time_t(fs::last_write_time(source)));
  EXPECT_FALSE(leftovers());
}

// OpenSSH refuses a plain SFTP rename over an existing file: the old file goes aside first.
TEST_F(RemoteUploadTest, AnExistingFileIsReplacedWithoutAMomentWithoutAFile) {
  test::write_file(target, "old");
  server->give_to_user(target);
  ASSERT_EQ(upload(), CopyResult::Copied);
  EXPECT_EQ(test::read_file(target), test::read_file(source));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
      << "neither the temporary nor the aside file stays";
}

TEST_F(RemoteUploadTest, AStopLeavesTheOldFileAndNoTemporaryFile) {
  test::write_file(target, "old");
  server->give_to_user(target);
  int blocks = 0;
  EXPECT_EQ(upload({[&] { return ++blocks > 2; }, {}}), CopyResult::Cancelled);
  EXPECT_EQ(test::read_file(target), "old");
  EXPECT_FALSE(leftovers());
}

// The server dies half-way: the real name keeps the old file. What was written so far stays
// under the temporary name only, for the next copy to remove.
TEST_F(RemoteUploadTest, AServerLostHalfWayLeavesTheOldFileUnderTheRealName) {
  test::write_file(target, "old");
  server->give_to_user(target);
  int blocks = 0;
  const auto kill_half_way = [&] {
    if (++blocks == 3) server->stop();
    return false;
  };
  EXPECT_EQ(upload({kill_half_way, {}}), CopyResult::Failed);
  EXPECT_EQ(test::read_file(target), "old");
}

TEST_F(RemoteUploadTest, AMissingRemoteFolderFailsCleanly) {
  target = folder / "missing" / "report.pdf";
  EXPECT_EQ(upload(), CopyResult::Failed);
  EXPECT_FALSE(fs::exists(target));
}

// What a crash between the renames, or during the transfer, leaves behind is cleared on the
// next pass: a held-aside file whose name is free is the only copy of the old content.
TEST_F(RemoteUploadTest, LeftoversOfInterruptedUploadsAreClearedWithoutLosingTheOldFile) {
  const std::string partial = util::temporary_copy_name("report.pdf");
  const std::string orphan = util::aside_name("notes.txt");     // its name is free
  const std::string replaced = util::aside_name("report.pdf");  // a new file has the name
  test::write_file(folder / partial, "half of the new");
  test::write_file(folder / orphan, "the only copy of notes");
  test::write_file(folder / replaced, "old report");
  test::write_file(target, "new report");
  test::write_file(folder / ".notes.txt.ternwell-aside-XYZ", "a user's own file");
  server->give_to_user(folder);
  clean_remote_leftovers(connection, folder.string());
  EXPECT_EQ(test::read_file(folder / "notes.txt"), "the only copy of notes");
  EXPECT_EQ(test::read_file(target), "new report");
  EXPECT_FALSE(fs::exists(folder / partial));
  EXPECT_FALSE(fs::exists(folder / orphan));
  EXPECT_FALSE(fs::exists(folder / replaced));
  EXPECT_TRUE(fs::exists(folder / ".notes.txt.ternwell-aside-XYZ"));
}

TEST(AsideNameTest, NamesItsFileOnlyWhenTheNameWasKeptWhole) {
  EXPECT_EQ(util::destination_of_aside(util::aside_name("notes.txt")), "notes.txt");
  EXPECT_EQ(util::destination_of_aside(util::aside_name("a.b.ternwell-aside-x")),
            "a.b.ternwell-aside-x");
  EXPECT_EQ(util::destination_of_aside(util::aside_name(std::string(240, 'n'))), std::nullopt);
  EXPECT_EQ(util::destination_of_aside(".notes.txt.ternwell-aside-0123"), std::nullopt);
  EXPECT_EQ(util::destination_of_aside(util::temporary_copy_name("notes.txt")), std::nullopt);
  EXPECT_FALSE(util::is_temporary_copy_name(util::aside_name("notes.txt")));
}

}  // namespace
}  // namespace TWL_Core
