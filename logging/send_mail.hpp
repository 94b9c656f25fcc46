#pragma once
// A small SMTP client that mails one plain-text UTF-8 message: implicit TLS on port 465,
// STARTTLS on any other port, AUTH LOGIN when a user is set. It never throws for a mail
// problem and never logs; the caller logs the returned text.

#include <chrono>
#include <cstddef>
#include <string>

#include "logging/smtp_account.hpp"

namespace TWL_Core {

// Bounds on one mail dialogue, so a slow or hostile server cannot hold the caller for long.
struct SmtpLimits {
  std::chrono::milliseconds socket_timeout{15000};  // the connect, each read and each write
  std::chrono::milliseconds deadline{60000};        // the whole dialogue after connecting
  std::size_t max_reply_lines = 100;                // lines of one multi-line reply
};

// Sends `body` to `to` through `account`. Returns an empty text on success, otherwise the
// translated error text (UTF-8). The password is never sent over an unencrypted connection.
std::string send_mail(const SmtpAccount& account, const std::wstring& to,
                      const std::wstring& subject, const std::string& body,
                      const SmtpLimits& limits = {});

}  // namespace TWL_Core
