#include "remote/remote_upload.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <vector>

#include "foundation/platform.hpp"
#include "foundation/regular_file.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using translation::translate;

constexpr std::size_t BLOCK = 65536;

std::string parent_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string inside(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string beside(const std::string& path, const std::string& name) {
  const std::string parent = parent_of(path);
  return parent.empty() ? name : (parent == "/" ? "/" + name : parent + "/" + name);
}

class Upload {
 public:
  Upload(SftpConnection& connection, const fs::path& from, const std::string& to,
         const TransferControl& control)
      : connection_(connection),
        from_(from),
        to_(to),
        temporary_(beside(to, util::temporary_copy_name(name_of(to)))),
        control_(control) {}
  ~Upload() {
    if (!committed_ && created_ && connection_.is_open()) {
      (void)sftp_unlink(connection_.sftp(), temporary_.c_str());
    }
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  CopyResult run() {
    std::error_code error;
    const FileDescriptor source = open_regular_file(from_, O_RDONLY, error);
    if (!source.is_open()) return failed("local_file_open_error", util::from_path(from_));
    struct stat status {};
    const auto at_open = platform::file_identity(source.get());
    if (!at_open || ::fstat(source.get(), &status) != 0) {
      return failed("local_file_open_error", util::from_path(from_));
    }
    SftpFile target = connection_.open(temporary_, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!target) return failed("remote_file_open_write_error", wide(temporary_));
    created_ = true;
    const CopyResult copied = copy_blocks(source.get(), target.get(), *at_open);
    if (copied != CopyResult::Copied) return copied;
    // The server's answer to the close is the last word on whether the data arrived.
    if (sftp_close(target.release()) != SSH_NO_ERROR)
      return failed("remote_file_write_error", wide(to_));
    if (platform::file_identity(source.get()) != at_open) {
      return failed("copy_source_changed", util::from_path(from_));
    }
    keep_permissions(status.st_mode);
    if (!keep_time(at_open->modified_seconds)) return failed("file_time_not_settable", wide(to_));
    return put_in_place();
  }

 private:
  CopyResult copy_blocks(int source, sftp_file target, const platform::FileIdentity& at_open) {
    std::vector<char> buffer(BLOCK);
    std::uint64_t total = 0;
    for (;;) {
      const ssize_t got = ::read(source, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return failed("local_file_read_error", util::from_path(from_));
      if (got == 0) break;
      if (control_.stop_requested && control_.stop_requested()) return CopyResult::Cancelled;
      for (ssize_t sent = 0; sent < got;) {
        const ssize_t written =
            sftp_write(target, buffer.data() + sent, static_cast<std::size_t>(got - sent));
        if (written <= 0) return failed("remote_file_write_error", wide(to_));
        sent += written;
      }
      total += static_cast<std::uint64_t>(got);
      if (control_.copied) control_.copied(total);
    }
    if (total != static_cast<std::uint64_t>(at_open.size)) {
      return failed("copy_source_changed", util::from_path(from_));
    }
    return CopyResult::Copied;
  }

  void keep_permissions(mode_t mode) {
    sftp_attributes_struct attributes{};
    attributes.flags = SSH_FILEXFER_ATTR_PERMISSIONS;
    attributes.permissions = (mode & 0777) | 0200;
    if (sftp_setstat(connection_.sftp(), temporary_.c_str(), &attributes) != 0) {
      log_at(LogLevel::Error, translate("file_attributes_change"), wide(to_),
             util::string_to_wstring(connection_.error()));
    }
  }

  // Sets the time and reads it back: only a time the server kept makes the pair equal later.
  bool keep_time(std::int64_t seconds) {
    const std::uint32_t time = sftp_time(seconds);
    sftp_attributes_struct attributes{};
    attributes.flags = SSH_FILEXFER_ATTR_ACMODTIME;
    attributes.atime = time;
    attributes.mtime = time;
    if (sftp_setstat(connection_.sftp(), temporary_.c_str(), &attributes) != 0) return false;
    const SftpAttributes kept = connection_.stat(temporary_);
    return kept && (kept->flags & SSH_FILEXFER_ATTR_ACMODTIME) != 0 && kept->mtime == time;
  }

  // The old file goes aside first, the new one takes its name, and only then is the old one
  // removed; if the new one cannot take the name, the old one is put back.
  CopyResult put_in_place() {
    if (sftp_rename(connection_.sftp(), temporary_.c_str(), to_.c_str()) == 0) return committed();
    const std::string aside = beside(to_, util::aside_name(name_of(to_)));
    if (sftp_rename(connection_.sftp(), to_.c_str(), aside.c_str()) != 0) {
      return failed("remote_file_write_error", wide(to_));
    }
    if (sftp_rename(connection_.sftp(), temporary_.c_str(), to_.c_str()) != 0) {
      (void)sftp_rename(connection_.sftp(), aside.c_str(), to_.c_str());
      return failed("remote_file_write_error", wide(to_));
    }
    (void)sftp_unlink(connection_.sftp(), aside.c_str());
    return committed();
  }

  CopyResult committed() {
    committed_ = true;
    return CopyResult::Copied;
  }

  CopyResult failed(const char* key, const std::wstring& path) {
    log_at(LogLevel::Error, translate(key) + path);
    return CopyResult::Failed;
  }

  static std::wstring wide(const std::string& path) { return util::string_to_wstring(path); }

  SftpConnection& connection_;
  const fs::path from_;
  const std::string to_;
  const std::string temporary_;
  const TransferControl& control_;
  bool created_ = false;
  bool committed_ = false;
};

}  // namespace

void clean_remote_leftovers(SftpConnection& connection, const std::string& folder) {
  const SftpDir dir = connection.open_dir(folder);
  if (!dir) return;
  std::vector<std::string> names;
  while (const SftpAttributes entry = connection.read_dir(dir.get())) {
    if (entry->name != nullptr && entry->type == SSH_FILEXFER_TYPE_REGULAR) {
      names.emplace_back(entry->name);
    }
  }
  for (const std::string& name : names) {
    const std::string path = inside(folder, name);
    if (util::is_temporary_copy_name(name)) {
      (void)sftp_unlink(connection.sftp(), path.c_str());
    } else if (const auto destination = util::destination_of_aside(name)) {
      const std::string original = inside(folder, *destination);
      if (connection.stat(original)) {
        (void)sftp_unlink(connection.sftp(), path.c_str());
      } else if (connection.reply_status() == SSH_FX_NO_SUCH_FILE) {
        (void)sftp_rename(connection.sftp(), path.c_str(), original.c_str());
      }
    }
  }
}

std::uint32_t sftp_time(std::int64_t seconds) {
  if (seconds < 0) return 0;
  constexpr auto highest = std::numeric_limits<std::uint32_t>::max();
  return seconds > static_cast<std::int64_t>(highest) ? highest
                                                      : static_cast<std::uint32_t>(seconds);
}

CopyResult upload_file(SftpConnection& connection, const fs::path& from, const std::string& to,
                       const TransferControl& control) {
  if (!connection.is_open()) return CopyResult::Failed;
  Upload upload(connection, from, to, control);
  return upload.run();
}

}  // namespace TWL_Core
