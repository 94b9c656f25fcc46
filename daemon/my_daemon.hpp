#pragma once
// The daemon object: reads the configuration, selects the catalogue language, opens the log
// and runs one worker thread that supervises the process once a second. start and stop are
// idempotent and are called from one thread (main); the destructor stops the daemon.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "foundation/worker_thread.hpp"
#include "logging/log_cut.hpp"

class MyDaemon {
 public:
  MyDaemon() = default;
  ~MyDaemon();
  MyDaemon(const MyDaemon&) = delete;
  MyDaemon& operator=(const MyDaemon&) = delete;

  void start();
  // Returns after the worker thread has ended.
  void stop();

 private:
  void run();
  void load_config();
  void reload_config();
  void supervise_once();
  // Sleeps one second, or less when stop is called meanwhile.
  void pause();

  std::atomic<bool> running_{false};
  TWL_Core::WorkerThread worker_;
  TWL_Core::DailyLogCut daily_cut_;
  std::mutex pause_mutex_;
  std::condition_variable pause_wakeup_;
};
