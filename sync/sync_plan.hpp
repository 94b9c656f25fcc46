#pragma once
// Dry-run plans: the actions a synchroniser would take, described as steps and collected in the
// plan that is current for the calling thread. A plan is filled only by the thread that made it
// current, so nothing here locks; a plan may be read by any thread once its guard has ended.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TWL_Core {

enum class PlannedAction : std::int32_t {
  CopyToTarget = 0,  // copy the source file over or to the target
  MoveToTarget = 1,  // copy the source to the target, then delete the source
  CopyToSource = 2,  // copy the target back to the source
  DeleteTarget = 3,  // delete the target whose source is gone
};

inline constexpr std::size_t PLANNED_ACTION_COUNT = 4;

struct PlannedStep {
  std::wstring item_name;
  PlannedAction action = PlannedAction::CopyToTarget;
  std::wstring source;
  std::wstring target;
  std::uint64_t bytes = 0;  // size of the file concerned
};

// The steps of one dry run. Keeps the first MAX_STEPS steps; the counters and the byte sum
// cover every step ever added.
class SyncPlan {
 public:
  static constexpr std::size_t MAX_STEPS = 625;

  // Counts the step and adds its bytes (except for DeleteTarget); keeps it while there is room.
  // Throws std::invalid_argument, changing nothing, for an action outside PlannedAction.
  void add(PlannedStep step);
  // Number of steps added, kept or not.
  std::uint64_t count() const;

  const std::vector<PlannedStep>& steps() const { return steps_; }
  // Steps added per action, indexed by the action's value.
  const std::array<std::uint64_t, PLANNED_ACTION_COUNT>& counts() const { return counts_; }
  // Sum of the bytes of every step added except DeleteTarget.
  std::uint64_t bytes() const { return bytes_; }

 private:
  std::vector<PlannedStep> steps_;                            // at most MAX_STEPS, in order added
  std::array<std::uint64_t, PLANNED_ACTION_COUNT> counts_{};  // includes steps not kept
  std::uint64_t bytes_ = 0;
};

// Makes a plan (or none) current for this thread for the guard's lifetime and restores the
// previous one afterwards. Guards nest; the plan must outlive the guard.
class SyncPlanGuard {
 public:
  explicit SyncPlanGuard(SyncPlan* plan);
  ~SyncPlanGuard();
  SyncPlanGuard(const SyncPlanGuard&) = delete;
  SyncPlanGuard& operator=(const SyncPlanGuard&) = delete;

 private:
  SyncPlan* const previous_;
};

// True if this thread has a current plan.
bool planning();

// Adds the step to this thread's current plan; drops it when there is none.
void plan_step(PlannedStep step);

}  // namespace TWL_Core
