#pragma once
// The names under which this program writes a copy beside its destination, local or remote,
// until it is complete: "." + (a prefix of) the destination's name + ".ternwell-partial-" + 16
// random lower-case hex digits, at most 255 bytes. Users do not plausibly give their files such
// names, and only files of exactly this form are ever removed as leftovers of a crash.

#include <optional>
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

// Where a file waits while its replacement takes its name (a remote volume cannot rename over
// an existing file): "." + the name + ".ternwell-aside-" + 16 random hex digits.
[[nodiscard]] std::string aside_name(std::string_view destination_name);
// The name of the file that `file_name` holds aside; nothing if `file_name` is no aside name or
// the destination's name was too long to be kept whole in it.
[[nodiscard]] std::optional<std::string> destination_of_aside(std::string_view file_name);

}  // namespace TWL_Core::util
