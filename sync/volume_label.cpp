#include "sync/volume_label.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core {
namespace {

// The parts of "<label> (<letter>:" at the start of a path.
struct VolumePrefix {
  std::wstring_view label;
  std::wstring_view drive;  // letter and colon
  std::size_t end;          // index just after the colon
};

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool is_label(std::wstring_view label) {
  return !label.empty() && label.find_first_of(L"/\\():") == std::wstring_view::npos;
}

std::optional<VolumePrefix> volume_prefix(std::wstring_view path) {
  const auto open = path.find(L'(');
  if (open == std::wstring_view::npos || open < 2 || path[open - 1] != L' ') return std::nullopt;
  const auto label = path.substr(0, open - 1);
  if (!is_label(label) || path.size() < open + 3) return std::nullopt;
  if (!is_drive_letter(path[open + 1]) || path[open + 2] != L':') return std::nullopt;
  return VolumePrefix{label, path.substr(open + 1, 2), open + 3};
}

bool closed(std::wstring_view path, const VolumePrefix& prefix) {
  return prefix.end < path.size() && path[prefix.end] == L')';
}

std::string utf8(const std::wstring& text) { return util::wstring_to_string(text); }

}  // namespace

bool path_contains_volume_name(const std::wstring& path) {
  const auto prefix = volume_prefix(path);
  const bool contains = prefix && closed(path, *prefix);
  log_at(LogLevel::Debug, "path_contains_volume_name " + utf8(path) + ": ", contains);
  return contains;
}

std::wstring volume_name(const std::wstring& path) {
  log_at(LogLevel::Debug, "volume_name() " + utf8(path));
  if (!path_contains_volume_name(path)) return {};
  return std::wstring(volume_prefix(path)->label);
}

std::wstring root_name(const std::wstring& path) {
  log_at(LogLevel::Debug, "root_name: " + utf8(path));
  if (const auto prefix = volume_prefix(path)) {
    if (!closed(path, *prefix)) {
      throw std::runtime_error(translation::translate_utf8("invalid_path") + utf8(path));
    }
    return std::wstring(prefix->drive);
  }
  const std::wstring result = util::from_path(util::to_path(path).root_name());
  log_at(LogLevel::Debug, "root_name returns: " + utf8(result));
  return result;
}

std::wstring without_volume_spec(const std::wstring& path) {
  log_at(LogLevel::Debug, "without_volume_spec: " + utf8(path));
  if (!path_contains_volume_name(path)) return path;
  return root_name(path) + path.substr(volume_prefix(path)->end + 1);
}

}  // namespace TWL_Core
