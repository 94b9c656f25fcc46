#pragma once
// The short-lived tool behind the command-line options: it reads the configuration as the
// daemon does, writes to the terminal in the user's language and to the log as usual, and
// runs passes in the foreground role, so that a running daemon pauses its own meanwhile.
// Exit statuses: 0 success, 1 a problem found or a pass with errors, 2 wrong arguments.

#include <string>
#include <vector>

#include "daemon/command_line.hpp"

class CommandTool {
 public:
  // Runs what the command line asks for (any action but Daemon) and returns the exit status.
  [[nodiscard]] int run(const CommandLine& command);

 private:
  int check();
  int plan(const std::vector<std::string>& items);
  int once(const std::vector<std::string>& items);
  int encrypt_passwords();

  // Reads the configuration as the daemon does; false (printed) when it cannot be read.
  bool load_config();
  // Leaves only the named items enabled; false (printed) when a name matches no item.
  bool select_items(const std::vector<std::string>& items);
};
