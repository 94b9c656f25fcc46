#include "remote/ssh_endpoint.hpp"

#include "foundation/text.hpp"

namespace TWL_Core {

std::optional<SshAccount> get_account_from_path(std::wstring_view path,
                                                const std::vector<SshAccount>& accounts) {
  const auto colon = path.find(L':');
  if (colon == std::wstring_view::npos || colon == 0) return std::nullopt;
  const std::string name = util::wstring_to_string(path.substr(0, colon));
  for (const auto& account : accounts) {
    if (account.name() == name) return account;
  }
  return std::nullopt;
}

}  // namespace TWL_Core
