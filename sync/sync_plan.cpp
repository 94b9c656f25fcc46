#include "sync/sync_plan.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace TWL_Core {
namespace {

thread_local SyncPlan* current_plan = nullptr;

std::size_t action_index(PlannedAction action) {
  const auto index = static_cast<std::size_t>(action);
  if (index >= PLANNED_ACTION_COUNT) {
    throw std::invalid_argument("planned action out of range: " +
                                std::to_string(static_cast<std::int32_t>(action)));
  }
  return index;
}

}  // namespace

void SyncPlan::add(PlannedStep step) {
  const std::size_t index = action_index(step.action);
  const std::uint64_t counted_bytes = step.action == PlannedAction::DeleteTarget ? 0 : step.bytes;
  // Kept first, so that a failed allocation leaves the counters as they were.
  if (steps_.size() < MAX_STEPS) steps_.push_back(std::move(step));
  ++counts_[index];
  bytes_ += counted_bytes;
}

std::uint64_t SyncPlan::count() const {
  std::uint64_t total = 0;
  for (const std::uint64_t n : counts_) total += n;
  return total;
}

SyncPlanGuard::SyncPlanGuard(SyncPlan* plan) : previous_(current_plan) { current_plan = plan; }

SyncPlanGuard::~SyncPlanGuard() { current_plan = previous_; }

bool planning() { return current_plan != nullptr; }

void plan_step(PlannedStep step) {
  if (current_plan != nullptr) current_plan->add(std::move(step));
}

}  // namespace TWL_Core
