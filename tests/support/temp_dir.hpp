#pragma once
// A fresh folder below the system's temporary directory, removed with everything in it when
// the object goes out of scope, also after a failed assertion.

#include <filesystem>
#include <string>
#include <string_view>

namespace TWL_Core::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whole content of a file as bytes; empty if it cannot be read.
std::string read_file(const std::filesystem::path& path);
// Writes `content` to `path`, replacing the file; creates missing folders.
void write_file(const std::filesystem::path& path, std::string_view content);

}  // namespace TWL_Core::test
