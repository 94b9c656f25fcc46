#include "config/json_nesting.hpp"

namespace TWL_Core::json {

bool nesting_within(std::wstring_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const wchar_t c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == L'\\') {
        escaped = true;
      } else if (c == L'"') {
        in_string = false;
      }
    } else if (c == L'"') {
      in_string = true;
    } else if (c == L'{' || c == L'[') {
      if (++depth > limit) return false;
    } else if ((c == L'}' || c == L']') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace TWL_Core::json
