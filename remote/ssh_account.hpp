#pragma once
// Login data of one SSH host: the account's name (by which endpoints "name:path" refer to it),
// user, host and password, all UTF-8. The password is clear text in memory only; the
// configuration file stores it encrypted. A plain copyable value.

#include <string>

namespace TWL_Core {

class SshAccount {
 public:
  SshAccount() = default;
  SshAccount(std::string name, std::string host, std::string user, std::string password)
      : name_(std::move(name)), host_(std::move(host)), user_(std::move(user)),
        password_(std::move(password)) {}

  const std::string& name() const { return name_; }
  const std::string& user() const { return user_; }
  const std::string& host() const { return host_; }
  const std::string& password() const { return password_; }

  void set_name(const std::string& name) { name_ = name; }
  void set_user(const std::string& user) { user_ = user; }
  void set_host(const std::string& host) { host_ = host; }
  void set_password(const std::string& password) { password_ = password; }

  bool operator==(const SshAccount&) const = default;

 private:
  std::string name_;
  std::string host_;
  std::string user_;
  std::string password_;
};

}  // namespace TWL_Core
