#include "foundation/durable_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/descriptor_io.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/platform.hpp"

namespace TWL_Core::util {
namespace {

namespace fs = std::filesystem;

std::error_code last_error() { return {errno, std::generic_category()}; }

fs::path folder_of(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

void remove_quietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

}  // namespace

fs::path temporary_path_for(const fs::path& path) {
  fs::path temporary = path;
  temporary += ".tmp";
  return temporary;
}

bool flush_file(int fd) { return platform::flush_to_device(fd); }

bool flush_folder(const fs::path& dir) {
  const FileDescriptor folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder.is_open() && ::fsync(folder.get()) == 0;
}

std::error_code replace_file_durably(const fs::path& path, std::string_view bytes, mode_t mode) {
  const fs::path temporary = temporary_path_for(path);
  FileDescriptor file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file.is_open()) return last_error();
  std::error_code error = write_all(file.get(), bytes);
  if (!error && !flush_file(file.get())) error = last_error();
  if (error) {
    file.reset();
    remove_quietly(temporary);
    return error;
  }
  file.reset();
  return commit_temporary_file(temporary, path);
}

std::error_code commit_temporary_file(const fs::path& temporary, const fs::path& path) {
  {
    const FileDescriptor file(::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.is_open() || !flush_file(file.get())) {
      const auto error = last_error();
      remove_quietly(temporary);
      return error;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const auto error = last_error();
    remove_quietly(temporary);
    return error;
  }
  // The content is in place; a folder that cannot be flushed only weakens the guarantee.
  (void)flush_folder(folder_of(path));
  return {};
}

}  // namespace TWL_Core::util
