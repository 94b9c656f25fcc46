#pragma once
// The outcome of copying one file, local or remote.

#include <cstdint>

namespace TWL_Core {

enum class CopyResult : std::int32_t { Copied = 1, Failed = 2, Cancelled = 3 };

}  // namespace TWL_Core
