#include "daemon/my_daemon.hpp"

#include <chrono>

#include "foundation/translation.hpp"
#include "logging/logging.hpp"

using namespace TWL_Core;

MyDaemon::~MyDaemon() { stop(); }

void MyDaemon::start() {
  if (running_.exchange(true)) return;
  load_config();
  worker_ = std::thread(&MyDaemon::run, this);
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
  // An empty language keeps the one the environment chose; the configured one replaces it
  // once the configuration is read.
  translation::set_language({});
  Logging::instance().open_file();
  if (auto mismatch = translation::catalogue_mismatch()) log_at(LogLevel::Warning, *mismatch);
}

void MyDaemon::run() {
  while (running_) {
    supervise_once();
    pause();
  }
}

void MyDaemon::supervise_once() {}

void MyDaemon::pause() {
  std::unique_lock lock(pause_mutex_);
  pause_wakeup_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; });
}
