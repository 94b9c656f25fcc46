#pragma once
// Wildcard matching for exclusions and file selection: "*" stands for any sequence of
// characters (path separators included), "?" for exactly one, everything else for itself.
// Free of shared state, callable from any thread.

#include <string_view>

namespace TWL_Core::util {

// True if the whole of `text` matches `pattern`, case-sensitively. An empty pattern matches
// only an empty text. Never throws, whatever the pattern holds.
bool wildmatch(std::wstring_view text, std::wstring_view pattern);

}  // namespace TWL_Core::util
