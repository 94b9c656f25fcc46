#include "remote/remote_operations.hpp"

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

using translation::translate;

RemoteAnswer answer_without_attributes(const SftpConnection& connection) {
  const auto status = connection.reply_status();
  if (!status) return RemoteAnswer::Unknown;
  return *status == SSH_FX_NO_SUCH_FILE || *status == SSH_FX_NO_SUCH_PATH ? RemoteAnswer::No
                                                                          : RemoteAnswer::Unknown;
}

}  // namespace

std::string get_remote_path(std::wstring_view endpoint) {
  const auto colon = endpoint.find(L':');
  const std::wstring_view path =
      colon == std::wstring_view::npos ? endpoint : endpoint.substr(colon + 1);
  return util::to_path(path).native();
}

RemoteAnswer remote_exists(SftpConnection& connection, const std::string& path) {
  if (connection.stat(path)) return RemoteAnswer::Yes;
  return answer_without_attributes(connection);
}

RemoteAnswer remote_is_directory(SftpConnection& connection, const std::string& path) {
  const SftpAttributes attributes = connection.stat(path);
  if (!attributes) return answer_without_attributes(connection);
  return attributes->type == SSH_FILEXFER_TYPE_DIRECTORY ? RemoteAnswer::Yes : RemoteAnswer::No;
}

bool remote_mkdir(SftpConnection& connection, const std::string& path) {
  if (connection.is_open() && sftp_mkdir(connection.sftp(), path.c_str(), 0755) == 0) return true;
  log_at(LogLevel::Error, translate("remote_dir_create_error") + util::string_to_wstring(path));
  return false;
}

bool remote_remove_file(SftpConnection& connection, const std::string& path) {
  if (connection.is_open() && sftp_unlink(connection.sftp(), path.c_str()) == 0) return true;
  log_at(LogLevel::Error, translate("remote_file_delete_error") + util::string_to_wstring(path));
  return false;
}

}  // namespace TWL_Core
