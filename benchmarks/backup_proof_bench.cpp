// What one backup-proof record costs on a 50 MB record file, against `cp` of the same file
// measured in the same run. Prints the figures and their ratios; asserts nothing.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "config/sync_item.hpp"
#include "sync/backup_proof.hpp"
#include "sync/sync_report.hpp"

namespace {

namespace fs = std::filesystem;
using namespace TWL_Core;

constexpr std::size_t RECORDS = 110000;  // about 51 MB

// A record file in the JSON writer's layout, about 470 bytes per record.
std::string record_file(std::size_t records) {
  std::string text = "{\n    \"Backup proof\": [\n";
  for (std::size_t i = 0; i < records; ++i) {
    text += i == 0 ? "" : ",\n";
    text += "        {\n            \"Time\": \"2024-03-05 14:03:07\",\n";
    text += "            \"Name\": \"Dokumente\",\n";
    text += "            \"Source\": \"/Users/anna/Documents/Projects/Archive/2024\",\n";
    text += "            \"Target\": \"nas:/volume1/backup/anna/Documents/Projects/Archive\",\n";
    text += "            \"Files\": \"" + std::to_string(i) + "\",\n";
    text += "            \"Volume (bytes)\": \"987654321\",\n";
    text += "            \"Status\": \"failed\",\n            \"Errors\": [\n";
    text += "                \"The file cannot be read: /Users/anna/Documents/Projects/x.txt\"\n";
    text += "            ]\n        }";
  }
  return text + "\n    ]\n}\n";
}

// One folder with the record file, shared by all benchmarks and removed at exit.
struct Workplace {
  Workplace() {
    char pattern[] = "/tmp/ternwell-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    item.name = L"Dokumente";
    item.source(std::make_unique<FilesystemPath>(L"/Users/anna/Documents"));
    item.target(std::make_unique<FilesystemPath>(L"/Volumes/Backup/Documents"));
    std::ofstream(file(), std::ios::binary) << record_file(RECORDS);
  }
  ~Workplace() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path file() const { return dir / "Dokumente.json"; }

  fs::path dir;
  SyncItem item;
  SyncReport report;
};

Workplace& workplace() {
  static Workplace place;
  return place;
}

void append_or_fail(benchmark::State& state) {
  auto& place = workplace();
  if (!write_copy_log(place.dir, place.item, 1, place.report)) {
    state.SkipWithError("write_copy_log failed");
  }
}

// A record added to a file this process wrote last: a copy of the file plus the record.
void AppendRecord(benchmark::State& state) {
  append_or_fail(state);
  for (auto _ : state) append_or_fail(state);
  state.counters["file_MB"] = static_cast<double>(fs::file_size(workplace().file())) / 1e6;
}

// The first record after someone else touched the file: one pass over it, then the copy.
void AppendAfterOutsideChange(benchmark::State& state) {
  const fs::path file = workplace().file();
  for (auto _ : state) {
    state.PauseTiming();
    fs::last_write_time(file, fs::last_write_time(file) - std::chrono::seconds(1));
    state.ResumeTiming();
    append_or_fail(state);
  }
}

// A file not in the writer's layout (one extra newline at its end) is read into a tree and
// written whole, as every record used to be.
void AppendReadingTheWholeTree(benchmark::State& state) {
  const fs::path file = workplace().file();
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(file, std::ios::binary | std::ios::app) << "\n";
    state.ResumeTiming();
    append_or_fail(state);
  }
}

// The reference: cp of the same file, and cp followed by a flush of the copy to the device,
// as every record file is flushed before it replaces the old one.
void copy_with(benchmark::State& state, const char* after_copy) {
  const fs::path file = workplace().file();
  const fs::path copy = workplace().dir / "copy.json";
  const std::string command =
      "cp '" + file.string() + "' '" + copy.string() + "'" + after_copy + copy.string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("cp failed");
    state.PauseTiming();
    fs::remove(copy);
    state.ResumeTiming();
  }
}

void CopyWithCp(benchmark::State& state) { copy_with(state, " && true '"); }
void CopyWithCpAndSync(benchmark::State& state) { copy_with(state, " && sync '"); }

BENCHMARK(CopyWithCp)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(CopyWithCpAndSync)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(AppendRecord)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(AppendAfterOutsideChange)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(AppendReadingTheWholeTree)->Unit(benchmark::kMillisecond)->Iterations(1);

// Keeps the real time per iteration of every run next to printing it as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      milliseconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    const auto cp = milliseconds_.find("CopyWithCp/iterations:20");
    const auto cp_sync = milliseconds_.find("CopyWithCpAndSync/iterations:20");
    if (cp == milliseconds_.end() || cp_sync == milliseconds_.end()) return;
    std::printf("\nReference: cp of the %.1f MB file takes %.2f ms, %.2f ms with sync\n",
                static_cast<double>(fs::file_size(workplace().file())) / 1e6, cp->second,
                cp_sync->second);
    for (const auto& [name, time] : milliseconds_) {
      std::printf("%-42s %10.2f ms %8.2f x cp %8.2f x cp+sync\n", name.c_str(), time,
                  time / cp->second, time / cp_sync->second);
    }
  }

 private:
  std::map<std::string, double> milliseconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  workplace();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
