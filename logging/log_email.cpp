#include "logging/log_email.hpp"

#include <utility>

namespace TWL_Core {

bool LogEmail::notify_active() const {
  std::lock_guard lock(mutex_);
  return notify_active_;
}

void LogEmail::notify_active(bool active) {
  std::lock_guard lock(mutex_);
  notify_active_ = active;
}

std::wstring LogEmail::notify_address() const {
  std::lock_guard lock(mutex_);
  return notify_address_;
}

void LogEmail::notify_address(std::wstring address) {
  std::lock_guard lock(mutex_);
  notify_address_ = std::move(address);
}

SmtpAccount LogEmail::smtp_account() const {
  std::lock_guard lock(mutex_);
  return smtp_account_;
}

void LogEmail::smtp_account(SmtpAccount account) {
  std::lock_guard lock(mutex_);
  smtp_account_ = std::move(account);
}

}  // namespace TWL_Core
