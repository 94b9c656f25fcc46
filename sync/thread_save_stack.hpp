#pragma once
// A stack that several threads may push to and pop from at once; every operation holds the
// stack's mutex for its whole duration. Read from the newest end only.

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

namespace TWL_Core {

// Thrown by ThreadSaveStack::pop on an empty stack, which stays usable.
class EmptyStack : public std::exception {
 public:
  const char* what() const noexcept override { return "empty stack"; }
};

template <typename T>
class ThreadSaveStack {
 public:
  ThreadSaveStack() = default;
  ThreadSaveStack(const ThreadSaveStack&) = delete;
  ThreadSaveStack& operator=(const ThreadSaveStack&) = delete;

  // Adds `value` as the newest element.
  void push(T value) {
    const std::lock_guard lock(mutex_);
    elements_.push_back(std::move(value));
  }

  // Adds `value` as the newest element and drops the oldest ones beyond `capacity`, so a
  // stack nobody reads stays small.
  void push_bounded(T value, std::size_t capacity) {
    const std::lock_guard lock(mutex_);
    elements_.push_back(std::move(value));
    while (elements_.size() > capacity) elements_.pop_front();
  }
  std::size_t size() const {
    const std::lock_guard lock(mutex_);
    return elements_.size();
  }

  // Moves the newest element into `destination` and removes it. Throws EmptyStack when empty.
  void pop(T& destination) {
    const std::lock_guard lock(mutex_);
    if (elements_.empty()) throw EmptyStack();
    destination = std::move_if_noexcept(elements_.back());
    elements_.pop_back();
  }

  // The newest element, removed from the stack. Throws EmptyStack when empty.
  std::shared_ptr<T> pop() {
    const std::lock_guard lock(mutex_);
    if (elements_.empty()) throw EmptyStack();
    auto newest = std::make_shared<T>(std::move_if_noexcept(elements_.back()));
    elements_.pop_back();
    return newest;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<T> elements_;  // guarded by mutex_; the newest at the back
};

}  // namespace TWL_Core
