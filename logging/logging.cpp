#include "logging/logging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <utility>

#include "foundation/regular_file.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/send_mail.hpp"

namespace TWL_Core {
namespace {

constexpr std::chrono::seconds REPEAT_WINDOW{1800};
constexpr std::size_t REPETITION_LIMIT = 256;
constexpr std::size_t COLLECT_LIMIT = 200;

struct DeferredLine {
  LogLevel level;
  std::string text;
};

// While a thread holds the logger's mutex, anything it logs (a missing translation noticed
// while the repeat note is built, for example) is held back here and written after the lock
// is released: the logger never waits for itself.
thread_local bool inside_logger = false;
thread_local std::vector<DeferredLine> deferred_lines;

class InsideLogger {
 public:
  InsideLogger() { inside_logger = true; }
  ~InsideLogger() { inside_logger = false; }
  InsideLogger(const InsideLogger&) = delete;
  InsideLogger& operator=(const InsideLogger&) = delete;
};

std::string joined(std::initializer_list<std::wstring_view> parts) {
  std::wstring text;
  bool first = true;
  for (auto part : parts) {
    if (!first) text += L' ';
    text += part;
    first = false;
  }
  return util::wstring_to_string(text);
}

std::string path_utf8(const std::wstring& path) { return util::wstring_to_string(path); }

// Appends the line in as few writes as the file takes (one, as a rule, so lines of several
// processes stay whole). True if at least one byte was written.
bool write_line(int fd, std::string_view line) {
  bool wrote = false;
  while (!line.empty()) {
    const ssize_t written = ::write(fd, line.data(), line.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    wrote = true;
    line.remove_prefix(static_cast<std::size_t>(written));
  }
  return wrote;
}

}  // namespace

Logging& Logging::instance() {
  static Logging logging;
  return logging;
}

Logging::Logging()
    : log_file_path_(get_default_log_file_path()),
      editor_path_(L"/System/Applications/TextEdit.app"),
      clock_([] { return std::chrono::steady_clock::now(); }),
      mail_sender_([](const SmtpAccount& account, const std::wstring& to,
                      const std::wstring& subject,
                      const std::string& body) { return send_mail(account, to, subject, body); }) {
  set_log_sink(this);
}

Logging::~Logging() {
  set_log_sink(nullptr);
  std::lock_guard lock(mutex_);
  close_file_locked();
}

LogLevel Logging::get_from_string(std::wstring_view name) {
  for (auto level : {LogLevel::Debug, LogLevel::Info, LogLevel::Warning, LogLevel::Error,
                     LogLevel::FatalError}) {
    if (util::wstring_to_string(name) == log_level_str(level)) return level;
  }
  return LogLevel::Error;
}

std::string Logging::log_level_str(LogLevel level) {
  return std::string(LOG_LEVEL_NAMES.at(static_cast<std::size_t>(level)));
}

LogLevel Logging::get_log_level() const { return log_level_.load(); }

void Logging::set_log_level(LogLevel level) {
  std::lock_guard lock(mutex_);
  log_level_ = level;
}

void Logging::set_origin_tag(char tag) {
  std::lock_guard lock(mutex_);
  origin_tag_ = tag;
}

std::uint16_t Logging::get_retention_days() const {
  std::lock_guard lock(mutex_);
  return retention_days_;
}

void Logging::set_retention_days(std::uint16_t days) {
  std::lock_guard lock(mutex_);
  retention_days_ = days;
}

std::wstring Logging::get_log_file_path_name() const {
  std::lock_guard lock(mutex_);
  return log_file_path_;
}

void Logging::set_log_file_path_name(const std::wstring& path) {
  std::lock_guard lock(mutex_);
  if (path == log_file_path_) return;
  close_file_locked();
  log_file_path_ = path;
  repetitions_.clear();
  open_file_locked();
}

std::wstring Logging::get_editor_path_name() const {
  std::lock_guard lock(mutex_);
  return editor_path_;
}

void Logging::set_editor_path_name(const std::wstring& path) {
  std::lock_guard lock(mutex_);
  editor_path_ = path;
}

void Logging::open_file() {
  std::lock_guard lock(mutex_);
  open_file_locked();
}

void Logging::close_file() {
  std::lock_guard lock(mutex_);
  close_file_locked();
}

void Logging::erase_file() {
  std::lock_guard lock(mutex_);
  close_file_locked();
  std::error_code ignored;
  std::filesystem::remove(path_utf8(log_file_path_), ignored);
  repetitions_.clear();
  open_file_locked();
}

bool Logging::should_log(LogLevel level) const { return accepts(level); }

bool Logging::accepts(LogLevel level) const {
  return level >= log_level_.load() || (level >= LogLevel::Info && collecting_.load());
}

void Logging::collect_messages(bool on) {
  std::lock_guard lock(mutex_);
  if (on) collected_.clear();
  collecting_ = on;
}

std::vector<LogMessage> Logging::take_collected_messages() {
  std::lock_guard lock(mutex_);
  return std::exchange(collected_, {});
}

void Logging::set_monotonic_clock(MonotonicClock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

void Logging::set_mail_sender(MailSender sender) {
  std::lock_guard lock(mutex_);
  mail_sender_ = std::move(sender);
}

void Logging::log(LogLevel level, std::wstring_view text) {
  if (accepts(level)) write(level, util::wstring_to_string(text));
}

void Logging::log(LogLevel level, std::string_view text) {
  if (accepts(level)) write(level, text);
}

void Logging::log(LogLevel level, std::string_view a, std::string_view b) {
  if (accepts(level)) write(level, std::string(a).append(b));
}

void Logging::log(LogLevel level, std::string_view a, MonotonicTime t) {
  if (!accepts(level)) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch());
  write(level, std::string(a).append(std::to_string(seconds.count())));
}

void Logging::log(LogLevel level, std::wstring_view a, std::wstring_view b) {
  if (accepts(level)) write(level, joined({a, b}));
}

void Logging::log(LogLevel level, std::wstring_view a, std::string_view b) {
  if (accepts(level)) write(level, util::wstring_to_string(a) + ' ' + std::string(b));
}

void Logging::log(LogLevel level, std::wstring_view a, std::wstring_view b, std::wstring_view c) {
  if (accepts(level)) write(level, joined({a, b, c}));
}

void Logging::log(LogLevel level, std::wstring_view a, std::wstring_view b, std::wstring_view c,
                  std::wstring_view d) {
  if (accepts(level)) write(level, joined({a, b, c, d}));
}

void Logging::write(LogLevel level, std::string_view text) {
  if (inside_logger) {
    deferred_lines.push_back({level, std::string(text)});
    return;
  }
  std::string line;
  {
    std::lock_guard lock(mutex_);
    InsideLogger inside;
    if (level < log_level_.load() && (level == LogLevel::Debug || !collecting_.load())) return;
    line = write_head(level).append(text).append("\n");
    collect(level, line);
    write_to_file(level, line);
  }
  write_deferred();
  if (level == LogLevel::FatalError) notify_fatal(line);
}

void Logging::write_deferred() {
  auto pending = std::exchange(deferred_lines, {});
  for (auto& deferred : pending) log(deferred.level, std::string_view(deferred.text));
}

std::string Logging::write_head(LogLevel level) const {
  return timestamp() + ' ' + origin_tag_ + ' ' + log_level_str(level) + '\t';
}

void Logging::collect(LogLevel level, const std::string& line) {
  if (level < LogLevel::Info || !collecting_.load() || collected_.size() >= COLLECT_LIMIT) return;
  std::string text = error_text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  collected_.push_back({level, std::move(text)});
}

void Logging::write_to_file(LogLevel level, std::string line) {
  if (level < log_level_.load()) return;
  if (level >= LogLevel::Warning && !report_again(line)) return;
  follow_replaced_file();
  if (!file_.is_open()) return;
  if (write_line(file_.get(), line)) (void)::fsync(file_.get());
}

bool Logging::report_again(std::string& line) {
  const auto now = clock_();
  forget_expired_repetitions(now);
  auto [entry, inserted] = repetitions_.try_emplace(error_text(line), Repetition{now, 0});
  if (inserted) return true;
  Repetition& repetition = entry->second;
  if (now - repetition.time < REPEAT_WINDOW) {
    ++repetition.count;
    return false;
  }
  if (repetition.count > 0) {
    const std::string note =
        translation::translate_utf8("log_message_repeated", {std::to_string(repetition.count)});
    line.insert(line.size() - 1, " " + note);
  }
  repetition = Repetition{now, 0};
  return true;
}

void Logging::forget_expired_repetitions(MonotonicTime now) {
  if (repetitions_.size() < REPETITION_LIMIT) return;
  std::erase_if(repetitions_, [now](const auto& entry) {
    return now - entry.second.time >= REPEAT_WINDOW;
  });
  if (repetitions_.size() >= REPETITION_LIMIT) repetitions_.clear();
}

void Logging::notify_fatal(const std::string& line) {
  const SmtpAccount account = email.smtp_account();
  if (account.server.empty() || account.from.empty()) return;
  const std::wstring address = email.notify_address();
  if (!email.notify_active() || address.empty()) return;
  MailSender sender;
  {
    std::lock_guard lock(mutex_);
    sender = mail_sender_;
  }
  if (!sender || !notify_again(error_text(line))) return;
  const std::string error =
      sender(account, address, translation::translate("fatal_error_mail_subject"), line);
  if (!error.empty()) {
    log(LogLevel::Error,
        translation::translate_utf8("notification_failed", {util::wstring_to_string(address)}),
        std::string_view(error));
  }
}

bool Logging::notify_again(const std::string& text) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  if (text == last_notified_text_ && now - last_notification_time_ < REPEAT_WINDOW) return false;
  last_notified_text_ = text;
  last_notification_time_ = now;
  return true;
}

bool Logging::file_replaced() const {
  struct stat open_file_status {};
  if (::fstat(file_.get(), &open_file_status) != 0) return false;
  struct stat path_status {};
  if (::stat(path_utf8(log_file_path_).c_str(), &path_status) != 0) return true;
  return path_status.st_dev != open_file_status.st_dev ||
         path_status.st_ino != open_file_status.st_ino;
}

void Logging::follow_replaced_file() {
  if (!file_.is_open() || !file_replaced()) return;
  close_file_locked();
  open_file_locked();
}

void Logging::open_file_locked() {
  if (file_.is_open()) return;
  create_dir(log_file_path_);
  std::error_code ignored;
  file_ = open_regular_file(path_utf8(log_file_path_), O_WRONLY | O_APPEND | O_CREAT, ignored);
}

void Logging::close_file_locked() { file_.reset(); }

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
  return text;
}

std::string error_text(std::string_view line) {
  const auto tab = line.find('\t');
  return std::string(tab == std::string_view::npos ? line : line.substr(tab + 1));
}

std::wstring get_default_log_file_path() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return L"/tmp/ternwell.log";
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const std::string base = (cache != nullptr && *cache != '\0') ? cache : std::string(home) + "/.cache";
  return util::string_to_wstring(base + "/ternwell/ternwell.log");
}

void create_dir(const std::wstring& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path_utf8(path)).parent_path(), ignored);
}

}  // namespace TWL_Core
