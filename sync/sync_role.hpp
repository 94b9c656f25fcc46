#pragma once
// Which kind of process synchronises: an interactive foreground process, which has priority,
// or the background daemon.

#include <cstdint>

namespace TWL_Core {

enum class SyncRole : std::int32_t { Foreground = 0, Background = 1 };

}  // namespace TWL_Core
