#pragma once
// Recognises remote endpoint texts: an account name, a colon, the remote path.

#include <optional>
#include <string_view>
#include <vector>

#include "remote/ssh_account.hpp"

namespace TWL_Core {

// The account of `accounts` named by the text before the first colon; nothing when there is
// no colon, when the colon is the first character, or when no account has that exact name.
[[nodiscard]] std::optional<SshAccount> get_account_from_path(
    std::wstring_view path, const std::vector<SshAccount>& accounts);

}  // namespace TWL_Core
