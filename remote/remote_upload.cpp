#include "remote/remote_upload.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <optional>
#include <vector>

#include "foundation/file_descriptor.hpp"
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

// What an upload reads from: a local file, or a file on another (or the same) SFTP connection.
// Its size, mode and time are taken when it is opened, and must still hold at the end.
class UploadSource {
 public:
  struct State {
    std::uint64_t size = 0;
    std::uint32_t mode = 0;
    std::int64_t modified = 0;
    std::int64_t modified_nanoseconds = 0;
    // Whether the content may have changed: a new size or time (a new mode is no change).
    [[nodiscard]] bool same_content(const State& other) const {
      return size == other.size && modified == other.modified &&
             modified_nanoseconds == other.modified_nanoseconds;
    }
  };
  virtual ~UploadSource() = default;
  // Opens the source and reads its state; nothing (logged) when it cannot be opened.
  virtual std::optional<State> open() = 0;
  // Up to `size` bytes; 0 at the end, negative on an error (logged by the caller).
  virtual long long read(char* buffer, std::size_t size) = 0;
  virtual std::optional<State> state_now() = 0;
  virtual const char* read_error_key() const = 0;
  virtual std::wstring shown() const = 0;
};

class LocalSource final : public UploadSource {
 public:
  explicit LocalSource(const fs::path& path) : path_(path) {}

  std::optional<State> open() override {
    std::error_code error;
    descriptor_ = open_regular_file(path_, O_RDONLY, error);
    if (!descriptor_.is_open()) return failed_open();
    const auto state = state_now();
    return state ? state : failed_open();
  }
  long long read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::read(descriptor_.get(), buffer, size);
      if (got >= 0 || errno != EINTR) return got;
    }
  }
  std::optional<State> state_now() override {
    struct stat status {};
    const auto identity = platform::file_identity(descriptor_.get());
    if (!identity || ::fstat(descriptor_.get(), &status) != 0) return std::nullopt;
    return State{static_cast<std::uint64_t>(identity->size),
                 static_cast<std::uint32_t>(status.st_mode), identity->modified_seconds,
                 identity->modified_nanoseconds};
  }
  const char* read_error_key() const override { return "local_file_read_error"; }
  std::wstring shown() const override { return util::from_path(path_); }

 private:
  std::optional<State> failed_open() const {
    log_at(LogLevel::Error, translate("local_file_open_error") + shown());
    return std::nullopt;
  }

  const fs::path path_;
  FileDescriptor descriptor_;
};

class RemoteSource final : public UploadSource {
 public:
  RemoteSource(SftpConnection& connection, const std::string& path)
      : connection_(connection), path_(path) {}

  std::optional<State> open() override {
    file_ = connection_.open(path_, O_RDONLY, 0);
    const auto state = file_ ? state_now() : std::nullopt;
    if (!state) log_at(LogLevel::Error, translate("source_file_open_error") + shown());
    return state;
  }
  long long read(char* buffer, std::size_t size) override {
    return sftp_read(file_.get(), buffer, size);
  }
  std::optional<State> state_now() override {
    const SftpAttributes attributes = connection_.stat(file_.get());
    if (!attributes || (attributes->flags & COMPLETE) != COMPLETE) return std::nullopt;
    return State{attributes->size, attributes->permissions, attributes->mtime, 0};
  }
  const char* read_error_key() const override { return "source_file_read_error"; }
  std::wstring shown() const override { return util::string_to_wstring(path_); }

 private:
  static constexpr std::uint32_t COMPLETE =
      SSH_FILEXFER_ATTR_SIZE | SSH_FILEXFER_ATTR_PERMISSIONS | SSH_FILEXFER_ATTR_ACMODTIME;

  SftpConnection& connection_;
  const std::string path_;
  SftpFile file_;
};

class Upload {
 public:
  Upload(UploadSource& source, SftpConnection& connection, const std::string& to,
         const TransferControl& control, const char* open_error_key, const char* write_error_key)
      : source_(source),
        connection_(connection),
        to_(to),
        temporary_(beside(to, util::temporary_copy_name(name_of(to)))),
        control_(control),
        open_error_key_(open_error_key),
        write_error_key_(write_error_key) {}
  ~Upload() {
    if (!committed_ && created_ && connection_.transport_alive()) {
      (void)sftp_unlink(connection_.sftp(), temporary_.c_str());
    }
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  CopyResult run() {
    const auto at_open = source_.open();
    if (!at_open) return CopyResult::Failed;
    SftpFile target = connection_.open(temporary_, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!target) return failed(open_error_key_, wide(temporary_));
    created_ = true;
    const CopyResult copied = copy_blocks(target.get(), at_open->size);
    if (copied != CopyResult::Copied) return copied;
    // The server's answer to the close is the last word on whether the data arrived.
    if (sftp_close(target.release()) != SSH_NO_ERROR) return failed(write_error_key_, wide(to_));
    const auto at_end = source_.state_now();
    if (!at_end || !at_end->same_content(*at_open)) {
      return failed("copy_source_changed", source_.shown());
    }
    keep_permissions(at_open->mode);
    if (!keep_time(at_open->modified)) return failed("file_time_not_settable", wide(to_));
    return put_in_place();
  }

 private:
  CopyResult copy_blocks(sftp_file target, std::uint64_t expected) {
    std::vector<char> buffer(BLOCK);
    std::uint64_t total = 0;
    for (;;) {
      const long long got = source_.read(buffer.data(), buffer.size());
      if (got < 0) return failed(source_.read_error_key(), source_.shown());
      if (got == 0) break;
      if (control_.stop_requested && control_.stop_requested()) return CopyResult::Cancelled;
      for (long long sent = 0; sent < got;) {
        const ssize_t written =
            sftp_write(target, buffer.data() + sent, static_cast<std::size_t>(got - sent));
        if (written <= 0) return failed(write_error_key_, wide(to_));
        sent += written;
      }
      total += static_cast<std::uint64_t>(got);
      if (control_.copied) control_.copied(total);
    }
    if (total != expected) return failed("copy_source_changed", source_.shown());
    return CopyResult::Copied;
  }

  void keep_permissions(std::uint32_t mode) {
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
      return failed(write_error_key_, wide(to_));
    }
    if (sftp_rename(connection_.sftp(), temporary_.c_str(), to_.c_str()) != 0) {
      (void)sftp_rename(connection_.sftp(), aside.c_str(), to_.c_str());
      return failed(write_error_key_, wide(to_));
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

  UploadSource& source_;
  SftpConnection& connection_;
  const std::string to_;
  const std::string temporary_;
  const TransferControl& control_;
  const char* const open_error_key_;
  const char* const write_error_key_;
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
  LocalSource source(from);
  Upload upload(source, connection, to, control, "remote_file_open_write_error",
                "remote_file_write_error");
  return upload.run();
}

CopyResult copy_remote_file(SftpConnection& from_connection, const std::string& from,
                            SftpConnection& to_connection, const std::string& to,
                            const TransferControl& control) {
  if (!from_connection.is_open() || !to_connection.is_open()) return CopyResult::Failed;
  RemoteSource source(from_connection, from);
  Upload upload(source, to_connection, to, control, "target_file_open_error",
                "target_file_write_error");
  return upload.run();
}

}  // namespace TWL_Core
