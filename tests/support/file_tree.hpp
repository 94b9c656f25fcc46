#pragma once
// Folder trees written from, and described as, a compact text: one entry per line, sorted,
//   "docs/"               a folder,
//   "docs/a.txt=hello"    a file and its content,
//   "docs/link->../x"     a symbolic link and where it points.
// A test builds the situation it checks with make_tree and compares sides with describe_tree.

#include <filesystem>
#include <string>
#include <string_view>

namespace TWL_Core::test {

// Creates the entries of `description` below `root` (missing parents too).
void make_tree(const std::filesystem::path& root, std::string_view description);
// Every entry below `root` in the form above, sorted, one per line; links are not followed.
// Empty when `root` does not exist.
std::string describe_tree(const std::filesystem::path& root);

}  // namespace TWL_Core::test
