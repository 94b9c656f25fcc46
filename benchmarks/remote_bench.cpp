// What the remote side costs against OpenSSH's own `sftp` client, both talking to the same
// real sshd on loopback (private namespaces; needs root) in the same run. Ratios are the
// client's time divided by ours (above 1: ours is faster), except for the tree pass:
//  - one complete connect (TCP, key exchange, host key, password, SFTP start), median of 10:
//    ours is SftpConnection; the client's is a batch of `pwd`, its process start included;
//  - upload and download of a 256 MiB file, best of 2, in MB/s: with the login, as a pass that
//    copies one file does it, and the transfer alone (ours timed on an open session, the
//    client's time less its median connect);
//  - a pass with nothing to do (criteria size and time) over a tree of 1,000 files on the
//    host, against the same pass over a local tree of the same shape (best of 3 after an
//    untimed first copy; ratio = remote / local time), and the logins the remote passes
//    needed, counted in sshd's log.
// The client, sshd and this program share the machine's cores. Asserts nothing.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "benchmarks/random_file.hpp"
#include "config/config.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "remote/sftp_remote.hpp"
#include "sync/sync_report.hpp"
#include "sync/sync_tree.hpp"
#include "tests/support/ssh_test_server.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace TWL_Core;
using Clock = std::chrono::steady_clock;

constexpr std::uintmax_t FILE_BYTES = std::uintmax_t{256} << 20;
constexpr int TRANSFER_RUNS = 2;
constexpr int CONNECT_RUNS = 10;
constexpr int PASS_RUNS = 3;
constexpr int FOLDERS = 10;
constexpr int FILES_PER_FOLDER = 100;

double seconds_of(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median_of(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) times.push_back(seconds_of(work));
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double megabytes_per_second(double seconds) {
  return static_cast<double>(FILE_BYTES) / 1e6 / seconds;
}

// Complains on stderr when a transfer left `path` without the whole file.
void check_size(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error || size != FILE_BYTES) {
    std::fprintf(stderr, "incomplete transfer: %s\n", path.c_str());
  }
}

