#include "remote/remote_sessions.hpp"

namespace TWL_Core {

SftpConnection& RemoteSessions::connection(const SshAccount& account) {
  const std::string key = key_of(account);
  auto found = connections_.find(key);
  if (found != connections_.end() && found->second->is_open()) return *found->second;
  connections_.erase(key);
  auto connection = std::make_unique<SftpConnection>(account);
  return *connections_.emplace(key, std::move(connection)).first->second;
}

void RemoteSessions::forget(const SshAccount& account) { connections_.erase(key_of(account)); }

void RemoteSessions::close_all() { connections_.clear(); }

// Two accounts share a connection only if they log in alike.
std::string RemoteSessions::key_of(const SshAccount& account) {
  return account.user() + '\n' + account.host() + '\n' + account.password();
}

}  // namespace TWL_Core
