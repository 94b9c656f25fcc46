#include "config/sync_path.hpp"

#include "foundation/text.hpp"

namespace TWL_Core {

SshPath::SshPath(const SshAccount& account, const std::wstring& text)
    : SyncPath(PathType::Ssh), account_(account) {
  const std::wstring prefix = util::string_to_wstring(account.name()) + L':';
  remote_path_ = text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

std::wstring SshPath::path() const {
  return util::string_to_wstring(account_.name()) + L':' + remote_path_;
}

}  // namespace TWL_Core
