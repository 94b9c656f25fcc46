#pragma once
// Recognises remote endpoint texts: an account name, a colon, the remote path.

#include <optional>
#include <string_view>

#include "remote/ssh_account.hpp"

namespace TWL_Core {

// The configured account named by the text before the first colon; nothing when there is no
// colon, when the colon is the first character, or when no account has that exact name.
// Looks the account up anew on every call.
std::optional<SshAccount> get_account_from_path(std::wstring_view path);

}  // namespace TWL_Core
