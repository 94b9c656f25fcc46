#pragma once
// What the command line asks for. Without arguments the program is the daemon; with them it
// is a short-lived tool: help, version, a check of the configuration, a plan or one pass over
// some or all items, or the encryption of the stored passwords.

#include <optional>
#include <string>
#include <vector>

class CommandLine {
 public:
  enum class Action { Daemon, Help, Version, Check, Plan, Once, EncryptPasswords };

  // Parses the arguments (argv[0] is the program). Wrong arguments leave error() set.
  CommandLine(int argc, const char* const* argv);

  [[nodiscard]] Action action() const { return action_; }
  // The items named after --plan or --once; empty for all enabled items.
  [[nodiscard]] const std::vector<std::string>& items() const { return items_; }
  // One line saying what is wrong with the arguments; nothing when they are fine.
  [[nodiscard]] const std::optional<std::string>& error() const { return error_; }
  // The usage text, one option per line.
  [[nodiscard]] const std::string& usage() const { return usage_; }

 private:
  Action action_ = Action::Daemon;
  std::vector<std::string> items_;
  std::optional<std::string> error_;
  std::string usage_;
};
