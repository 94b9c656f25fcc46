#include "foundation/worker_thread.hpp"

#include <csignal>
#include <system_error>
#include <utility>

namespace TWL_Core {
namespace {

class ThreadAttributes {
 public:
  explicit ThreadAttributes(std::size_t stack_size) {
    if (const int error = ::pthread_attr_init(&attributes_)) throw_error(error);
    if (const int error = ::pthread_attr_setstacksize(&attributes_, stack_size)) {
      ::pthread_attr_destroy(&attributes_);
      throw_error(error);
    }
  }
  ~ThreadAttributes() { ::pthread_attr_destroy(&attributes_); }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  const pthread_attr_t* get() const { return &attributes_; }

  [[noreturn]] static void throw_error(int error) {
    throw std::system_error(error, std::generic_category(), "pthread");
  }

 private:
  pthread_attr_t attributes_{};
};

// Blocks the stop signals on the calling thread for its lifetime, so that a thread created
// meanwhile starts with them blocked too.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t stop_signals;
    ::sigemptyset(&stop_signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&stop_signals, signal);
    ::pthread_sigmask(SIG_BLOCK, &stop_signals, &previous_);
  }
  ~StopSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

extern "C" void* run_work(void* argument) {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(argument));
  (*work)();
  return nullptr;
}

}  // namespace

WorkerThread::WorkerThread(std::function<void()> work, std::size_t stack_size) {
  const ThreadAttributes attributes(stack_size);
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  const StopSignalsBlocked inherited_by_the_new_thread;
  if (const int error = ::pthread_create(&handle_, attributes.get(), run_work, owned.get())) {
    ThreadAttributes::throw_error(error);
  }
  owned.release();  // the new thread owns it now
  started_ = true;
}

WorkerThread::~WorkerThread() {
  if (!started_) return;
  if (is_current()) {
    ::pthread_detach(handle_);  // a thread cannot wait for itself; it ends on its own
  } else {
    join();
  }
}

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : handle_(other.handle_), started_(std::exchange(other.started_, false)) {}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    if (started_ && !is_current()) join();
    handle_ = other.handle_;
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

bool WorkerThread::is_current() const {
  return started_ && ::pthread_equal(handle_, ::pthread_self()) != 0;
}

void WorkerThread::join() {
  ::pthread_join(handle_, nullptr);
  started_ = false;
}

}  // namespace TWL_Core
