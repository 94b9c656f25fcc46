#pragma once
// Shortens the log file to the logger's retention days: dated lines older than the cut's
// start are dropped together with the undated continuation lines that follow them. The file
// is rewritten through "<log>.tmp", which is flushed to the device and renamed over the log,
// and the logger reopens it. A cut that fails (the log cannot be read, the temporary file
// cannot be written or committed, the log is not a regular file) keeps the old log whole,
// removes the temporary file and logs why. Lines of any length are streamed in bounded pieces.
// Runs on one thread at a time; other threads' lines logged during the cut are lost.

#include <chrono>
#include <string>
#include <string_view>
#include <system_error>

#include "foundation/file_descriptor.hpp"
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

  // The whole cut; without a log file (or a creatable temporary) the logger just reopens it.
  void operator()();
  // Closes the logger's file and opens the log and a fresh temporary file; true if both are open.
  bool open_files();
  // Copies the lines to keep; the first read or write failure ends the copy.
  void cut();
  // Replaces the log by the complete temporary file, or keeps it and logs the failure;
  // reopens the logger's file.
  void close_files();

  // True if the line starts with a local "YYYY-MM-DD hh:mm:ss" (any year of four digits);
  // `time` receives it.
  static bool get_time_from_line(std::string_view line, Time& time);

 private:
  void take_piece(std::string_view piece);
  void start_line();
  void emit(std::string_view bytes);
  void flush_output();
  void finish_last_line();
  void report_failure() const;

  Logging& logging_;
  const Time created_;
  Time cutoff_;
  std::wstring path_;
  FileDescriptor input_;
  FileDescriptor output_;
  std::error_code failure_;  // first failure of the cut; empty while it goes well
  std::string head_;         // the current line's first bytes, until its date is known
  bool in_line_ = false;     // the current line's date is known; its rest is streamed
  bool dropping_ = false;    // the last dated line was older than the cutoff
  std::string pending_;      // bytes to write to the temporary file
};

// Cuts the log at the first call and then at most once per 24 hours.
class DailyLogCut {
 public:
  void operator()(std::chrono::system_clock::time_point now);

 private:
  std::chrono::system_clock::time_point next_due_ = std::chrono::system_clock::time_point::min();
};

}  // namespace TWL_Core
