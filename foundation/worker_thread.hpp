#pragma once
// A joinable thread with a stack of a size we choose. std::thread takes the platform's
// default, which is 512 KiB for secondary threads on macOS and 8 MiB on Linux; the daemon's
// threads get the same generous stack everywhere. The stop signals (INT, TERM, HUP, QUIT) are
// blocked on such threads: they are the main thread's to take. Move-only; the owner joins
// before the object dies (the destructor joins if the owner did not).

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace TWL_Core {

class WorkerThread {
 public:
  // Stack of every thread the daemon starts.
  static constexpr std::size_t STACK_SIZE = 8 * 1024 * 1024;

  WorkerThread() = default;
  // Starts `work` on a new thread with `stack_size` bytes of stack. Throws std::system_error
  // when the thread cannot be created.
  explicit WorkerThread(std::function<void()> work, std::size_t stack_size = STACK_SIZE);
  ~WorkerThread();
  WorkerThread(WorkerThread&& other) noexcept;
  WorkerThread& operator=(WorkerThread&& other) noexcept;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // True while a started thread has not been joined.
  bool joinable() const { return started_; }
  // True when called on this thread itself.
  bool is_current() const;
  // Waits for the thread to end. Requires: joinable() and not is_current().
  void join();

 private:
  pthread_t handle_{};
  bool started_ = false;
};

}  // namespace TWL_Core
