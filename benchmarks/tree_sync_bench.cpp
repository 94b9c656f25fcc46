// What a tree item costs on many small files, against `rsync -a` measured in the same run on
// the same trees, on the real disk and from the page cache (nothing is dropped from it; every
// run starts from the same warm state, its target removed and the disk flushed beforehand).
// Three source trees: 10,000 files in 100 folders, 100,000 files in 100 folders, and 100,000
// files in one folder (which must also simply work). For each: the first copy into an empty
// target, and a pass with nothing to do (criteria size and time). The safe copy flushes every
// file and its folder to the device; rsync does not, so `rsync -a` + `sync` is printed as the
// like-for-like reference too, and so is `rsync -a --fsync`, which flushes every file as it
// is written. Every pass runs in a child process (this program started again with --sync) so
// that its peak resident memory can be read; rsync's peak is that of its largest process.
// Prints the best time of a few runs, files per second, the ratios (reference time divided by
// ours: above 1 is faster) and the peak memory. Asserts nothing.
//
// The logger stays at its default level Info, as the daemon runs, and writes its lines for
// every copied file into a log file in the benchmark's folder.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "config/sync_item.hpp"
#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_report.hpp"
#include "sync/sync_tree.hpp"

namespace {

namespace fs = std::filesystem;
using namespace TWL_Core;

struct TreeShape {
  const char* name;
  int folders;  // 0: every file directly in the source folder
  int files_per_folder;
  int copy_runs;  // a copy of 100,000 files flushed one by one takes minutes
  int idle_runs;
};

constexpr TreeShape SHAPES[] = {
    {"10,000 files in 100 folders of 100", 100, 100, 3, 3},
    {"100,000 files in 100 folders of 1,000", 100, 1000, 1, 3},
    {"100,000 files in one folder", 0, 100000, 1, 3},
};

// One finished child process: wall time from start to exit, its peak resident memory (its own
// or that of its largest descendant), whether it succeeded, and what it wrote to stdout.
struct Outcome {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
  std::string output;
};

Outcome spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_ends[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    outcome.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.peak_kib = usage.ru_maxrss;
  outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!outcome.ok) std::fprintf(stderr, "failed: %s\n", args.front().c_str());
  return outcome;
}

// Best time and highest peak memory over several runs; files the last run reported.
struct Measure {
  double seconds = 1e9;
  long peak_kib = 0;
  std::string output;

  void add(const Outcome& outcome) {
    seconds = std::min(seconds, outcome.seconds);
    peak_kib = std::max(peak_kib, outcome.peak_kib);
    output = outcome.output;
  }
};

void flush_disk() { (void)spawn({"sync"}); }

// A few hundred bytes to a few KiB of the same content in every run.
std::string file_content(std::uint64_t index) {
  std::string content(200 + (index * 7919) % 3900, '\0');
  std::uint64_t state = 88172645463325252ULL ^ (index * 0x9E3779B97F4A7C15ULL);
  for (auto& byte : content) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>('a' + state % 26);
  }
  return content;
}

std::uint64_t build_tree(const fs::path& root, const TreeShape& shape) {
  std::uint64_t bytes = 0;
  std::uint64_t index = 0;
  char name[32];
  for (int folder = 0; folder < std::max(shape.folders, 1); ++folder) {
    fs::path dir = root;
    if (shape.folders > 0) {
      std::snprintf(name, sizeof name, "folder%03d", folder);
      dir /= name;
    }
    fs::create_directories(dir);
    for (int file = 0; file < shape.files_per_folder; ++file, ++index) {
      std::snprintf(name, sizeof name, "file%06d.txt", file);
      const std::string content = file_content(index);
      const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size())) {
        std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
      }
      if (fd >= 0) ::close(fd);
      bytes += content.size();
    }
  }
  return bytes;
}

// The child side: one tree pass from `source` into `target`; prints the file counter and the
// number of errors reported.
int run_sync(const std::string& source, const std::string& target, const std::string& work) {
  Logging::instance().set_log_file_path_name(util::from_path(fs::path(work) / "ternwell.log"));
  RecycleBin::instance().bin_path(fs::path(work) / "bin");
  Config::instance().settings.DeleteMode = DeleteMode::Permanent;
  CompareItems size_and_time;
  size_and_time.criteria = {CompareItem::Size, CompareItem::Time};
  SyncFlags flags;
  flags.enabled = true;
  const SyncItem item(L"bench", SyncItemType::Tree, util::from_path(source),
                      util::from_path(target), L"*", {}, flags, size_and_time);
  std::atomic<std::size_t> files{0};
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    SyncTree sync(item, files, false);
    sync();
  }
  std::printf("%zu files, %zu errors", files.load(), report.errors().size());
  return 0;
}

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

double rate(std::uint64_t files, double seconds) { return static_cast<double>(files) / seconds; }

void print_line(const char* what, const Measure& m, std::uint64_t files) {
  std::printf("  %-24s %9.3f s %9.0f files/s   peak %7.1f MiB\n", what, m.seconds,
              rate(files, m.seconds), static_cast<double>(m.peak_kib) / 1024.0);
}

struct Reference {
  const char* name;
  double seconds;
};

