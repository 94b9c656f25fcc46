#include "tests/support/ssh_test_server.hpp"

#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <shadow.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/file_descriptor.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace TWL_Core::test {
namespace {

const fs::path SSHD = "/usr/sbin/sshd";
const std::vector<fs::path> TOOLS = {SSHD, "/usr/bin/ssh-keygen", "/usr/sbin/useradd",
                                     "/usr/sbin/chpasswd"};
constexpr auto START_TIMEOUT = 10s;
// Password logins of the test user only, SFTP served in process, verbose log for failures.
constexpr const char* SETTINGS = R"(ListenAddress 127.0.0.1
Port 22
LogLevel VERBOSE
PermitRootLogin no
PasswordAuthentication yes
PermitEmptyPasswords no
KbdInteractiveAuthentication no
PubkeyAuthentication no
UsePAM yes
StrictModes no
UseDNS no
PrintMotd no
X11Forwarding no
MaxStartups 100
MaxSessions 100
Subsystem sftp internal-sftp
)";

bool in_private_namespaces = false;

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Retries `attempt` for a while: other test processes may hold the password database's lock.
bool retry(const std::function<bool()>& attempt) {
  for (int round = 0; round < 50; ++round) {
    if (attempt()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

bool password_is_set(const char* user) {
  const spwd* entry = ::getspnam(user);
  return entry != nullptr && entry->sp_pwdp != nullptr && entry->sp_pwdp[0] == '$';
}

struct Account {
  fs::path home;
  unsigned user_id = 0;
  unsigned group_id = 0;
};

std::optional<Account> account_of(const passwd* entry) {
  if (entry == nullptr) return std::nullopt;
  return Account{entry->pw_dir, entry->pw_uid, entry->pw_gid};
}

// The test user, created with its password on first use; stays in the password database.
std::optional<Account> ensure_test_user() {
  const char* user = SshTestServer::USER;
  if (::geteuid() != 0) return std::nullopt;
  const bool exists = retry([&] {
    if (::getpwnam(user) != nullptr) return true;
    (void)run(std::string("useradd -m -s /bin/sh ") + user);
    return ::getpwnam(user) != nullptr;
  });
  if (!exists) return std::nullopt;
  const bool has_password = retry([&] {
    if (password_is_set(user)) return true;
    (void)run(std::string("echo '") + user + ":" + SshTestServer::PASSWORD + "' | chpasswd");
    return password_is_set(user);
  });
  if (!has_password) return std::nullopt;
  return account_of(::getpwnam(user));
}

bool bring_up_loopback() {
  const FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!socket.is_open() || ::ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  return ::ioctl(socket.get(), SIOCSIFFLAGS, &request) == 0;
}

bool can_unshare() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Mounts an empty tmpfs over `folder`, owned by `user_id`/`group_id` with `mode`.
bool mount_fresh_folder(const fs::path& folder, unsigned user_id, unsigned group_id,
                        const char* mode) {
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string options = std::string("mode=") + mode + ",uid=" + std::to_string(user_id) +
                              ",gid=" + std::to_string(group_id);
  return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

// True while some socket of this network namespace listens on 127.0.0.1:22.
bool port_listens() {
  std::ifstream table("/proc/self/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == "0100007F:0016" && state == "0A") return true;
  }
  return false;
}

std::string namespace_of(const fs::path& process) {
  std::error_code error;
  return fs::read_symlink(process / "ns/net", error).string();
}

bool is_alive(const fs::path& process) {
  std::ifstream stat(process / "stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto end_of_name = text.rfind(')');
  return end_of_name != std::string::npos && end_of_name + 2 < text.size() &&
         text[end_of_name + 2] != 'Z';
}

// Kills every live sshd process of this network namespace (the listener's sessions have
// detached into sessions of their own); true if there was none left to kill.
bool kill_namespace_sshds() {
  const std::string own_namespace = namespace_of("/proc/self");
  bool none = true;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code link_error;
    if (fs::read_symlink(entry.path() / "exe", link_error) != SSHD) continue;
    if (namespace_of(entry.path()) != own_namespace || !is_alive(entry.path())) continue;
    ::kill(std::stoi(name), SIGKILL);
    none = false;
  }
  return none;
}

}  // namespace

std::string SshTestServer::unavailable_reason() {
  if (::geteuid() != 0) return "needs root (test user, namespaces, sshd on port 22)";
  for (const auto& tool : TOOLS) {
    if (::access(tool.c_str(), X_OK) != 0) return tool.string() + " is not installed";
  }
  if (!in_private_namespaces && !can_unshare()) {
    return "cannot enter new network and mount namespaces (unshare)";
  }
  return {};
}

bool SshTestServer::enter_private_namespaces() {
  if (in_private_namespaces) return true;
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
  // Mounts made from here on must not propagate back to the host's mount namespace.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  in_private_namespaces = bring_up_loopback();
  return in_private_namespaces;
}

SshTestServer::SshTestServer() {
  const auto account = ensure_test_user();
  const auto client = account_of(::getpwuid(::getuid()));
  if (!account || !client || !enter_private_namespaces()) return;
  user_id_ = account->user_id;
  group_id_ = account->group_id;
  if (!mount_fresh_folder(account->home, user_id_, group_id_, "0755")) return;
  user_home_ = account->home;
  if (!mount_fresh_folder(client->home, client->user_id, client->group_id, "0700")) return;
  client_home_ = client->home;
  write_config();
  if (generate_host_key()) ready_ = start();
}

SshTestServer::~SshTestServer() {
  stop();
  if (!client_home_.empty()) (void)::umount2(client_home_.c_str(), MNT_DETACH);
  if (!user_home_.empty()) (void)::umount2(user_home_.c_str(), MNT_DETACH);
}

std::string SshTestServer::log() const { return read_file(folder_ / "sshd.log"); }

bool SshTestServer::start() {
  stop();
  std::error_code error;
  fs::create_directories("/run/sshd", error);
  fs::remove(folder_ / "sshd.pid", error);
  sshd_ = std::make_unique<ChildProcess>(
      SSHD,
      std::vector<std::string>{"-D", "-f", folder_ / "sshd_config", "-E", folder_ / "sshd.log"},
      std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/bin"});
  wait_until([&] { return port_listens() || sshd_->wait_for_exit(0ms).has_value(); },
             START_TIMEOUT);
  ready_ = port_listens();
  return ready_;
}

void SshTestServer::stop() {
  ready_ = false;
  if (sshd_) {
    sshd_->send(SIGKILL);
    (void)sshd_->wait_for_exit(START_TIMEOUT);
    sshd_.reset();
  }
  // Sessions outlive the listener; a dropped connection needs them gone too.
  (void)wait_until(kill_namespace_sshds, START_TIMEOUT);
  (void)wait_until([] { return !port_listens(); }, START_TIMEOUT);
}

bool SshTestServer::regenerate_host_key() {
  stop();
  return generate_host_key() && start();
}

void SshTestServer::give_to_user(const fs::path& path) const {
  (void)::lchown(path.c_str(), user_id_, group_id_);
  std::error_code error;
  if (!fs::is_directory(path, error)) return;
  for (const auto& entry : fs::recursive_directory_iterator(path, error)) {
    (void)::lchown(entry.path().c_str(), user_id_, group_id_);
  }
}

bool SshTestServer::generate_host_key() const {
  const fs::path key = folder_ / "host_key";
  std::error_code error;
  fs::remove(key, error);
  fs::remove(folder_ / "host_key.pub", error);
  return run("ssh-keygen -q -t ed25519 -N '' -f " + quoted(key));
}

void SshTestServer::write_config() const {
  write_file(folder_ / "sshd_config", std::string(SETTINGS) + "AllowUsers " + USER + "\n" +
                                          "HostKey " + (folder_ / "host_key").string() + "\n" +
                                          "PidFile " + (folder_ / "sshd.pid").string() + "\n");
}

}  // namespace TWL_Core::test
