#pragma once
// The names under which this program writes a copy beside its destination, local or remote,
// until it is complete: "." + (a prefix of) the destination's name + ".ternwell-partial-" + 16
// random lower-case hex digits, at most 255 bytes. Users do not plausibly give their files such
// names, and only files of exactly this form are ever removed as leftovers of a crash.

#include <string>
#include <string_view>

namespace TWL_Core::util {

// A fresh temporary name for a copy to `destination_name` (a file name, not a path).
[[nodiscard]] std::string temporary_copy_name(std::string_view destination_name);
// True if `file_name` has the form above.
[[nodiscard]] bool is_temporary_copy_name(std::string_view file_name);
// True if `file_name` is a temporary copy for `destination_name`.
[[nodiscard]] bool is_temporary_copy_of(std::string_view file_name,
                                        std::string_view destination_name);

}  // namespace TWL_Core::util
