#include "tests/support/smtp_test_server.hpp"

#include <sched.h>
#include <unistd.h>

#include <cstdlib>

#include <openssl/evp.h>

#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace TWL_Core::test {

namespace {

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

}  // namespace

TlsFiles TlsFiles::create(const fs::path& folder, const std::string& host_name) {
  fs::create_directories(folder);
  TlsFiles files{folder / "ca.pem", folder / "server.pem", folder / "server.key"};
  const fs::path ca_key = folder / "ca.key";
  const fs::path request = folder / "server.csr";
  const fs::path extensions = folder / "server.ext";
  write_file(extensions, "subjectAltName=DNS:" + host_name + "\n");
  run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Ternwell Test CA' -keyout " +
      quoted(ca_key) + " -out " + quoted(files.ca));
  run("openssl req -newkey rsa:2048 -nodes -subj '/CN=" + host_name + "' -keyout " +
      quoted(files.key) + " -out " + quoted(request));
  run("openssl x509 -req -days 2 -in " + quoted(request) + " -CA " + quoted(files.ca) +
      " -CAkey " + quoted(ca_key) + " -CAcreateserial -extfile " + quoted(extensions) +
      " -out " + quoted(files.certificate));
  return files;
}

SmtpTestServer::SmtpTestServer(const fs::path& folder, const TlsFiles& tls, Options options)
    : mailbox_(folder / "mailbox") {
  fs::create_directories(mailbox_);
  const fs::path port_file = folder / "port";
  std::vector<std::string> args = {
      fs::path(TERNWELL_SOURCE_DIR) / "tests/support/smtp_server.py",
      "--port", std::to_string(options.port), "--port-file", port_file,
      "--cert", tls.certificate, "--key", tls.key, "--mailbox", mailbox_,
      "--user", options.user, "--password", options.password};
  if (options.implicit_tls) args.emplace_back("--implicit-tls");
  process_ = std::make_unique<ChildProcess>("/usr/bin/python3", args,
                                            std::vector<std::string>{"PATH=/usr/bin:/bin"});
  if (wait_until([&] { return fs::exists(port_file); }, 20s)) {
    port_ = static_cast<std::uint16_t>(std::stoi(read_file(port_file)));
  }
}

std::vector<ReceivedMail> SmtpTestServer::mails() const {
  std::vector<ReceivedMail> result;
  for (int n = 1; fs::exists(mailbox_ / (std::to_string(n) + ".eml")); ++n) {
    result.push_back({read_file(mailbox_ / (std::to_string(n) + ".eml")),
                      read_file(mailbox_ / (std::to_string(n) + ".json"))});
  }
  return result;
}

bool SmtpTestServer::wait_for_mails(std::size_t count, std::chrono::milliseconds timeout) const {
  return wait_until([&] { return mails().size() >= count; }, timeout);
}

std::string decode_base64(const std::string& text) {
  std::string clean;
  for (char c : text) {
    if (c != '\r' && c != '\n') clean += c;
  }
  std::string decoded(clean.size(), '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(clean.data()),
                                     static_cast<int>(clean.size()));
  if (length < 0) return {};
  std::size_t padding = 0;
  for (auto it = clean.rbegin(); it != clean.rend() && *it == '='; ++it) ++padding;
  decoded.resize(static_cast<std::size_t>(length) - padding);
  return decoded;
}

bool enter_private_network() {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
  return run("ip link set lo up");
}

}  // namespace TWL_Core::test