void print_ours(const char* what, const Measure& m, std::uint64_t files,
                const std::vector<Reference>& references) {
  print_line(what, m, files);
  const char* separator = " ratio";
  std::printf("  %-24s", "");
  for (const auto& reference : references) {
    std::printf("%s %.2f to %s", separator, reference.seconds / m.seconds, reference.name);
    separator = ",";
  }
  std::printf("   (pass: %s)\n", m.output.c_str());
}

struct PeakRow {
  const char* tree;
  long ours_copy, ours_idle, rsync_copy, rsync_idle;
};

PeakRow measure_tree(const fs::path& work, const TreeShape& shape) {
  const fs::path source = work / "source";
  const fs::path ours = work / "target-ternwell";
  const fs::path theirs = work / "target-rsync";
  fs::remove_all(work);
  fs::create_directories(work);
  const auto files = static_cast<std::uint64_t>(std::max(shape.folders, 1)) *
                     static_cast<std::uint64_t>(shape.files_per_folder);
  const std::uint64_t bytes = build_tree(source, shape);
  flush_disk();
  (void)spawn({"sh", "-c", "find '" + source.string() + "' -type f -exec cat {} + >/dev/null"});

  const auto fresh = [&](const fs::path& target) {
    fs::remove_all(target);
    flush_disk();
  };
  const std::vector<std::string> rsync = {"rsync", "-a", source.string() + "/",
                                          theirs.string() + "/"};
  const std::vector<std::string> tree_pass = {self(), "--sync", source.string(), ours.string(),
                                              work.string()};
  std::vector<std::string> rsync_fsync = rsync;
  rsync_fsync.insert(rsync_fsync.begin() + 2, "--fsync");
  Measure rsync_copy, rsync_sync_copy, rsync_fsync_copy, ours_copy, rsync_idle, ours_idle;
  for (int run = 0; run < shape.copy_runs; ++run) {
    fresh(theirs);
    rsync_copy.add(spawn(rsync));
    fresh(theirs);
    Outcome both = spawn(rsync);
    const Outcome flushed = spawn({"sync"});
    both.seconds += flushed.seconds;
    rsync_sync_copy.add(both);
    fresh(theirs);
    rsync_fsync_copy.add(spawn(rsync_fsync));
    fresh(ours);
    ours_copy.add(spawn(tree_pass));
  }
  flush_disk();
  for (int run = 0; run < shape.idle_runs; ++run) {
    rsync_idle.add(spawn(rsync));
    ours_idle.add(spawn(tree_pass));
  }

  std::printf("\n%s, %.1f MiB, on the real disk, from the page cache\n", shape.name,
              static_cast<double>(bytes) / (1 << 20));
  std::printf(" first copy into an empty target, best of %d\n", shape.copy_runs);
  print_line("rsync -a", rsync_copy, files);
  print_line("rsync -a + sync", rsync_sync_copy, files);
  print_line("rsync -a --fsync", rsync_fsync_copy, files);
  print_ours("tree item", ours_copy, files,
             {{"rsync -a", rsync_copy.seconds},
              {"rsync -a + sync", rsync_sync_copy.seconds},
              {"rsync -a --fsync", rsync_fsync_copy.seconds}});
  std::printf(" nothing to do (size and time), best of %d\n", shape.idle_runs);
  print_line("rsync -a", rsync_idle, files);
  print_ours("tree item", ours_idle, files, {{"rsync -a", rsync_idle.seconds}});
  std::fflush(stdout);
  fs::remove_all(work);
  flush_disk();
  return {shape.name, ours_copy.peak_kib, ours_idle.peak_kib, rsync_copy.peak_kib,
          rsync_idle.peak_kib};
}

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--sync") return run_sync(argv[2], argv[3], argv[4]);

  // On the disk, not in a memory file system: /var/tmp survives reboots and is rarely tmpfs.
  char pattern[] = "/var/tmp/ternwell-tree-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;

  // The fixed cost of the child: a pass over an empty tree.
  fs::create_directories(dir / "empty");
  const Outcome empty = spawn(
      {self(), "--sync", (dir / "empty").string(), (dir / "empty-target").string(), dir.string()});
  std::printf("tree item pass over an empty tree: %.3f s, peak %.1f MiB\n", empty.seconds,
              mib(empty.peak_kib));
  std::fflush(stdout);

  // "tree_sync_bench FOLDERS FILES_PER_FOLDER" measures that one tree instead.
  std::vector<TreeShape> shapes(std::begin(SHAPES), std::end(SHAPES));
  if (argc == 3) shapes = {{"the tree asked for", std::atoi(argv[1]), std::atoi(argv[2]), 1, 3}};
  std::vector<PeakRow> peaks;
  for (const auto& shape : shapes) peaks.push_back(measure_tree(dir / "tree", shape));

  std::printf("\npeak resident memory, MiB (rsync: its largest process)\n");
  std::printf("  %-40s %10s %10s %10s %10s\n", "tree", "ours copy", "ours idle", "rsync copy",
              "rsync idle");
  std::printf("  %-40s %10.1f %10.1f %10s %10s\n", "empty", mib(empty.peak_kib),
              mib(empty.peak_kib), "", "");
  for (const auto& row : peaks) {
    std::printf("  %-40s %10.1f %10.1f %10.1f %10.1f\n", row.tree, mib(row.ours_copy),
                mib(row.ours_idle), mib(row.rsync_copy), mib(row.rsync_idle));
  }
  fs::remove_all(dir);
  return 0;
}
