#pragma once
// A real SMTP server (aiosmtpd) for tests, with a throwaway certificate authority. Each
// accepted mail is kept as its raw DATA and a JSON record of envelope, login and TLS.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"

namespace TWL_Core::test {

// A fresh CA and a server certificate signed by it for `host_name`, as PEM files in `folder`.
struct TlsFiles {
  std::filesystem::path ca;
  std::filesystem::path certificate;
  std::filesystem::path key;

  static TlsFiles create(const std::filesystem::path& folder, const std::string& host_name);
};

struct ReceivedMail {
  std::string raw;       // the DATA as received, CR LF line ends
  std::string envelope;  // JSON: from, to, login, tls
};

class SmtpTestServer {
 public:
  struct Options {
    std::string user;
    std::string password;
    bool implicit_tls = false;
    std::uint16_t port = 0;  // 0: any free port
  };

  // Starts the server and waits until it listens; ready() tells whether that worked.
  SmtpTestServer(const std::filesystem::path& folder, const TlsFiles& tls, Options options);
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  bool ready() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // Mails received so far, in order of arrival.
  std::vector<ReceivedMail> mails() const;
  bool wait_for_mails(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  std::filesystem::path mailbox_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

// The Base64 decoding of `text`; lines breaks are skipped.
std::string decode_base64(const std::string& text);

// Moves the calling process into a new network namespace with only loopback, up. Needs root;
// false if that is not possible.
bool enter_private_network();

}  // namespace TWL_Core::test
