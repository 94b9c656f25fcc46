#include "remote/ssh_endpoint.hpp"

#include "config/config.hpp"
#include "foundation/text.hpp"

namespace TWL_Core {

std::optional<SshAccount> get_account_from_path(std::wstring_view path) {
  const auto colon = path.find(L':');
  if (colon == std::wstring_view::npos || colon == 0) return std::nullopt;
  return Config::instance().find_ssh_account_by_name(util::wstring_to_string(path.substr(0, colon)));
}

}  // namespace TWL_Core
