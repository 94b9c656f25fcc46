#include "remote/remote_download.hpp"

#include <fcntl.h>

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
  for (;;) {
    const ssize_t got = sftp_read(source.get(), buffer.data(), buffer.size());
    if (got < 0) return failed("remote_file_read_error", from);
    if (got == 0) break;
    if (control.stop_requested && control.stop_requested()) return {CopyResult::Cancelled, 0, 0};
    if (util::write_all(output, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      return failed("local_file_write_error", from);
    }
    total += static_cast<std::uint64_t>(got);
    if (control.copied) control.copied(total);
  }
  const SftpAttributes at_end = connection.stat(source.get());
  if (total != at_open->size || !at_end || !same_content(*at_end, *at_open)) {
    return failed("copy_source_changed", from);
  }
  return {CopyResult::Copied, at_open->permissions, static_cast<std::int64_t>(at_open->mtime)};
}

}  // namespace TWL_Core
