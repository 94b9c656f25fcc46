// What the safe copy and the content comparison cost on a 1 GiB file, against `cp` followed
// by `cmp` and against `cmp` alone, measured in the same run from the page cache. The safe
// copy flushes its file to the device before it renames it into place; `cp` does not, so
// `cp` + `sync` + `cmp` is printed as the like-for-like reference too. Prints the
// best of three runs and the ratios (reference time divided by ours: above 1 is faster).
// Asserts nothing.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "benchmarks/random_file.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "sync/safe_copy.hpp"
#include "sync/sync_file.hpp"

namespace {

namespace fs = std::filesystem;
using namespace TWL_Core;

constexpr std::size_t FILE_BYTES = std::size_t{1} << 30;
constexpr int RUNS = 3;

double best_seconds(const std::function<void()>& work) {
  double best = 1e9;
  for (int run = 0; run < RUNS; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / "ternwell-safe-copy-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path source = dir / "source.bin";
  const fs::path reference = dir / "cp-copy.bin";
  const fs::path ours = dir / "safe-copy.bin";
  bench::write_random_file(source, FILE_BYTES);
  shell("cat '" + source.string() + "' > /dev/null");  // into the page cache

  const double cp_cmp = best_seconds([&] {
    shell("cp '" + source.string() + "' '" + reference.string() + "' && cmp -s '" +
          source.string() + "' '" + reference.string() + "'");
  });
  const double cp_sync_cmp = best_seconds([&] {
    shell("cp '" + source.string() + "' '" + reference.string() + "' && sync '" +
          reference.string() + "' && cmp -s '" + source.string() + "' '" + reference.string() + "'");
  });
  const double safe = best_seconds([&] {
    fs::remove(ours);
    if (safe_copy(source, ours, {}) != CopyResult::Copied) std::fprintf(stderr, "copy failed\n");
  });
  const double cmp = best_seconds(
      [&] { shell("cmp -s '" + source.string() + "' '" + reference.string() + "'"); });
  const double equal = best_seconds([&] {
    benchmark::DoNotOptimize(util::files_equal(util::from_path(source), util::from_path(ours)));
  });

  const double idle_pass = best_seconds([&] {
    CompareItems size_and_time;
    size_and_time.criteria = {CompareItem::Size, CompareItem::Time};
    const SyncItem item(L"bench", SyncItemType::File, util::from_path(source), util::from_path(ours),
                        L"*", {}, SyncFlags{}, size_and_time);
    std::atomic<std::size_t> files{0};
    SyncFile pass(item, files, false, false);
    pass();
  });

  std::printf("1 GiB file, best of %d runs, from the page cache\n", RUNS);
  std::printf("cp + cmp                 %8.3f s\n", cp_cmp);
  std::printf("cp + sync + cmp          %8.3f s\n", cp_sync_cmp);
  std::printf("safe copy (verified)     %8.3f s   ratio %.2f to cp + cmp, %.2f to cp + sync + cmp\n",
              safe, cp_cmp / safe, cp_sync_cmp / safe);
  std::printf("cmp                      %8.3f s\n", cmp);
  std::printf("content comparison       %8.3f s   ratio %.2f\n", equal, cmp / equal);
  std::printf("file item pass, nothing to do (size and time): %.6f s\n", idle_pass);
  fs::remove_all(dir);
  return 0;
}
