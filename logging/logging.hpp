#pragma once
// The process-wide logger. Writes one UTF-8 line per message ("<time> <origin> <level>\t<text>")
// to a log file shared with other processes, follows the file when it is replaced on disk,
// writes a repeated warning or error at most once per 30 minutes, can collect messages for a
// controlling interface, and mails fatal errors. Every public member is thread-safe. No
// member throws for file problems: a line that cannot be written is lost. Only a regular file
// is written to; a log path naming a FIFO or a device loses its lines, and never blocks.

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_descriptor.hpp"
#include "foundation/log_level.hpp"
#include "foundation/log_sink.hpp"
#include "logging/log_email.hpp"

namespace TWL_Core {

struct LogMessage {
  LogLevel level;
  std::string text;
};

class Logging : public LogSink {
 public:
  using MonotonicTime = std::chrono::steady_clock::time_point;
  using MonotonicClock = std::function<MonotonicTime()>;
  // Sends one mail; returns an empty text on success, else the error text to log.
  using MailSender = std::function<std::string(const SmtpAccount& account, const std::wstring& to,
                                               const std::wstring& subject,
                                               const std::string& body)>;

  struct Repetition {
    MonotonicTime time;        // last written occurrence
    std::uint32_t count = 0;   // occurrences suppressed since
  };

  static Logging& instance();
  ~Logging() override;
  Logging(const Logging&) = delete;
  Logging& operator=(const Logging&) = delete;

  // Exact, case-sensitive level name; anything else (including "None") gives Error.
  static LogLevel get_from_string(std::wstring_view name);
  static std::string log_level_str(LogLevel level);

  LogLevel get_log_level() const;
  void set_log_level(LogLevel level);
  void set_origin_tag(char tag);
  std::uint16_t get_retention_days() const;
  void set_retention_days(std::uint16_t days);
  std::wstring get_log_file_path_name() const;
  // Switches to another file (closing the current one) and forgets the repeat history.
  void set_log_file_path_name(const std::wstring& path);
  std::wstring get_editor_path_name() const;
  void set_editor_path_name(const std::wstring& path);

  // Opens the log file for appending, creating its folders, unless one is open already.
  void open_file();
  void close_file();
  // Deletes the log file and starts a new one.
  void erase_file();

  bool should_log(LogLevel level) const override;
  // Switching on empties the collection; at most 200 messages of Info and above are kept.
  void collect_messages(bool on);
  std::vector<LogMessage> take_collected_messages();

  void log(LogLevel level, std::wstring_view text);
  void log(LogLevel level, std::string_view text) override;
  // a immediately followed by b.
  void log(LogLevel level, std::string_view a, std::string_view b);
  // a followed by "true" or "false".
  template <std::same_as<bool> Bool>
  void log(LogLevel level, std::string_view a, Bool b) {
    log(level, a, std::string_view(b ? "true" : "false"));
  }
  // a followed by the whole seconds of t on the monotonic clock.
  void log(LogLevel level, std::string_view a, MonotonicTime t);
  // Wide parts (and a narrow last part) are joined with single blanks.
  void log(LogLevel level, std::wstring_view a, std::wstring_view b);
  void log(LogLevel level, std::wstring_view a, std::string_view b);
  void log(LogLevel level, std::wstring_view a, std::wstring_view b, std::wstring_view c);
  void log(LogLevel level, std::wstring_view a, std::wstring_view b, std::wstring_view c,
           std::wstring_view d);

  // Fatal-error mail settings; guarded by their own lock.
  LogEmail email;

  // Seams for tests and for the mail transport: the clock behind repeat suppression and the
  // notification memory, and the function that sends a fatal-error mail (send_mail unless replaced).
  void set_monotonic_clock(MonotonicClock clock);
  void set_mail_sender(MailSender sender);

 private:
  Logging();

  bool accepts(LogLevel level) const;
  void write(LogLevel level, std::string_view text);
  void write_deferred();
  std::string write_head(LogLevel level) const;
  void collect(LogLevel level, const std::string& line);
  void write_to_file(LogLevel level, std::string line);
  bool report_again(std::string& line);
  void forget_expired_repetitions(MonotonicTime now);
  void notify_fatal(const std::string& line);
  bool notify_again(const std::string& text);
  bool file_replaced() const;
  void follow_replaced_file();
  void open_file_locked();
  void close_file_locked();

  mutable std::mutex mutex_;
  std::atomic<LogLevel> log_level_{LogLevel::Info};      // written under mutex_
  char origin_tag_ = 'G';                                 // guarded by mutex_
  std::wstring log_file_path_;                            // guarded by mutex_
  std::wstring editor_path_;                              // guarded by mutex_
  std::uint16_t retention_days_ = 7;                      // guarded by mutex_
  std::string last_notified_text_;                        // guarded by mutex_
  MonotonicTime last_notification_time_{};                // guarded by mutex_
  FileDescriptor file_;                                   // guarded by mutex_
  std::map<std::string, Repetition> repetitions_;         // guarded by mutex_
  std::atomic<bool> collecting_{false};                   // written under mutex_
  std::vector<LogMessage> collected_;                     // guarded by mutex_
  MonotonicClock clock_;                                  // guarded by mutex_
  MailSender mail_sender_;                                // guarded by mutex_
};

// Current local time as "YYYY-MM-DD hh:mm:ss.mmm".
std::string timestamp();
// The text of a log line: everything after its first tab (the whole line if it has none).
std::string error_text(std::string_view line);
// XDG_CACHE_HOME (or HOME/.cache) + "/ternwell/ternwell.log"; "/tmp/ternwell.log" without HOME.
std::wstring get_default_log_file_path();
// Creates the missing parent folders of `path`; failures are ignored.
void create_dir(const std::wstring& path);

namespace detail {
inline std::string log_part(const char* text) { return text; }
inline std::wstring log_part(const wchar_t* text) { return text; }
template <typename Part>
Part&& log_part(Part&& part) {
  return std::forward<Part>(part);
}
}  // namespace detail

// Logs through Logging::instance(); literals become strings of their own width.
template <typename... Parts>
void log_at(LogLevel level, Parts&&... parts) {
  Logging::instance().log(level, detail::log_part(std::forward<Parts>(parts))...);
}

// Builds the text only when a line of `level` is written; for lines on paths that run often.
template <typename MakeText>
void log_lazily(LogLevel level, MakeText&& make_text) {
  Logging& logging = Logging::instance();
  if (logging.should_log(level)) logging.log(level, make_text());
}

}  // namespace TWL_Core
