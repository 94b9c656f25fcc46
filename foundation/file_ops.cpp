#include "foundation/file_ops.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <vector>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "foundation/file_descriptor.hpp"
#include "foundation/log_sink.hpp"
#include "foundation/regular_file.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"

namespace TWL_Core::util {
namespace {

// Large enough that comparing runs at the speed of the disk, not of the calls.
constexpr std::size_t COMPARE_BLOCK_SIZE = 1024 * 1024;

// Fills `block` from `fd` as far as the file goes. Nothing on a read error: a file that
// cannot be read is never taken for one that ends early.
std::optional<std::string_view> read_block(int fd, std::vector<char>& block) {
  std::size_t filled = 0;
  while (filled < block.size()) {
    const ssize_t count = ::read(fd, block.data() + filled, block.size() - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  return std::string_view(block.data(), filled);
}

// The parts joined with single blanks, as the logger joins the parts of one line.
std::wstring joined(std::initializer_list<std::wstring_view> parts) {
  std::wstring text;
  for (const auto part : parts) {
    if (!text.empty()) text += L' ';
    text += part;
  }
  return text;
}

void log_file_system_error(LogLevel level, std::wstring_view text,
                           const std::filesystem::filesystem_error& e) {
  if (level == LogLevel::None) return;
  log_to_sink(level, std::wstring(text) + string_to_wstring(e.what()));
}

void log_unknown_error(std::wstring_view label, std::wstring_view path) {
  log_to_sink(LogLevel::Error, joined({label, path, translation::translate("unknown_error")}));
}

}  // namespace

bool files_equal(std::wstring_view a, std::wstring_view b) {
  std::error_code error;
  const FileDescriptor first = open_regular_file(to_path(a), O_RDONLY, error);
  const FileDescriptor second = open_regular_file(to_path(b), O_RDONLY, error);
  if (!first.is_open() || !second.is_open()) return false;
  std::vector<char> first_block(COMPARE_BLOCK_SIZE);
  std::vector<char> second_block(COMPARE_BLOCK_SIZE);
  while (true) {
    const auto first_bytes = read_block(first.get(), first_block);
    const auto second_bytes = read_block(second.get(), second_block);
    if (!first_bytes || !second_bytes || *first_bytes != *second_bytes) return false;
    if (first_bytes->size() < COMPARE_BLOCK_SIZE) return true;
  }
}

bool rename_file(std::wstring_view from, std::wstring_view to) {
  log_to_sink(LogLevel::Info, joined({L"rename_file", from, to}));
  try {
    std::filesystem::rename(to_path(from), to_path(to));
    return true;
  } catch (const std::filesystem::filesystem_error& e) {
    log_to_sink(LogLevel::Error,
                joined({translation::translate("file_rename_error"), string_to_wstring(e.what())}));
  } catch (...) {
    log_unknown_error(translation::translate("file_rename_error"), from);
  }
  return false;
}

bool remove_file(std::wstring_view path, LogLevel level) {
  try {
    return std::filesystem::remove(to_path(path));
  } catch (const std::filesystem::filesystem_error& e) {
    log_file_system_error(level, L"Error removing file: ", e);
  } catch (...) {
    log_unknown_error(L"remove_file:", path);
  }
  return false;
}

bool set_last_write_time(std::wstring_view path, FileTime ft, LogLevel level) {
  try {
    std::filesystem::last_write_time(to_path(path), ft);
    return true;
  } catch (const std::filesystem::filesystem_error& e) {
    log_file_system_error(level, L"Error setting last write time: ", e);
  } catch (...) {
    log_unknown_error(L"set_last_write_time:", path);
  }
  return false;
}

std::wstring read_utf8_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw std::ios_base::failure("cannot open " + path.string());
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return string_to_wstring(bytes);
}

void write_utf8_file(const std::filesystem::path& path, std::wstring_view text) {
  const std::string bytes = wstring_to_string(text);
  if (bytes.empty() && !text.empty()) {
    throw std::runtime_error("text not convertible to UTF-8: " + path.string());
  }
  std::ofstream out;
  out.exceptions(std::ios::failbit | std::ios::badbit);
  out.open(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
}

void handle_last_error(const std::filesystem::filesystem_error& e) {
  std::ostringstream line;
  line << "what():  " << e.what() << ' ';
  line << "path1(): " << e.path1() << ' ';
  line << "path2(): " << e.path2() << ' ';
  line << "code().value():    " << e.code().value() << ' ';
  line << "code().message():  " << e.code().message() << ' ';
  line << "code().category(): " << e.code().category().name() << ' ';
  log_to_sink(LogLevel::Error, std::string_view(line.str()));
}

}  // namespace TWL_Core::util
