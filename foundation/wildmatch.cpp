#include "foundation/wildmatch.hpp"

namespace TWL_Core::util {

// Greedy matching that remembers the last "*" and lets it absorb one more character whenever
// the rest fails. Iterative, so no text is too long for it, and no character but "*" and "?"
// has a meaning of its own.
bool wildmatch(std::wstring_view text, std::wstring_view pattern) {
  constexpr std::size_t none = std::wstring_view::npos;
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star = none;
  std::size_t star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      star_text = t;
    } else if (star != none) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

}  // namespace TWL_Core::util
