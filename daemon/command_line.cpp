#include "daemon/command_line.hpp"

#include <cxxopts.hpp>

namespace {

struct ActionOption {
  const char* name;
  CommandLine::Action action;
};

constexpr ActionOption ACTIONS[] = {
    {"help", CommandLine::Action::Help},
    {"version", CommandLine::Action::Version},
    {"check", CommandLine::Action::Check},
    {"plan", CommandLine::Action::Plan},
    {"once", CommandLine::Action::Once},
    {"encrypt-passwords", CommandLine::Action::EncryptPasswords},
};

cxxopts::Options make_options() {
  cxxopts::Options options("ternwell", "Keeps files, folders and trees in step.");
  options.custom_help("[--check | --plan [ITEM...] | --once [ITEM...] | --encrypt-passwords]");
  options.positional_help("");
  // One option per line, as the usage shows them.
  // clang-format off
  options.add_options()
      ("help", "show this help and exit")
      ("version", "show the version and the catalogue build stamp")
      ("check", "read the configuration as the daemon would and list every problem")
      ("plan", "show what one pass over the named items (default: all enabled) would do")
      ("once", "run one pass over the named items (default: all enabled)")
      ("encrypt-passwords", "store every password of the configuration encrypted")
      ("items", "items", cxxopts::value<std::vector<std::string>>());
  // clang-format on
  options.parse_positional({"items"});
  return options;
}

}  // namespace

CommandLine::CommandLine(int argc, const char* const* argv) {
  cxxopts::Options options = make_options();
  usage_ = options.help();
  if (argc <= 1) return;
  try {
    const cxxopts::ParseResult result = options.parse(argc, argv);
    std::size_t chosen = 0;
    for (const ActionOption& option : ACTIONS) {
      if (result.count(option.name) == 0) continue;
      action_ = option.action;
      ++chosen;
    }
    if (result.count("items") > 0) items_ = result["items"].as<std::vector<std::string>>();
    if (chosen != 1) {
      error_ = chosen == 0 ? "no option given" : "give one option at a time";
    } else if (!items_.empty() && action_ != Action::Plan && action_ != Action::Once) {
      error_ = "only --plan and --once take item names";
    }
  } catch (const cxxopts::exceptions::exception& e) {
    error_ = e.what();
  }
  if (error_) action_ = Action::Help;
}
