#include "daemon/command_tool.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "config/config.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "foundation/worker_thread.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/synchronize.hpp"

using namespace TWL_Core;

namespace {

using translation::translate_utf8;

constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(200);

std::atomic<bool> interrupted{false};
extern "C" void on_interrupt(int) { interrupted = true; }

std::string text(const std::wstring& wide) { return util::wstring_to_string(wide); }

std::string say(std::string_view key, const std::vector<std::string>& args = {}) {
  return translate_utf8(key, args);
}

const char* action_key(PlannedAction action) {
  switch (action) {
    case PlannedAction::CopyToTarget:
      return "cli_plan_copy";
    case PlannedAction::MoveToTarget:
      return "cli_plan_move";
    case PlannedAction::CopyToSource:
      return "cli_plan_copy_back";
    case PlannedAction::DeleteTarget:
      return "cli_plan_delete";
  }
  return "cli_plan_copy";
}

std::string padded(std::string value, std::size_t width) {
  if (value.size() < width) value.append(width - value.size(), ' ');
  return value;
}

std::string right_aligned(const std::string& value, std::size_t width) {
  return value.size() < width ? std::string(width - value.size(), ' ') + value : value;
}

void print_plan(const SyncPlan& plan) {
  std::size_t width = 0;
  for (const PlannedStep& step : plan.steps()) {
    width = std::max(width, say(action_key(step.action)).size());
  }
  for (const PlannedStep& step : plan.steps()) {
    std::cout << padded(say(action_key(step.action)), width) << "  "
              << right_aligned(std::to_string(step.bytes), 12) << "  " << text(step.source)
              << " -> " << text(step.target) << "\n";
  }
  if (plan.count() > plan.steps().size()) {
    std::cout << say("cli_plan_more", {std::to_string(plan.count() - plan.steps().size())}) << "\n";
  }
  std::cout << say("cli_plan_totals", {std::to_string(plan.count()), std::to_string(plan.bytes())})
            << std::endl;
}

// A progress line that rewrites itself on a terminal; plain lines elsewhere, one per file.
class ProgressDisplay {
 public:
  ProgressDisplay() : terminal_(::isatty(STDOUT_FILENO) != 0) {}

  void show(Synchronize& controller) {
    const SyncMessage message = controller.get_message();
    if (!message.text.empty()) current_ = last_line_of(message.text);
    if (current_.empty()) return;
    const std::string line =
        say("cli_once_progress", {current_, std::to_string(controller.copied_bytes()),
                                  std::to_string(controller.count_files())});
    if (terminal_) {
      std::cout << "\r\033[K" << line << std::flush;
    } else if (current_ != printed_) {
      std::cout << line << "\n";
      printed_ = current_;
    }
  }

  void finish() const {
    if (terminal_ && !current_.empty()) std::cout << "\r\033[K";
  }

 private:
  static std::string last_line_of(const std::wstring& message) {
    return text(message.substr(message.rfind(L'\n') + 1));
  }

  const bool terminal_;
  std::string current_;
  std::string printed_;
};

bool problem(LogLevel level) { return level >= LogLevel::Warning; }

}  // namespace

int CommandTool::run(const CommandLine& command) {
  switch (command.action()) {
    case CommandLine::Action::Check:
      return check();
    case CommandLine::Action::Plan:
      return plan(command.items());
    case CommandLine::Action::Once:
      return once(command.items());
    case CommandLine::Action::EncryptPasswords:
      return encrypt_passwords();
    case CommandLine::Action::Version:
      std::cout << "ternwell " << TERNWELL_VERSION << " (" << say("cli_catalogue_stamp") << " "
                << translation::BUILD_STAMP << ")" << std::endl;
      return 0;
    case CommandLine::Action::Help:
    case CommandLine::Action::Daemon:
      break;
  }
  std::cout << command.usage();
  return 0;
}

bool CommandTool::load_config() {
  Config& config = Config::instance();
  config.pathname(Config::get_root_pathname());
  Logging::instance().open_file();
  const bool read = config.read(config.pathname());
  RecycleBin::instance().bin_path(config.settings.recycle_bin_path());
  translation::set_language(config.settings.Language);
  Logging::instance().open_file();
  if (!read) std::cerr << say("cli_config_unreadable") << text(config.pathname()) << std::endl;
  return read;
}

int CommandTool::check() {
  Logging& logging = Logging::instance();
  logging.collect_messages(true);
  const bool read = load_config();
  const std::vector<LogMessage> messages = logging.take_collected_messages();
  logging.collect_messages(false);
  std::size_t problems = 0;
  for (const LogMessage& message : messages) {
    if (!problem(message.level)) continue;
    ++problems;
    std::cout << Logging::log_level_str(message.level) << ": " << message.text << "\n";
  }
  const Config& config = Config::instance();
  if (!read || problems > 0) {
    std::cout << say("cli_check_problems", {std::to_string(problems), text(config.pathname())})
              << std::endl;
    return 1;
  }
  std::cout << say("cli_check_fine", {std::to_string(config.syncitems().size()),
                                      std::to_string(config.ssh_accounts_snapshot().size())})
            << std::endl;
  return 0;
}

bool CommandTool::select_items(const std::vector<std::string>& items) {
  if (items.empty()) return true;
  Config& config = Config::instance();
  for (const std::string& name : items) {
    if (!config.find_by_name(util::string_to_wstring(name))) {
      std::cerr << say("cli_unknown_item") << name << std::endl;
      return false;
    }
  }
  const std::vector<SyncItem> all = config.syncitems();
  for (std::size_t index = 0; index < all.size(); ++index) {
    SyncItem item = all[index];
    const std::string name = text(item.name);
    item.flags.enabled =
        item.flags.enabled && std::find(items.begin(), items.end(), name) != items.end();
    config.set(index, item);
  }
  return true;
}

int CommandTool::plan(const std::vector<std::string>& items) {
  if (!load_config()) return 1;
  if (!select_items(items)) return 2;
  Synchronize& controller = Synchronize::create(SyncType::Plan, nullptr, SyncRole::Foreground);
  controller.wait();
  print_plan(controller.plan());
  Synchronize::destroy();
  return 0;
}

int CommandTool::once(const std::vector<std::string>& items) {
  if (!load_config()) return 1;
  if (!select_items(items)) return 2;
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
  Synchronize& controller = Synchronize::create(SyncType::Once, nullptr, SyncRole::Foreground);
  std::atomic<bool> done{false};
  WorkerThread waiter([&] {
    controller.wait();
    done = true;
  });
  ProgressDisplay progress;
  while (!done) {
    if (interrupted) Synchronize::stop();
    progress.show(controller);
    std::this_thread::sleep_for(PROGRESS_INTERVAL);
  }
  waiter.join();
  progress.finish();
  const std::size_t files = controller.count_files();
  Synchronize::destroy();
  std::size_t failed = 0;
  for (const SyncItem& item : Config::instance().syncitems()) {
    if (item.last_run && (!item.last_run->reachable || item.last_run->error_count > 0)) ++failed;
  }
  std::cout << say("cli_once_done", {std::to_string(files), std::to_string(failed)}) << std::endl;
  return failed == 0 && !interrupted ? 0 : 1;
}

int CommandTool::encrypt_passwords() {
  if (!load_config()) return 1;
  Config& config = Config::instance();
  if (!config.write(config.pathname())) {
    std::cerr << say("cli_passwords_not_encrypted") << text(config.pathname()) << std::endl;
    return 1;
  }
  std::cout << say("cli_passwords_encrypted") << text(config.pathname()) << std::endl;
  return 0;
}
