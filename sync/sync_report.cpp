#include "sync/sync_report.hpp"

#include <utility>

#include "foundation/translation.hpp"

namespace TWL_Core {
namespace {

thread_local SyncReport* current_report = nullptr;

}  // namespace

void SyncReport::error(std::wstring text) {
  if (errors_.size() > MAX_ERRORS) return;
  errors_.push_back(errors_.size() == MAX_ERRORS ? translation::translate("error_list_capped")
                                                 : std::move(text));
}

SyncReportGuard::SyncReportGuard(SyncReport* report) : previous_(current_report) {
  current_report = report;
}

SyncReportGuard::~SyncReportGuard() { current_report = previous_; }

void report_sync_error(std::wstring text) {
  if (current_report != nullptr) current_report->error(std::move(text));
}

void report_sync_volume(std::uint64_t bytes) {
  if (current_report != nullptr) current_report->add_volume(bytes);
}

}  // namespace TWL_Core
