#include "foundation/log_sink.hpp"

#include <atomic>

#include "foundation/text.hpp"

namespace TWL_Core {
namespace {

std::atomic<LogSink*> registered_sink{nullptr};

}  // namespace

void set_log_sink(LogSink* sink) { registered_sink = sink; }

void log_to_sink(LogLevel level, std::string_view text) {
  LogSink* sink = registered_sink;
  if (sink != nullptr && sink->should_log(level)) sink->log(level, text);
}

void log_to_sink(LogLevel level, std::wstring_view text) {
  LogSink* sink = registered_sink;
  if (sink != nullptr && sink->should_log(level)) sink->log(level, util::wstring_to_string(text));
}

}  // namespace TWL_Core