bool on_path(const std::string& program) {
  std::stringstream folders(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && ::access((fs::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// OpenSSH's client in batch mode (-b), one login per run, with the password from sshpass
// where it is installed and from an askpass script otherwise.
class SftpClient {
 public:
  SftpClient(const test::SshTestServer& server, const fs::path& work)
      : batch_(work / "client-batch.txt"), errors_(work / "client-errors.txt") {
    if (on_path("sshpass")) {
      password_source_ = "sshpass";
      command_line_ = "sshpass -p '" + server.password() + "' ";
    } else {
      password_source_ = "askpass";
      const fs::path askpass = work / "askpass.sh";
      std::ofstream(askpass) << "#!/bin/sh\necho '" << server.password() << "'\n";
      fs::permissions(askpass, fs::perms::owner_all);
      command_line_ = "SSH_ASKPASS=" + askpass.string() + " SSH_ASKPASS_REQUIRE=force ";
    }
    // BatchMode=no must come before -b, which would otherwise forbid asking for a password.
    command_line_ +=
        "sftp -q -o BatchMode=no -o StrictHostKeyChecking=no"
        " -o UserKnownHostsFile=/dev/null -o PreferredAuthentications=password -b " +
        batch_.string() + " " + server.user() + "@" + server.host() + " </dev/null >/dev/null 2>" +
        errors_.string();
  }

  // Runs `commands` (one a line) in one session; a failure is printed on stderr.
  void run(const std::string& commands) const {
    std::ofstream(batch_) << commands << "\n";
    if (std::system(command_line_.c_str()) != 0) {
      std::ifstream errors(errors_);
      std::fprintf(stderr, "sftp client failed on \"%s\": %s\n", commands.c_str(),
                   std::string(std::istreambuf_iterator<char>(errors), {}).c_str());
    }
  }

  const char* password_source() const { return password_source_; }

 private:
  const fs::path batch_;
  const fs::path errors_;
  const char* password_source_ = "";
  std::string command_line_;
};

struct Connects {
  double ours = 0;
  double client = 0;
};

Connects measure_connects(const SshAccount& account, const SftpClient& client) {
  Connects median;
  median.ours = median_of(CONNECT_RUNS, [&] { SftpConnection connection(account); });
  median.client = median_of(CONNECT_RUNS, [&] { client.run("pwd"); });
  return median;
}

// Best times of one direction: with the login and of the transfer alone.
struct Transfer {
  double ours_with_login = 1e9;
  double ours_alone = 1e9;
  double client_with_login = 1e9;
  double client_connect = 0;  // the client's median connect, less which it transfers alone
  double client_alone() const { return client_with_login - client_connect; }
};

// Runs `copy` over a fresh SftpRemote TRANSFER_RUNS times, its login timed apart.
void time_ours(Transfer& transfer, const SshAccount& account,
               const std::function<void(SftpRemote&)>& copy) {
  for (int run = 0; run < TRANSFER_RUNS; ++run) {
    SftpRemote remote;
    const double login = seconds_of([&] {
      if (!remote.log_in(account)) std::fprintf(stderr, "login failed\n");
    });
    const double alone = seconds_of([&] { copy(remote); });
    remote.end_pass();
    transfer.ours_with_login = std::min(transfer.ours_with_login, login + alone);
    transfer.ours_alone = std::min(transfer.ours_alone, alone);
  }
}

void time_client(Transfer& transfer, const SftpClient& client, const std::string& commands) {
  for (int run = 0; run < TRANSFER_RUNS; ++run) {
    transfer.client_with_login =
        std::min(transfer.client_with_login, seconds_of([&] { client.run(commands); }));
  }
}

Transfer measure_upload(const SshAccount& account, const SftpClient& client,
                        const fs::path& local_file, const fs::path& remote_folder) {
  Transfer upload;
  const RemoteLocation ours{account, (remote_folder / "ours-up.bin").string()};
  time_ours(upload, account, [&](SftpRemote& remote) {
    if (remote.upload(local_file, ours, {}) != CopyResult::Copied) {
      std::fprintf(stderr, "upload failed\n");
    }
  });
  check_size(ours.path);
  const fs::path theirs = remote_folder / "client-up.bin";
  time_client(upload, client, "put " + local_file.string() + " " + theirs.string());
  check_size(theirs);
  return upload;
}

Transfer measure_download(const SshAccount& account, const SftpClient& client,
                          const fs::path& remote_file, const fs::path& work) {
  Transfer download;
  const fs::path ours = work / "ours-down.bin";
  time_ours(download, account, [&](SftpRemote& remote) {
    const FileDescriptor out(::open(ours.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (remote.download({account, remote_file.string()}, out.get(), {}).result !=
        CopyResult::Copied) {
      std::fprintf(stderr, "download failed\n");
    }
  });
  check_size(ours);
  const fs::path theirs = work / "client-down.bin";
  time_client(download, client, "get " + remote_file.string() + " " + theirs.string());
  check_size(theirs);
  return download;
}

void print_transfer(const char* what, const Transfer& t) {
  std::printf("  %-24s %8.1f MB/s  %8.1f MB/s   %5.2f\n",
              (std::string(what) + ", with login").c_str(), megabytes_per_second(t.ours_with_login),
              megabytes_per_second(t.client_with_login), t.client_with_login / t.ours_with_login);
  std::printf("  %-24s %8.1f MB/s  %8.1f MB/s   %5.2f\n",
              (std::string(what) + ", transfer alone").c_str(), megabytes_per_second(t.ours_alone),
              megabytes_per_second(t.client_alone()), t.client_alone() / t.ours_alone);
}

// Prints the connect and transfer figures; returns the connect medians.
Connects transfers(const test::SshTestServer& server, const SshAccount& account,
                   const fs::path& work, const fs::path& remote_folder) {
  const SftpClient client(server, work);
  const Connects connects = measure_connects(account, client);
  std::printf("one complete connect, median of %d (client's password from %s)\n", CONNECT_RUNS,
              client.password_source());
  std::printf("  ours %.1f ms, sftp client (process start included) %.1f ms, ratio %.2f\n",
              connects.ours * 1e3, connects.client * 1e3, connects.client / connects.ours);

  const fs::path local_file = work / "local.bin";
  bench::write_random_file(local_file, FILE_BYTES);
  Transfer upload = measure_upload(account, client, local_file, remote_folder);
  Transfer download = measure_download(account, client, remote_folder / "ours-up.bin", work);
  upload.client_connect = download.client_connect = connects.client;
  std::printf("256 MiB file, best of %d             ours     sftp client   ratio\n", TRANSFER_RUNS);
  print_transfer("upload", upload);
  print_transfer("download", download);
  return connects;
}

std::size_t logins(const test::SshTestServer& server) {
  const std::string log = server.log();
  const std::string accepted = "Accepted password for";
  std::size_t count = 0;
  for (auto at = log.find(accepted); at != std::string::npos; at = log.find(accepted, at + 1)) {
    ++count;
  }
  return count;
}

void make_small_tree(const fs::path& root) {
  for (int folder = 0; folder < FOLDERS; ++folder) {
    const fs::path dir = root / ("folder-" + std::to_string(folder));
    fs::create_directories(dir);
    for (int file = 0; file < FILES_PER_FOLDER; ++file) {
      std::ofstream(dir / ("file-" + std::to_string(file) + ".txt"))
          << "content " << folder << file;
    }
  }
}

// One tree pass from `source` to `target` (either may be "account:path"), criteria size and
// time; returns the files it copied. Errors of the pass are printed on stderr.
std::size_t tree_pass(const std::wstring& source, const std::wstring& target,
                      RemoteAccess* remote) {
  CompareItems size_and_time;
  size_and_time.criteria = {CompareItem::Size, CompareItem::Time};
  SyncFlags flags;
  flags.enabled = true;
  const SyncItem item(L"bench", SyncItemType::Tree, source, target, L"*", {}, flags, size_and_time);
  std::atomic<std::size_t> files{0};
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    SyncTree sync(item, files, false, remote);
    sync();
  }
  if (remote != nullptr) remote->end_pass();
  for (const auto& error : report.errors()) {
    std::fprintf(stderr, "pass reported: %s\n", util::wstring_to_string(error).c_str());
  }
  return files;
}

// Best time of PASS_RUNS passes; adds the files they copied to `copied`.
double best_pass(const std::wstring& source, const std::wstring& target, RemoteAccess* remote,
                 std::size_t& copied) {
  double best = 1e9;
  for (int run = 0; run < PASS_RUNS; ++run) {
    best = std::min(best, seconds_of([&] { copied += tree_pass(source, target, remote); }));
  }
  return best;
}

// Prints the pass figures; `login` is our median connect, to tell the pass's logins apart.
void no_change_pass(const test::SshTestServer& server, const fs::path& work,
                    const fs::path& remote_folder, double login) {
  const std::wstring source = util::from_path(work / "tree");
  make_small_tree(work / "tree");
  const std::wstring local_target = util::from_path(work / "tree-copy");
  const std::wstring remote_target = L"bench:" + util::from_path(remote_folder / "tree");
  SftpRemote remote;
  const std::size_t first_remote = tree_pass(source, remote_target, &remote);
  const std::size_t first_local = tree_pass(source, local_target, nullptr);

  std::size_t copied = 0;
  const std::size_t logins_before = logins(server);
  const double remote_pass = best_pass(source, remote_target, &remote, copied);
  const std::size_t pass_logins = logins(server) - logins_before;
  const double local_pass = best_pass(source, local_target, nullptr, copied);
  std::printf(
      "pass with nothing to do over %d files, best of %d (first copies: %zu remote, %zu "
      "local files)\n",
      FOLDERS * FILES_PER_FOLDER, PASS_RUNS, first_remote, first_local);
  const double without_logins = remote_pass - login * static_cast<double>(pass_logins) / PASS_RUNS;
  std::printf(
      "  remote tree %.3f s, local tree %.3f s, ratio remote/local %.1f (%.1f without "
      "the logins, at the median connect)\n",
      remote_pass, local_pass, remote_pass / local_pass, without_logins / local_pass);
  std::printf("  logins: %zu in %d remote passes; files copied again: %zu\n", pass_logins,
              PASS_RUNS, copied);
}

}  // namespace

int main() {
  const std::string reason = test::SshTestServer::unavailable_reason();
  if (!reason.empty()) {
    std::printf("remote_bench skipped: no SSH test server here (%s)\n", reason.c_str());
    return 0;
  }
  test::SshTestServer server;
  if (!server.ready()) {
    std::printf("remote_bench skipped: the SSH test server did not start\n%s\n",
                server.log().c_str());
    return 0;
  }
  test::TempDir work;
  Logging::instance().set_log_file_path_name(util::from_path(work / "ternwell.log"));
  Logging::instance().set_log_level(LogLevel::Warning);
  const SshAccount account("bench", server.host(), server.user(), server.password());
  Config::instance().add(account, true);
  const fs::path remote_folder = server.home() / "bench";
  fs::create_directories(remote_folder);
  server.give_to_user(remote_folder);

  const Connects connects = transfers(server, account, work.path(), remote_folder);
  no_change_pass(server, work.path(), remote_folder, connects.ours);
  return 0;
}
