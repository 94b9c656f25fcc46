#pragma once
// A program started by a test, with an environment of the test's choosing. The destructor
// kills and reaps it if it is still running, so a failed test leaves no stray process.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TWL_Core::test {

class ChildProcess {
 public:
  // Starts `program` with `args` and exactly the variables of `environment` ("NAME=value").
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(int signal) const;
  // The exit code once the process has ended within `timeout`; nothing if it still runs.
  // A process ended by a signal reports 128 + the signal number.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
  // True once the process has a handler installed for `signal`.
  bool catches(int signal) const;
  // True if the process ignores `signal`.
  bool ignores(int signal) const;

 private:
  unsigned long long signal_mask(const std::string& field) const;

  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

// Polls `condition` every 10 ms until it holds or `timeout` has passed.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace TWL_Core::test
