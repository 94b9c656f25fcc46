#pragma once
// Severity of a log message; ordered, the value is the index into LOG_LEVEL_NAMES.

#include <array>
#include <cstdint>
#include <string_view>

namespace TWL_Core {

enum class LogLevel : std::int32_t { Debug = 0, Info = 1, Warning = 2, Error = 3, FatalError = 4, None = 5 };

inline constexpr std::array<std::string_view, 6> LOG_LEVEL_NAMES{
    "Debug", "Info", "Warning", "Error", "FatalError", "None"};

}  // namespace TWL_Core
