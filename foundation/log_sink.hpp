#pragma once
// Where the foundation's own lines go. Code in this layer cannot know the logger above it, so
// the logger registers itself here as the process's sink when it is created; until a sink is
// registered, such lines are dropped. Thread-safe: the sink is registered once, before other
// threads start, and must stay alive for the rest of the process.

#include <string_view>

#include "foundation/log_level.hpp"

namespace TWL_Core {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // True if a line of `level` would be written.
  virtual bool should_log(LogLevel level) const = 0;
  // Writes one line of UTF-8 text at `level`.
  virtual void log(LogLevel level, std::string_view text) = 0;
};

// Makes `sink` the receiver of foundation lines; nullptr drops them again.
void set_log_sink(LogSink* sink);

// Hands one line to the registered sink, if there is one.
void log_to_sink(LogLevel level, std::string_view text);
void log_to_sink(LogLevel level, std::wstring_view text);

}  // namespace TWL_Core
