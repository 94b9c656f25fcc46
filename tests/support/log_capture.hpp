#pragma once
// Points the process-wide logger at a fresh file and reads back what it wrote.

#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace TWL_Core::test {

class LogCapture {
 public:
  LogCapture();

  const std::filesystem::path& file() const { return file_; }
  // Every line of the log file, without line ends.
  std::vector<std::string> lines() const;
  // The text part of every line (after the tab).
  std::vector<std::string> texts() const;
  // Number of lines whose text contains `fragment`.
  std::size_t count(const std::string& fragment) const;
  // Number of whole lines (level included, e.g. "Error\ttext") that contain `fragment`.
  std::size_t count_lines(const std::string& fragment) const;

 private:
  TempDir dir_;
  std::filesystem::path file_;
};

// Splits `content` at newlines; a last line without newline is kept.
std::vector<std::string> split_lines(const std::string& content);

}  // namespace TWL_Core::test
