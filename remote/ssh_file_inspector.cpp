#include "remote/ssh_file_inspector.hpp"

#include "foundation/translation.hpp"

namespace TWL_Core {
namespace {

using translation::translate_utf8;

constexpr std::uint32_t SIZE_AND_TIME = SSH_FILEXFER_ATTR_SIZE | SSH_FILEXFER_ATTR_ACMODTIME;

}  // namespace

SshFileInspector::SshFileInspector(const SshAccount& account)
    : connection_(account), account_(account) {}

RemoteFileInfo SshFileInspector::inspect_file(const std::string& path) {
  return inspect_remote_file(connection_, path);
}

RemoteFileInfo inspect_remote_file(SftpConnection& connection, const std::string& path) {
  RemoteFileInfo info;
  const SftpAttributes attributes = connection.stat(path);
  if (attributes) {
    if ((attributes->flags & SIZE_AND_TIME) != SIZE_AND_TIME) {
      throw std::runtime_error(translate_utf8("sftp_attributes_incomplete") + path);
    }
    info.exists = true;
    info.size = attributes->size;
    info.mtime = static_cast<std::int64_t>(attributes->mtime);
    info.mtime_text = time_to_iso(info.mtime);
    info.regular = attributes->type == SSH_FILEXFER_TYPE_REGULAR;
    return info;
  }
  const auto status = connection.reply_status();
  if (!status) {
    const std::string text = translate_utf8("sftp_connection_lost") + connection.error();
    connection.unreachable(text);
  }
  if (*status == SSH_FX_NO_SUCH_FILE || *status == SSH_FX_NO_SUCH_PATH) return info;
  throw std::runtime_error(translate_utf8("sftp_stat_failed") + std::to_string(*status) + "): " +
                           path);
}

}  // namespace TWL_Core
