#pragma once
// A bound on how deeply JSON text may nest before it is handed to the property-tree reader,
// which recurses once per level: a small file nested thousands of levels deep would otherwise
// exhaust a thread's stack (512 KiB on macOS's secondary threads). Callable from any thread.

#include <cstddef>
#include <string_view>

namespace TWL_Core::json {

// Deeper than any configuration or backup-proof file ever nests, far below what a stack holds.
inline constexpr std::size_t MAX_NESTING = 64;

// True if no object or array in `text` lies more than `limit` levels deep. Brackets inside
// strings do not count. Looks at the brackets only; whether the text is valid JSON is left
// to the reader.
[[nodiscard]] bool nesting_within(std::wstring_view text, std::size_t limit = MAX_NESTING);

}  // namespace TWL_Core::json
