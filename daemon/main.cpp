// Process entry of ternwell. Without arguments it is the daemon: prepares translation and
// logging, starts the daemon, waits for SIGINT or SIGTERM, stops the daemon. With arguments it
// is the short-lived tool of the command line.

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include "daemon/command_line.hpp"
#include "daemon/command_tool.hpp"
#include "daemon/my_daemon.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace {

// Lock-free, so that the handler may set it whichever thread the signal interrupts.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::unique_ptr<MyDaemon> daemon_instance;

extern "C" void request_stop(int) { stop_requested = true; }

void install_signal_handlers() {
  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);
  // A peer that closes its socket while we write must fail the write, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

// One line in the system log and one in the log file; the log line's empty second part
// keeps the two-part form that ends the text in a blank.
void announce(const std::string& system_log_text, const std::wstring& log_text) {
  syslog(LOG_INFO, "%s", system_log_text.c_str());
  TWL_Core::log_at(TWL_Core::LogLevel::Info, log_text, std::wstring{});
}

int run_tool(const CommandLine& command) {
  if (command.error()) {
    std::cerr << "ternwell: " << *command.error() << "\n" << command.usage();
    return 2;
  }
  TWL_Core::Logging::instance().set_origin_tag('C');
  return CommandTool().run(command);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace TWL_Core;
  translation::init_locale(translation::DEFAULT_LOCALES);
  translation::init(translation::locale_dir());
  const CommandLine command(argc, argv);
  if (command.action() != CommandLine::Action::Daemon) return run_tool(command);
  Logging::instance().set_origin_tag('D');

  daemon_instance = std::make_unique<MyDaemon>();
  install_signal_handlers();
  daemon_instance->start();
  announce(translation::translate_utf8("daemon_running"), translation::translate("daemon_started"));

  while (!stop_requested) ::sleep(1);

  daemon_instance->stop();
  announce(translation::translate_utf8("daemon_stopped"), translation::translate("daemon_stopped"));
  return 0;
}
