#include "tests/support/scripted_remote.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "foundation/file_time.hpp"

namespace fs = std::filesystem;

namespace TWL_Core::test {
namespace {

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes `content` to `to` and gives it the mode (owner write added) and time of `from`.
CopyResult place(const fs::path& from, const fs::path& to) {
  std::error_code error;
  if (!fs::is_regular_file(from, error)) return CopyResult::Failed;
  {
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << read_all(from);
    if (!out) return CopyResult::Failed;
  }
  fs::permissions(to, fs::status(from).permissions() | fs::perms::owner_write, error);
  fs::last_write_time(to, fs::last_write_time(from), error);
  return error ? CopyResult::Failed : CopyResult::Copied;
}

}  // namespace

void ScriptedRemote::add_listed_names(const std::string& folder, std::vector<std::string> names) {
  listed_names_[folder] = std::move(names);
}

bool ScriptedRemote::connected() {
  ++operations_;
  if (operations_left_ && *operations_left_ == 0) lost_ = true;
  if (operations_left_ && *operations_left_ > 0) --*operations_left_;
  return !lost_;
}

RemoteAnswer ScriptedRemote::exists(const RemoteLocation& location) {
  if (!connected()) return RemoteAnswer::Unknown;
  std::error_code error;
  return fs::exists(location.path, error) ? RemoteAnswer::Yes : RemoteAnswer::No;
}

RemoteAnswer ScriptedRemote::is_directory(const RemoteLocation& location) {
  if (!connected()) return RemoteAnswer::Unknown;
  std::error_code error;
  return fs::is_directory(location.path, error) ? RemoteAnswer::Yes : RemoteAnswer::No;
}

bool ScriptedRemote::make_directory(const RemoteLocation& location) {
  return connected() && ::mkdir(location.path.c_str(), 0755) == 0;
}

bool ScriptedRemote::remove_file(const RemoteLocation& location) {
  return connected() && ::unlink(location.path.c_str()) == 0;
}

RemoteFileInfo ScriptedRemote::inspect(const RemoteLocation& location) {
  if (!connected()) throw SshUnreachable("connection lost");
  RemoteFileInfo info;
  struct stat status {};
  if (::stat(location.path.c_str(), &status) != 0) return info;
  info.exists = true;
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.mtime = status.st_mtime;
  info.regular = S_ISREG(status.st_mode);
  return info;
}

bool ScriptedRemote::log_in(const SshAccount&) { return connected(); }

std::optional<std::vector<RemoteListingEntry>> ScriptedRemote::list_entries(
    const RemoteLocation& folder) {
  if (!connected() || failing_listings_.contains(folder.path)) return std::nullopt;
  std::vector<RemoteListingEntry> entries{{".", SSH_FILEXFER_TYPE_DIRECTORY, 0},
                                          {"..", SSH_FILEXFER_TYPE_DIRECTORY, 0}};
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder.path, error)) {
    const auto type = entry.symlink_status().type();
    const std::uint8_t sftp_type = type == fs::file_type::directory ? SSH_FILEXFER_TYPE_DIRECTORY
                                   : type == fs::file_type::regular ? SSH_FILEXFER_TYPE_REGULAR
                                   : type == fs::file_type::symlink ? SSH_FILEXFER_TYPE_SYMLINK
                                                                    : SSH_FILEXFER_TYPE_SPECIAL;
    entries.push_back({entry.path().filename().string(), sftp_type, 0});
  }
  if (error) return std::nullopt;
  for (const std::string& name : listed_names_[folder.path]) {
    entries.push_back({name, SSH_FILEXFER_TYPE_REGULAR, 1});
  }
  return entries;
}

DownloadedFile ScriptedRemote::download(const RemoteLocation& from, int output,
                                        const TransferControl& control) {
  if (!connected()) return {};
  if (control.stop_requested && control.stop_requested()) return {CopyResult::Cancelled, 0, 0};
  struct stat status {};
  if (::stat(from.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  const std::string content = read_all(from.path);
  if (::write(output, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    return {};
  }
  if (control.copied && !content.empty()) control.copied(content.size());
  return {CopyResult::Copied, static_cast<std::uint32_t>(status.st_mode & 07777), status.st_mtime};
}

CopyResult ScriptedRemote::upload(const fs::path& from, const RemoteLocation& to,
                                  const TransferControl& control) {
  if (!connected()) return CopyResult::Failed;
  if (control.stop_requested && control.stop_requested()) return CopyResult::Cancelled;
  return place(from, to.path);
}

CopyResult ScriptedRemote::copy(const RemoteLocation& from, const RemoteLocation& to,
                                const TransferControl& control) {
  if (!connected()) return CopyResult::Failed;
  if (control.stop_requested && control.stop_requested()) return CopyResult::Cancelled;
  return place(from.path, to.path);
}

void ScriptedRemote::clean_leftovers(const RemoteLocation&) { (void)connected(); }

bool ScriptedRemote::host_lost(const SshAccount&) const { return lost_; }

void ScriptedRemote::end_pass() {}

}  // namespace TWL_Core::test
