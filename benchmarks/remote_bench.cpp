// What the remote side costs against OpenSSH's own `sftp` client, measured on the same local
// sshd in the same run (a real OpenSSH server on loopback, in private namespaces; needs root):
//  - upload and download of a 256 MiB file (MB/s; ratio = ours / the client's throughput);
//  - one complete connect: TCP, key exchange, host key, password, SFTP start (median of 10;
//    the client's figure includes starting its process);
//  - a pass with nothing to do over a tree of 1,000 files on the host, against the same pass
//    over a local tree (best of 3; ratio = remote / local time), and the logins it needed.
// Asserts nothing.

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
#include <regex>
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

constexpr std::size_t FILE_BYTES = std::size_t{256} << 20;
constexpr int FOLDERS = 10;
constexpr int FILES_PER_FOLDER = 100;

double seconds_of(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double best_of(int runs, const std::function<void()>& work) {
  double best = 1e9;
  for (int run = 0; run < runs; ++run) best = std::min(best, seconds_of(work));
  return best;
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

// OpenSSH's client, reading its commands from stdin and its password from an askpass script.
class SftpClient {
 public:
  SftpClient(const test::SshTestServer& server, const fs::path& work)
      : askpass_(work / "askpass.sh"), commands_(work / "commands.txt"), server_(server) {
    std::ofstream(askpass_) << "#!/bin/sh\necho '" << server.password() << "'\n";
    fs::permissions(askpass_, fs::perms::owner_all);
  }

  void run(const std::string& commands) const {
    std::ofstream(commands_) << commands << "\n";
    const std::string line =
        "SSH_ASKPASS=" + askpass_.string() +
        " SSH_ASKPASS_REQUIRE=force DISPLAY=none setsid sftp -q -o StrictHostKeyChecking=no"
        " -o UserKnownHostsFile=/dev/null -o PreferredAuthentications=password " +
        server_.user() + "@" + server_.host() + " < " + commands_.string() + " > /dev/null 2>&1";
    if (std::system(line.c_str()) != 0) std::fprintf(stderr, "sftp failed: %s\n", commands.c_str());
  }

 private:
  const fs::path askpass_;
  const fs::path commands_;
  const test::SshTestServer& server_;
};

std::size_t logins(const test::SshTestServer& server) {
  const std::string log = server.log();
  const std::regex accepted("Accepted password for");
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(log.begin(), log.end(), accepted), std::sregex_iterator()));
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

// One tree pass from `source` to `target` (either may be "account:path"); returns the files
// it copied.
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
  if (!report.errors().empty()) {
    std::fprintf(stderr, "pass reported: %s\n",
                 util::wstring_to_string(report.errors()[0]).c_str());
  }
  return files;
}

void transfers(const test::SshTestServer& server, const SshAccount& account, const fs::path& work,
               const fs::path& remote_folder) {
  const fs::path local_file = work / "local.bin";
  bench::write_random_file(local_file, FILE_BYTES);
  const SftpClient client(server, work);
  SftpRemote remote;
  const RemoteLocation up{account, (remote_folder / "up.bin").string()};

  const double ours_up = best_of(2, [&] { (void)remote.upload(local_file, up, {}); });
  const double theirs_up = best_of(2, [&] {
    client.run("put " + local_file.string() + " " + (remote_folder / "theirs.bin").string());
  });
  const double ours_down = best_of(2, [&] {
    const FileDescriptor out(
        ::open((work / "down.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    (void)remote.download(up, out.get(), {});
  });
  const double theirs_down =
      best_of(2, [&] { client.run("get " + up.path + " " + (work / "theirs-down.bin").string()); });
  remote.end_pass();
  std::printf("256 MiB file (best of 2)        ours         sftp client   ratio ours/theirs\n");
  std::printf("  upload                   %8.1f MB/s  %8.1f MB/s   %5.2f\n",
              megabytes_per_second(ours_up), megabytes_per_second(theirs_up), theirs_up / ours_up);
  std::printf("  download                 %8.1f MB/s  %8.1f MB/s   %5.2f\n",
              megabytes_per_second(ours_down), megabytes_per_second(theirs_down),
              theirs_down / ours_down);

  const double ours_connect = median_of(10, [&] { SftpConnection connection(account); });
  const double theirs_connect = median_of(10, [&] { client.run("pwd"); });
  std::printf("one complete connect (median of 10)\n");
  std::printf("  ours %.1f ms, sftp client (process included) %.1f ms, ratio %.2f\n",
              ours_connect * 1e3, theirs_connect * 1e3, theirs_connect / ours_connect);
}

void no_change_pass(const test::SshTestServer& server, const fs::path& work,
                    const fs::path& remote_folder) {
  const fs::path source = work / "tree";
  make_small_tree(source);
  const fs::path local_target = work / "tree-copy";
  fs::create_directories(local_target);
  const std::wstring remote_target = L"bench:" + util::from_path(remote_folder / "tree");
  SftpRemote remote;
  const std::size_t first_remote = tree_pass(util::from_path(source), remote_target, &remote);
  const std::size_t first_local =
      tree_pass(util::from_path(source), util::from_path(local_target), nullptr);
  std::size_t copied = 0;
  const std::size_t logins_before = logins(server);
  const double remote_pass =
      best_of(3, [&] { copied += tree_pass(util::from_path(source), remote_target, &remote); });
  const std::size_t pass_logins = (logins(server) - logins_before) / 3;
  const double local_pass = best_of(3, [&] {
    copied += tree_pass(util::from_path(source), util::from_path(local_target), nullptr);
  });
  std::printf("pass with nothing to do over %d files (best of 3; first passes copied %zu / %zu)\n",
              FOLDERS * FILES_PER_FOLDER, first_remote, first_local);
  std::printf(
      "  remote tree %.3f s (%zu login per pass), local tree %.3f s, ratio remote/local "
      "%.1f (copied again: %zu)\n",
      remote_pass, pass_logins, local_pass, remote_pass / local_pass, copied);
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

  transfers(server, account, work / "", remote_folder);
  no_change_pass(server, work / "", remote_folder);
  return 0;
}
