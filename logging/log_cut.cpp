#include "logging/log_cut.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <vector>

#include "foundation/descriptor_io.hpp"
#include "foundation/durable_file.hpp"
#include "foundation/regular_file.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"

namespace TWL_Core {
namespace {

constexpr std::chrono::hours DAY{24};
constexpr std::size_t HEAD_LENGTH = 19;  // "YYYY-MM-DD hh:mm:ss"
constexpr std::size_t PIECE_SIZE = 64 * 1024;
constexpr std::time_t MAX_SECONDS = LogCut::Time::duration::max().count() / 1000000;

LogCut::Time now_in_microseconds() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

std::error_code last_error() { return {errno, std::generic_category()}; }

std::filesystem::path temporary_path(const std::wstring& path) {
  return util::temporary_path_for(util::to_path(path));
}

}  // namespace

LogCut::LogCut() : LogCut(now_in_microseconds()) {}

LogCut::LogCut(Time created) : logging_(Logging::instance()), created_(created), cutoff_(created) {}

void LogCut::operator()() {
  if (open_files()) {
    cut();
    close_files();
    return;
  }
  logging_.open_file();
  report_failure();
}

bool LogCut::open_files() {
  logging_.close_file();
  path_ = logging_.get_log_file_path_name();
  std::error_code error;
  input_ = open_regular_file(util::to_path(path_), O_RDONLY, error);
  if (!input_.is_open()) {
    // No log yet is nothing to cut; anything else under its name is worth a line.
    if (error != std::errc::no_such_file_or_directory) failure_ = error;
    return false;
  }
  output_ =
      open_regular_file(temporary_path(path_), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, error);
  return output_.is_open();
}

void LogCut::cut() {
  cutoff_ = created_ - std::chrono::seconds(std::int64_t{logging_.get_retention_days()} * 86400);
  std::vector<char> buffer(PIECE_SIZE);  // on the heap: secondary threads may have small stacks
  while (!failure_) {
    const ssize_t count = ::read(input_.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) failure_ = last_error();
    if (count <= 0) break;
    take_piece(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
  }
  if (!failure_) finish_last_line();
  if (!failure_) flush_output();
}

// Splits a piece of the log into lines. Only a line's first HEAD_LENGTH bytes are held until
// its date is known; the rest of the line streams through, however long it is.
void LogCut::take_piece(std::string_view piece) {
  while (!piece.empty() && !failure_) {
    if (!in_line_) {
      const std::size_t wanted = HEAD_LENGTH - head_.size();
      const std::size_t head_end = std::min(piece.find('\n'), wanted);
      head_.append(piece.substr(0, head_end));
      piece.remove_prefix(std::min(head_end, piece.size()));
      if (head_.size() < HEAD_LENGTH && piece.empty()) return;
      start_line();
    }
    const std::size_t newline = piece.find('\n');
    const std::size_t length = newline == std::string_view::npos ? piece.size() : newline + 1;
    if (!dropping_) emit(piece.substr(0, length));
    piece.remove_prefix(length);
    if (newline != std::string_view::npos) in_line_ = false;
  }
}

// The head of a line is complete (or the line ended before): a date decides whether this
// line and its undated followers are dropped.
void LogCut::start_line() {
  Time time;
  if (get_time_from_line(head_, time)) dropping_ = time < cutoff_;
  if (!dropping_) emit(head_);
  head_.clear();
  in_line_ = true;
}

void LogCut::finish_last_line() {
  if (!in_line_ && !head_.empty()) start_line();
  if (in_line_ && !dropping_) emit("\n");
  in_line_ = false;
}

void LogCut::emit(std::string_view bytes) {
  pending_.append(bytes);
  if (pending_.size() >= PIECE_SIZE) flush_output();
}

void LogCut::flush_output() {
  if (const auto error = util::write_all(output_.get(), pending_)) failure_ = error;
  pending_.clear();
}

void LogCut::close_files() {
  input_.reset();
  const std::filesystem::path temporary = temporary_path(path_);
  // Flushed through our own descriptor, so a write error the device reports late is seen.
  if (!failure_ && !util::flush_file(output_.get())) failure_ = last_error();
  output_.reset();
  if (failure_) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
  } else {
    failure_ = util::commit_temporary_file(temporary, util::to_path(path_));
  }
  logging_.open_file();
  report_failure();
}

void LogCut::report_failure() const {
  if (!failure_) return;
  log_at(LogLevel::Error, translation::translate("log_file_not_shortenable"), path_,
         util::string_to_wstring(failure_.message()));
}

bool LogCut::get_time_from_line(std::string_view line, Time& time) {
  if (line.size() < HEAD_LENGTH) return false;
  std::tm local{};
  std::istringstream text{std::string(line.substr(0, HEAD_LENGTH))};
  text >> std::get_time(&local, "%Y-%m-%d %H:%M:%S");
  if (text.fail()) return false;
  local.tm_isdst = -1;
  // mktime sets the weekday only on success: its result -1 is also one second before 1970.
  local.tm_wday = -1;
  const std::time_t seconds = std::mktime(&local);
  if (local.tm_wday < 0 || seconds > MAX_SECONDS || seconds < -MAX_SECONDS) return false;
  time = Time(std::chrono::seconds(seconds));
  return true;
}

void DailyLogCut::operator()(std::chrono::system_clock::time_point now) {
  if (now < next_due_) return;
  next_due_ = now + DAY;
  LogCut cut;
  cut();
}

}  // namespace TWL_Core
