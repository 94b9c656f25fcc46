#include "sync/sync_plan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sync/sync_message.hpp"
#include "sync/thread_save_stack.hpp"

namespace TWL_Core {
namespace {

PlannedStep step(PlannedAction action, std::uint64_t bytes, const std::wstring& source = L"src") {
  return PlannedStep{L"item", action, source, L"tgt/" + source, bytes};
}

PlannedAction action_of(std::size_t i) {
  return static_cast<PlannedAction>(i % PLANNED_ACTION_COUNT);
}

TEST(SyncPlanTest, KeepsTheFirst625StepsAndCountsAndSumsAllOfThem) {
  constexpr std::size_t PLANNED = 700;
  SyncPlan plan;
  const SyncPlanGuard guard(&plan);
  for (std::size_t i = 0; i < PLANNED; ++i) {
    plan_step(step(action_of(i), 1000 + i, std::to_wstring(i)));
  }
  // Of 0..699 the DeleteTarget steps are i = 3, 7, ..., 699: 175 of them, summing to
  // 175 * 1000 + (3 + 699) * 175 / 2 bytes that must not count.
  constexpr std::uint64_t ALL_BYTES = PLANNED * 1000 + (PLANNED - 1) * PLANNED / 2;
  constexpr std::uint64_t DELETE_BYTES = 175 * 1000 + (3 + 699) * 175 / 2;
  EXPECT_EQ(plan.count(), PLANNED);
  EXPECT_EQ(plan.counts(), (std::array<std::uint64_t, 4>{175, 175, 175, 175}));
  EXPECT_EQ(plan.bytes(), ALL_BYTES - DELETE_BYTES);
  ASSERT_EQ(plan.steps().size(), SyncPlan::MAX_STEPS);
  for (std::size_t i = 0; i < plan.steps().size(); ++i) {
    const PlannedStep& kept = plan.steps()[i];
    EXPECT_EQ(kept.source, std::to_wstring(i)) << "step " << i << " kept in order";
    EXPECT_EQ(kept.target, L"tgt/" + std::to_wstring(i)) << "step " << i;
    EXPECT_EQ(kept.action, action_of(i)) << "step " << i;
    EXPECT_EQ(kept.bytes, 1000 + i) << "step " << i;
    EXPECT_EQ(kept.item_name, L"item") << "step " << i;
  }
}

TEST(SyncPlanTest, EachActionCountsItselfAndOnlyDeletionAddsNoBytes) {
  const struct {
    PlannedAction action;
    std::uint64_t expected_bytes;
  } cases[] = {
      {PlannedAction::CopyToTarget, 42},
      {PlannedAction::MoveToTarget, 42},
      {PlannedAction::CopyToSource, 42},
      {PlannedAction::DeleteTarget, 0},
  };
  for (const auto& c : cases) {
    const auto index = static_cast<std::size_t>(c.action);
    SyncPlan plan;
    plan.add(step(c.action, 42));
    std::array<std::uint64_t, 4> expected_counts{};
    expected_counts[index] = 1;
    EXPECT_EQ(plan.counts(), expected_counts) << "action " << index;
    EXPECT_EQ(plan.count(), 1u) << "action " << index;
    EXPECT_EQ(plan.bytes(), c.expected_bytes) << "action " << index;
    EXPECT_EQ(plan.steps().size(), 1u) << "action " << index;
  }
}

TEST(SyncPlanTest, AnActionOutsideTheEnumerationIsRefusedWithoutChange) {
  SyncPlan plan;
  plan.add(step(PlannedAction::CopyToTarget, 5));
  for (const std::int32_t bad : {4, -1, 1000}) {
    EXPECT_THROW(plan.add(step(static_cast<PlannedAction>(bad), 7)), std::invalid_argument)
        << "action " << bad;
  }
  EXPECT_EQ(plan.count(), 1u);
  EXPECT_EQ(plan.bytes(), 5u);
  EXPECT_EQ(plan.steps().size(), 1u);
}

TEST(SyncPlanTest, StepsWithoutACurrentPlanAreDropped) {
  EXPECT_FALSE(planning());
  plan_step(step(PlannedAction::CopyToTarget, 1));
  SyncPlan plan;
  {
    const SyncPlanGuard guard(&plan);
    EXPECT_TRUE(planning());
  }
  EXPECT_FALSE(planning());
  plan_step(step(PlannedAction::CopyToTarget, 1));
  EXPECT_EQ(plan.count(), 0u) << "a plan no longer current receives nothing";
}

TEST(SyncPlanTest, NestedGuardsRestoreTheOuterPlan) {
  SyncPlan outer;
  SyncPlan inner;
  {
    const SyncPlanGuard outer_guard(&outer);
    plan_step(step(PlannedAction::CopyToTarget, 1, L"outer 1"));
    {
      const SyncPlanGuard inner_guard(&inner);
      plan_step(step(PlannedAction::CopyToTarget, 2, L"inner"));
      {
        const SyncPlanGuard none(nullptr);
        EXPECT_FALSE(planning());
        plan_step(step(PlannedAction::CopyToTarget, 4, L"dropped"));
      }
    }
    EXPECT_TRUE(planning());
    plan_step(step(PlannedAction::CopyToTarget, 8, L"outer 2"));
  }
  EXPECT_FALSE(planning());
  ASSERT_EQ(outer.steps().size(), 2u);
  EXPECT_EQ(outer.steps()[0].source, L"outer 1");
  EXPECT_EQ(outer.steps()[1].source, L"outer 2");
  EXPECT_EQ(outer.bytes(), 9u);
  ASSERT_EQ(inner.steps().size(), 1u);
  EXPECT_EQ(inner.steps()[0].source, L"inner");
  EXPECT_EQ(inner.bytes(), 2u);
}

TEST(SyncPlanTest, ThePlanIsCurrentOnlyForTheThreadThatInstalledIt) {
  SyncPlan plan;
  const SyncPlanGuard guard(&plan);
  bool other_thread_planning = true;
  std::thread other([&] {
    other_thread_planning = planning();
    plan_step(step(PlannedAction::CopyToTarget, 1));
  });
  other.join();
  EXPECT_FALSE(other_thread_planning);
  EXPECT_EQ(plan.count(), 0u);
}

TEST(ThreadSaveStackTest, PopsTheNewestFirst) {
  ThreadSaveStack<SyncMessage> stack;
  for (std::uint64_t i = 1; i <= 3; ++i) {
    stack.push(SyncMessage(L"text " + std::to_wstring(i), L"detail", i, 10 * i));
  }
  SyncMessage newest;
  EXPECT_EQ(newest, SyncMessage(L"", L"", 0, 0)) << "a default message is empty";
  stack.pop(newest);
  EXPECT_EQ(newest, SyncMessage(L"text 3", L"detail", 3, 30));
  const std::shared_ptr<SyncMessage> next = stack.pop();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(*next, SyncMessage(L"text 2", L"detail", 2, 20));
  EXPECT_EQ(stack.size(), 1u);
}

TEST(ThreadSaveStackTest, PoppingAnEmptyStackThrowsAndLeavesItUsable) {
  ThreadSaveStack<int> stack;
  int destination = 7;
  EXPECT_THROW(stack.pop(destination), EmptyStack);
  EXPECT_EQ(destination, 7);
  try {
    stack.pop();
    ADD_FAILURE() << "pop() on an empty stack returned";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "empty stack");
  }
  stack.push(1);
  EXPECT_EQ(*stack.pop(), 1);
  EXPECT_EQ(stack.size(), 0u);
}

TEST(ThreadSaveStackTest, ConcurrentPushesAndPopsLoseAndDuplicateNothing) {
  constexpr int PRODUCERS = 4;
  constexpr int PER_PRODUCER = 2000;
  constexpr int TOTAL = PRODUCERS * PER_PRODUCER;
  ThreadSaveStack<int> stack;
  std::atomic<int> popped_count{0};
  std::vector<std::vector<int>> popped(2);
  std::vector<std::thread> threads;
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&stack, p] {
      for (int i = 0; i < PER_PRODUCER; ++i) stack.push(p * PER_PRODUCER + i);
    });
  }
  for (auto& received : popped) {
    threads.emplace_back([&stack, &popped_count, &received] {
      while (popped_count.load() < TOTAL) {
        try {
          received.push_back(*stack.pop());
          ++popped_count;
        } catch (const EmptyStack&) {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<int> all = popped[0];
  all.insert(all.end(), popped[1].begin(), popped[1].end());
  std::sort(all.begin(), all.end());
  std::vector<int> expected(TOTAL);
  for (int i = 0; i < TOTAL; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(all, expected);
  EXPECT_EQ(stack.size(), 0u);
}

}  // namespace
}  // namespace TWL_Core
