#pragma once
// The outcome of one real run of a sync item: the bytes transferred and the errors met. Code
// deep inside the synchronisers reports into the report that is current for its thread, without
// being handed it. A report is filled only by the thread that made it current; nothing locks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TWL_Core {

class SyncReport {
 public:
  static constexpr std::size_t MAX_ERRORS = 100;

  // Records an error text. The text after MAX_ERRORS becomes the translated
  // "error_list_capped" marker instead; all later texts are ignored.
  void error(std::wstring text);
  // Adds transferred bytes to the volume.
  void add_volume(std::uint64_t bytes) { volume_ += bytes; }

  std::uint64_t volume() const { return volume_; }
  // Error texts in the order reported: at most MAX_ERRORS, then possibly the marker.
  const std::vector<std::wstring>& errors() const { return errors_; }

 private:
  std::uint64_t volume_ = 0;          // sum of all bytes added
  std::vector<std::wstring> errors_;  // at most MAX_ERRORS + 1 entries
};

// Makes a report (or none) current for this thread for the guard's lifetime and restores the
// previous one afterwards. Guards nest; the report must outlive the guard.
class SyncReportGuard {
 public:
  explicit SyncReportGuard(SyncReport* report);
  ~SyncReportGuard();
  SyncReportGuard(const SyncReportGuard&) = delete;
  SyncReportGuard& operator=(const SyncReportGuard&) = delete;

 private:
  SyncReport* const previous_;
};

// SyncReport::error on this thread's current report; nothing when there is none.
void report_sync_error(std::wstring text);
// SyncReport::add_volume on this thread's current report; nothing when there is none.
void report_sync_volume(std::uint64_t bytes);

}  // namespace TWL_Core
