#pragma once
// Where fatal errors are mailed to: the switch, the recipient and the SMTP server.
// Every accessor is thread-safe; the lock is held only for the copy or the assignment.

#include <mutex>
#include <string>

#include "logging/smtp_account.hpp"

namespace TWL_Core {

class LogEmail {
 public:
  bool notify_active() const;
  void notify_active(bool active);

  std::wstring notify_address() const;
  void notify_address(std::wstring address);

  SmtpAccount smtp_account() const;
  void smtp_account(SmtpAccount account);

 private:
  mutable std::mutex mutex_;
  bool notify_active_ = false;      // guarded by mutex_
  std::wstring notify_address_;     // guarded by mutex_
  SmtpAccount smtp_account_;        // guarded by mutex_
};

}  // namespace TWL_Core
