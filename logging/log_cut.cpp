#include "logging/log_cut.hpp"

#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"

namespace TWL_Core {
namespace {

constexpr std::chrono::hours DAY{24};

LogCut::Time now_in_microseconds() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

}  // namespace

LogCut::LogCut() : LogCut(now_in_microseconds()) {}

LogCut::LogCut(Time created) : logging_(Logging::instance()), created_(created) {}

void LogCut::operator()() {
  if (open_files()) {
    cut();
    close_files();
  } else {
    logging_.open_file();
  }
}

bool LogCut::open_files() {
  logging_.close_file();
  path_ = logging_.get_log_file_path_name();
  input_.open(util::to_path(path_), std::ios::binary);
  if (!input_.is_open()) return false;
  output_.open(util::to_path(path_ + L".tmp"), std::ios::binary | std::ios::trunc);
  return output_.is_open();
}

void LogCut::cut() {
  const auto cutoff = created_ - std::chrono::seconds(std::int64_t{logging_.get_retention_days()} * 86400);
  bool dropping = false;
  std::string line;
  while (std::getline(input_, line)) {
    Time time;
    if (get_time_from_line(line, time)) dropping = time < cutoff;
    if (!dropping) output_ << line << '\n';
  }
}

void LogCut::close_files() {
  input_.close();
  output_.close();
  std::error_code error;
  std::filesystem::rename(util::to_path(path_ + L".tmp"), util::to_path(path_), error);
  logging_.open_file();
  if (error) {
    log_at(LogLevel::Error, translation::translate("log_file_not_shortenable"), path_,
           util::string_to_wstring(error.message()));
  }
}

bool LogCut::get_time_from_line(const std::string& line, Time& time) {
  constexpr std::size_t HEAD_LENGTH = 19;
  if (line.size() < HEAD_LENGTH) return false;
  std::tm local{};
  std::istringstream text(line.substr(0, HEAD_LENGTH));
  text >> std::get_time(&local, "%Y-%m-%d %H:%M:%S");
  if (text.fail()) return false;
  local.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == -1) return false;
  time = std::chrono::time_point_cast<std::chrono::microseconds>(
      std::chrono::system_clock::from_time_t(seconds));
  return true;
}

void DailyLogCut::operator()(std::chrono::system_clock::time_point now) {
  if (now < next_due_) return;
  next_due_ = now + DAY;
  LogCut cut;
  cut();
}

}  // namespace TWL_Core
