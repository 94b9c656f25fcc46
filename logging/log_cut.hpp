#pragma once
// Shortens the log file to the logger's retention days: dated lines older than the cut's
// start are dropped together with the undated continuation lines that follow them. The file
// is rewritten through "<log>.tmp" and renamed over the log, and the logger reopens it.
// Runs on one thread at a time; other threads' lines logged during the cut are lost.

#include <chrono>
#include <fstream>
#include <string>

#include "logging/logging.hpp"

namespace TWL_Core {

class LogCut {
 public:
  using Time = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

  LogCut();
  // Cuts as of `created` instead of now (for tests).
  explicit LogCut(Time created);
  LogCut(const LogCut&) = delete;
  LogCut& operator=(const LogCut&) = delete;

  // The whole cut; without a log file (or a writable temporary) the logger just reopens it.
  void operator()();
  bool open_files();
  void cut();
  void close_files();

  // True if the line starts with a local "YYYY-MM-DD hh:mm:ss"; `time` receives it.
  static bool get_time_from_line(const std::string& line, Time& time);

 private:
  Logging& logging_;
  const Time created_;
  std::wstring path_;
  std::ifstream input_;
  std::ofstream output_;
};

// Cuts the log at the first call and then at most once per 24 hours.
class DailyLogCut {
 public:
  void operator()(std::chrono::system_clock::time_point now);

 private:
  std::chrono::system_clock::time_point next_due_ = std::chrono::system_clock::time_point::min();
};

}  // namespace TWL_Core
