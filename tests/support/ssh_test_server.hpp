#pragma once
// A real OpenSSH server for tests, listening on 127.0.0.1 port 22 inside a private network
// namespace, with password login for a test user and SFTP. Constructing it moves the calling
// process into private network and mount namespaces (ctest runs each test case in a process of
// its own), so start any process that should reach the server after constructing it. Each
// server comes with fresh, empty homes for the test user and for the client (the calling
// user's home from the password database, where libssh keeps known_hosts), and a fresh host
// key. sshd runs in the foreground as a child of the test process (its PidFile names the same
// process). The destructor kills every sshd process of the namespace and reaps the listener,
// also after a failed assertion.

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core::test {

class SshTestServer {
 public:
  static constexpr const char* USER = "ternwelltest";
  static constexpr const char* PASSWORD = "Tern-well-test-7";
  static constexpr const char* HOST = "127.0.0.1";
  static constexpr int PORT = 22;

  // Why this machine cannot run the server (not root, no sshd, no namespaces); empty if it
  // can. Tests skip with this text.
  [[nodiscard]] static std::string unavailable_reason();

  // Moves the calling process into a new network namespace with only loopback, up, and a new
  // mount namespace whose mounts do not propagate to the host. Done once per process; true if
  // the process is (now) in such namespaces.
  [[nodiscard]] static bool enter_private_namespaces();

  // Creates the test user if needed, enters the private namespaces, mounts fresh homes and
  // starts sshd; ready() tells whether it accepts connections.
  SshTestServer();
  ~SshTestServer();
  SshTestServer(const SshTestServer&) = delete;
  SshTestServer& operator=(const SshTestServer&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  std::string user() const { return USER; }
  std::string password() const { return PASSWORD; }
  std::string host() const { return HOST; }
  // The test user's home folder, owned by the test user: remote paths are relative to it.
  const std::filesystem::path& home() const { return user_home_; }
  // The client's home folder (fresh and empty at construction).
  const std::filesystem::path& client_home() const { return client_home_; }
  // What sshd has logged so far, for failure messages.
  [[nodiscard]] std::string log() const;

  // Starts sshd (again) and waits until the port accepts; true on success.
  [[nodiscard]] bool start();
  // Kills sshd and every session it serves and waits until the port refuses connections.
  void stop();
  // Replaces the host key with a new one and restarts the server; true once it accepts again.
  [[nodiscard]] bool regenerate_host_key();
  // Makes `path` and, for a folder, everything in it owned by the test user.
  void give_to_user(const std::filesystem::path& path) const;

 private:
  void write_config() const;
  [[nodiscard]] bool generate_host_key() const;

  TempDir folder_;
  std::filesystem::path user_home_;
  std::filesystem::path client_home_;
  unsigned user_id_ = 0;
  unsigned group_id_ = 0;
  std::unique_ptr<ChildProcess> sshd_;
  bool ready_ = false;
};

}  // namespace TWL_Core::test
