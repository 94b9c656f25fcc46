#include "daemon/my_daemon.hpp"

#include <chrono>

#include "config/config.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/synchronize.hpp"

using namespace TWL_Core;

MyDaemon::~MyDaemon() { stop(); }

void MyDaemon::start() {
  if (running_.exchange(true)) return;
  Config::instance().pathname(Config::get_root_pathname());
  load_config();
  // The first cut runs here, before main writes the start line: a cut closes the log for its
  // duration, and a line written meanwhile would be lost.
  daily_cut_(std::chrono::system_clock::now());
  worker_ = WorkerThread([this] { run(); });
}

void MyDaemon::stop() {
  if (!running_.exchange(false)) return;
  {
    std::lock_guard lock(pause_mutex_);
    pause_wakeup_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
}

void MyDaemon::load_config() {
  Config& config = Config::instance();
  // Open the current log first, so that problems found while reading reach it; a configured
  // log path takes over as soon as it is read.
  Logging::instance().open_file();
  // A configuration that cannot be read is reported by read and leaves an empty one: the
  // daemon keeps running and picks up the repaired file at its next change.
  (void)config.read(config.pathname());
  RecycleBin::instance().bin_path(config.settings.recycle_bin_path());
  translation::set_language(config.settings.Language);
  Logging::instance().open_file();
  if (auto mismatch = translation::catalogue_mismatch()) log_at(LogLevel::Warning, *mismatch);
}

void MyDaemon::reload_config() {
  Synchronize::destroy();
  load_config();
  log_at(LogLevel::Info, translation::translate("config_reloaded"), Config::instance().pathname());
  Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background);
}

void MyDaemon::run() {
  Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background);
  while (running_) {
    supervise_once();
    pause();
  }
  Synchronize::destroy();
}

void MyDaemon::supervise_once() {
  daily_cut_(std::chrono::system_clock::now());
  if (Config::instance().file_changed_on_disk()) reload_config();
}

void MyDaemon::pause() {
  std::unique_lock lock(pause_mutex_);
  pause_wakeup_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; });
}
