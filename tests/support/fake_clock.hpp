#pragma once
// A monotonic clock that moves only when told; install it with Logging::set_monotonic_clock.

#include <chrono>
#include <memory>

namespace TWL_Core::test {

class FakeClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  time_point now() const { return *now_; }
  void advance(std::chrono::steady_clock::duration by) { *now_ += by; }
  // A callable that reads this clock; it stays valid while any copy of this clock lives.
  auto reader() const {
    return [now = now_] { return *now; };
  }

 private:
  std::shared_ptr<time_point> now_ =
      std::make_shared<time_point>(std::chrono::steady_clock::time_point{} + std::chrono::hours(1000));
};

}  // namespace TWL_Core::test
