#include "sync/reported_once.hpp"

namespace TWL_Core {

bool ReportedOnce::first_report(const std::wstring& key, bool condition) {
  const std::lock_guard lock(mutex_);
  if (!condition) {
    reported_.erase(key);
    return false;
  }
  return reported_.insert(key).second;
}

ReportedOnce& ReportedOnce::target_newer() {
  static ReportedOnce instance;
  return instance;
}

ReportedOnce& ReportedOnce::content_conflict() {
  static ReportedOnce instance;
  return instance;
}

}  // namespace TWL_Core
