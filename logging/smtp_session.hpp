#pragma once
// One SMTP connection for the duration of a single mail: the BIO chain (connection, later TLS
// and a read buffer on top), the TLS context, the last reply and the last error. Every
// operation returns false on failure and leaves the translated reason in error().
// Not thread-safe; lives on the stack of one send_mail call.

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "logging/send_mail.hpp"
#include "logging/smtp_account.hpp"

namespace TWL_Core {

class SmtpSession {
 public:
  SmtpSession(const SmtpAccount& account, const SmtpLimits& limits);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  bool connect();
  bool enable_tls();
  bool ehlo();
  bool put(const std::string& line);
  bool read_reply(int& code);
  bool reply(int expected);
  bool reply_ok();
  std::string message(const std::wstring& to, const std::wstring& subject,
                      const std::string& body) const;

  const std::string& host() const { return host_; }
  const std::string& last_reply() const { return last_reply_; }
  const std::string& error() const { return error_; }
  void set_error(std::string text) { error_ = std::move(text); }

 private:
  struct BioFree {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
  };
  struct SslCtxFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  using Clock = std::chrono::steady_clock;

  bool fail(std::string text);
  bool connect_within(Clock::time_point deadline);
  bool push_tls_layer();
  int read_piece(char* buffer, int size);
  bool read_line(std::string& line);
  bool arm_socket_timeouts();

  const SmtpAccount& account_;
  const SmtpLimits limits_;
  const std::string host_;                  // server name in UTF-8, for TLS checks and messages
  std::unique_ptr<BIO, BioFree> bio_;       // top of the connection's BIO chain
  std::unique_ptr<SSL_CTX, SslCtxFree> tls_context_;
  std::string error_;                       // translated text of the last failure
  std::string last_reply_;                  // last reply line, without its line end
  Clock::time_point deadline_;              // end of the whole dialogue, set on connect
};

// Standard Base64 with padding and without line breaks.
std::string base64(std::string_view bytes);

// The given UTC time as an RFC 5322 date with English names, e.g. "Thu, 10 Dec 2026 03:51:25 +0000".
std::string rfc5322_date(std::time_t time);

}  // namespace TWL_Core
