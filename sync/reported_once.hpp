#pragma once
// Remembers which targets were already reported for a lasting condition (a newer target left
// alone, a content conflict), so that the condition is logged once and again only after it
// went away in between. Thread-safe; the process-wide sets live for the whole process.

#include <mutex>
#include <set>
#include <string>

namespace TWL_Core {

class ReportedOnce {
 public:
  // True when `condition` holds and `key` was not reported yet (it is now). A false condition
  // forgets the key and gives false.
  [[nodiscard]] bool first_report(const std::wstring& key, bool condition);

  // Targets newer than their source that were not copied.
  static ReportedOnce& target_newer();
  // Content conflicts that were not copied.
  static ReportedOnce& content_conflict();

 private:
  std::mutex mutex_;
  std::set<std::wstring> reported_;  // guarded by mutex_
};

}  // namespace TWL_Core
