#include "foundation/worker_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace TWL_Core {
namespace {

// Touches `bytes` of stack in one frame: far more than a 512 KiB default stack holds.
[[gnu::noinline]] std::size_t use_stack(std::size_t bytes) {
  volatile char* block = static_cast<volatile char*>(__builtin_alloca(bytes));
  for (std::size_t i = 0; i < bytes; i += 4096) block[i] = static_cast<char>(i);
  return bytes;
}

TEST(WorkerThreadTest, GivesTheWorkTheRequestedStack) {
  std::atomic<std::size_t> used{0};
  WorkerThread thread([&] { used = use_stack(2 * 1024 * 1024); });
  thread.join();
  EXPECT_EQ(used, 2u * 1024 * 1024);
  EXPECT_FALSE(thread.joinable());
}

// A stop signal must reach the main thread, whose loop acts on it, never a worker.
TEST(WorkerThreadTest, LeavesTheStopSignalsToTheMainThread) {
  std::atomic<int> blocked{0};
  WorkerThread thread([&] {
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) blocked += sigismember(&mask, signal);
  });
  thread.join();
  EXPECT_EQ(blocked, 4);
  sigset_t own;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &own);
  EXPECT_EQ(sigismember(&own, SIGTERM), 0) << "the creating thread keeps its mask";
}

TEST(WorkerThreadTest, KnowsItsOwnThreadAndJoinsWhenDestroyed) {
  std::atomic<bool> ran{false};
  std::atomic<bool> current_inside{false};
  {
    WorkerThread* self = nullptr;
    std::atomic<bool> ready{false};
    WorkerThread thread([&] {
      while (!ready) {
      }
      current_inside = self->is_current();
      ran = true;
    });
    self = &thread;
    ready = true;
    EXPECT_FALSE(thread.is_current());
  }
  EXPECT_TRUE(ran);
  EXPECT_TRUE(current_inside);
}

}  // namespace
}  // namespace TWL_Core
