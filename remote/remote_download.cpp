#include "remote/remote_download.hpp"

#include <fcntl.h>

#include <deque>
#include <vector>

#include "foundation/descriptor_io.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

constexpr std::size_t BLOCK = 65536;
constexpr std::uint32_t COMPLETE =
    SSH_FILEXFER_ATTR_SIZE | SSH_FILEXFER_ATTR_PERMISSIONS | SSH_FILEXFER_ATTR_ACMODTIME;

DownloadedFile failed(const char* key, const std::string& path) {
  log_at(LogLevel::Error, translate(key) + util::string_to_wstring(path));
  return {};
}

bool same_content(const sftp_attributes_struct& a, const sftp_attributes_struct& b) {
  return a.size == b.size && a.mtime == b.mtime;
}

// Keeps up to IN_FLIGHT block reads of one file on the way, so that the transfer does not wait
// a round trip per block. The answers come in the order asked. Requests not taken when the
// transfer ends early are collected, as the library requires.
class ReadAhead {
 public:
  static constexpr std::size_t IN_FLIGHT = 16;

  ReadAhead(sftp_file file, std::uint64_t size) : file_(file), size_(size) {}
  ~ReadAhead() {
    std::vector<char> discard(BLOCK);
    for (const std::uint32_t id : pending_) {
      (void)sftp_async_read(file_, discard.data(), BLOCK, id);
    }
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next block: its byte count, 0 at the end (of the size at open), negative on an error.
  long long next(char* buffer) {
    while (pending_.size() < IN_FLIGHT && requested_ < size_) {
      const int id = sftp_async_read_begin(file_, BLOCK);
      if (id < 0) return -1;
      pending_.push_back(static_cast<std::uint32_t>(id));
      requested_ += BLOCK;
    }
    if (pending_.empty()) return 0;
    const std::uint32_t id = pending_.front();
    pending_.pop_front();
    return sftp_async_read(file_, buffer, BLOCK, id);
  }

 private:
  sftp_file file_;
  const std::uint64_t size_;
  std::uint64_t requested_ = 0;
  std::deque<std::uint32_t> pending_;
};

}  // namespace

DownloadedFile download_file(SftpConnection& connection, const std::string& from, int output,
                             const TransferControl& control) {
  const SftpFile source = connection.open(from, O_RDONLY, 0);
  if (!source) return failed("remote_file_open_error", from);
  const SftpAttributes at_open = connection.stat(source.get());
  if (!at_open) return failed("remote_file_open_error", from);
  if ((at_open->flags & COMPLETE) != COMPLETE) return failed("sftp_attributes_incomplete", from);
  std::vector<char> buffer(BLOCK);
  std::uint64_t total = 0;
  ReadAhead blocks(source.get(), at_open->size);
  for (;;) {
    const long long got = blocks.next(buffer.data());
    if (got < 0) return failed("remote_file_read_error", from);
    if (got == 0) break;
    // Reads ahead ask for whole blocks at fixed offsets: a short one before the end would leave
    // a gap, so it ends the copy as a changed source.
    if (got < static_cast<long long>(BLOCK) &&
        total + static_cast<std::uint64_t>(got) < at_open->size) {
      return failed("copy_source_changed", from);
    }
    if (control.stop_requested && control.stop_requested()) return {CopyResult::Cancelled, 0, 0};
    if (util::write_all(output, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      return failed("local_file_write_error", from);
    }
    total += static_cast<std::uint64_t>(got);
    if (control.copied) control.copied(total);
  }
  // The file may have grown beyond its size at open: that shows in its attributes now.
  const SftpAttributes at_end = connection.stat(source.get());
  if (total != at_open->size || !at_end || !same_content(*at_end, *at_open)) {
    return failed("copy_source_changed", from);
  }
  return {CopyResult::Copied, at_open->permissions, static_cast<std::int64_t>(at_open->mtime)};
}

}  // namespace TWL_Core
