#include "tests/support/file_tree.hpp"

#include <algorithm>
#include <sstream>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace TWL_Core::test {
namespace fs = std::filesystem;

void make_tree(const fs::path& root, std::string_view description) {
  std::istringstream lines{std::string(description)};
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (const auto arrow = line.find("->"); arrow != std::string::npos) {
      const fs::path link = root / line.substr(0, arrow);
      fs::create_directories(link.parent_path());
      fs::create_symlink(line.substr(arrow + 2), link);
    } else if (const auto equals = line.find('='); equals != std::string::npos) {
      write_file(root / line.substr(0, equals), line.substr(equals + 1));
    } else {
      fs::create_directories(root / line);
    }
  }
}

std::string describe_tree(const fs::path& root) {
  std::error_code ec;
  if (!fs::exists(root, ec)) return {};
  std::vector<std::pair<std::string, std::string>> entries;  // path, what stands there
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      entries.emplace_back(relative, "->" + fs::read_symlink(it->path()).string());
    } else if (it->is_directory()) {
      entries.emplace_back(relative, "/");
    } else {
      entries.emplace_back(relative, "=" + read_file(it->path()));
    }
  }
  std::sort(entries.begin(), entries.end());
  std::string text;
  for (const auto& [path, what] : entries) text += path + what + "\n";
  return text;
}

}  // namespace TWL_Core::test
