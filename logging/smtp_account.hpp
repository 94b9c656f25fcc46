#pragma once
// The SMTP server through which fatal errors are mailed. A plain value; the password is held
// in clear text in memory only (the configuration file stores it encrypted).

#include <cstdint>
#include <string>

namespace TWL_Core {

struct SmtpAccount {
  std::wstring server;         // host name or address; empty: no mail
  std::uint16_t port = 587;    // 465 means implicit TLS, any other port STARTTLS
  std::wstring user;           // AUTH LOGIN name; empty: no login
  std::wstring password;
  std::wstring from;           // envelope sender and "From" header

  bool operator==(const SmtpAccount&) const = default;
};

}  // namespace TWL_Core
