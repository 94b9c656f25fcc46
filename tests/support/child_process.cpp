#include "tests/support/child_process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace TWL_Core::test {
namespace {

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

int exit_code_of(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& environment) {
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = environment;
  auto argv_pointers = c_strings(argv);
  auto envp_pointers = c_strings(envp);
  if (::posix_spawn(&pid_, argv[0].c_str(), nullptr, nullptr, argv_pointers.data(),
                    envp_pointers.data()) != 0) {
    throw std::runtime_error("cannot start " + program.string());
  }
}

ChildProcess::~ChildProcess() {
  if (exit_code_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

void ChildProcess::send(int signal) const { ::kill(pid_, signal); }

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  wait_until(
      [this] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) exit_code_ = exit_code_of(status);
        return exit_code_.has_value();
      },
      timeout);
  return exit_code_;
}

unsigned long long ChildProcess::signal_mask(const std::string& field) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  return 0;
}

bool ChildProcess::catches(int signal) const {
  return (signal_mask("SigCgt") >> (signal - 1)) & 1U;
}

bool ChildProcess::ignores(int signal) const {
  return (signal_mask("SigIgn") >> (signal - 1)) & 1U;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace TWL_Core::test
