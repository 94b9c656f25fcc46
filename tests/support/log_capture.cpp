#include "tests/support/log_capture.hpp"

#include <algorithm>

#include "foundation/text.hpp"
#include "logging/logging.hpp"

namespace TWL_Core::test {

LogCapture::LogCapture() : file_(dir_ / "logs" / "ternwell.log") {
  Logging::instance().set_log_file_path_name(util::string_to_wstring(file_.string()));
}

std::vector<std::string> LogCapture::lines() const { return split_lines(read_file(file_)); }

std::vector<std::string> LogCapture::texts() const {
  std::vector<std::string> texts;
  for (const auto& line : lines()) texts.push_back(error_text(line));
  return texts;
}

std::size_t LogCapture::count(const std::string& fragment) const {
  const auto all = texts();
  return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const auto& text) {
    return text.find(fragment) != std::string::npos;
  }));
}

std::vector<std::string> split_lines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const auto end = content.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::size_t LogCapture::count_lines(const std::string& fragment) const {
  const auto all = lines();
  return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const std::string& line) {
    return line.find(fragment) != std::string::npos;
  }));
}

}  // namespace TWL_Core::test
