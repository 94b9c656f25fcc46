#include "sync/safe_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/descriptor_io.hpp"
#include "foundation/durable_file.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/platform.hpp"
#include "foundation/regular_file.hpp"
#include "foundation/temporary_copy_name.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/recycle_bin.hpp"
#include "sync/sync_report.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using translation::translate;

constexpr std::size_t COPY_BLOCK = 8 * 1024 * 1024;
std::wstring wide(const fs::path& path) { return util::from_path(path); }

void remove_quietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

// Removes what a crash left beside `to`: only regular files of exactly the temporary form.
// The leftovers of `to` only (or of every file, for `is_leftover` = is_temporary_copy_name).
template <typename IsLeftover>
void remove_files_in(const fs::path& folder, IsLeftover is_leftover) {
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    std::error_code status_error;
    if (is_leftover(entry->path().filename().string()) &&
        entry->symlink_status(status_error).type() == fs::file_type::regular) {
      remove_quietly(entry->path());
    }
  }
}

void remove_leftovers(const fs::path& to) {
  const std::string destination = to.filename().string();
  remove_files_in(to.parent_path(), [&](std::string_view name) {
    return util::is_temporary_copy_of(name, destination);
  });
}

struct SourceFile {
  FileDescriptor descriptor;
  platform::FileIdentity identity;
};

std::optional<SourceFile> open_source(const fs::path& from) {
  std::error_code error;
  FileDescriptor descriptor = open_regular_file(from, O_RDONLY, error);
  if (!descriptor.is_open()) return std::nullopt;
  const auto identity = platform::file_identity(descriptor.get());
  if (!identity) return std::nullopt;
  return SourceFile{std::move(descriptor), *identity};
}

bool same_state(const platform::FileIdentity& a, const platform::FileIdentity& b) {
  return a.size == b.size && a.modified_seconds == b.modified_seconds &&
         a.modified_nanoseconds == b.modified_nanoseconds;
}

bool set_times_and_mode(int fd, const platform::FileIdentity& source, mode_t mode) {
  const timespec times[2] = {{source.modified_seconds, source.modified_nanoseconds},
                             {source.modified_seconds, source.modified_nanoseconds}};
  return ::fchmod(fd, mode & 07777) == 0 && ::futimens(fd, times) == 0;
}

// Whether `to` is still what the comparison saw: absent, or a file of the same size and time.
bool destination_as_seen(const fs::path& to, const SeenDestination& seen) {
  std::error_code error;
  const auto status = fs::status(to, error);
  if (status.type() == fs::file_type::not_found) return !seen.exists;
  if (error || !seen.exists || status.type() != fs::file_type::regular) return false;
  const auto size = fs::file_size(to, error);
  if (error || size != seen.size) return false;
  const auto time = fs::last_write_time(to, error);
  return !error && util::equal(time, seen.time);
}

// The old destination becomes the next generation, as a second name for the same file where
// the volume allows, so that the destination path is never empty.
bool keep_generation(const fs::path& to) {
  for (unsigned n = 1;; ++n) {
    fs::path generation = to;
    generation += util::to_path(FATHER_SON_SUFFIX);
    generation += std::to_string(n);
    std::error_code error;
    if (fs::exists(fs::symlink_status(generation, error))) continue;
    if (::link(to.c_str(), generation.c_str()) == 0) return true;
    if (errno == EEXIST) continue;
    return ::rename(to.c_str(), generation.c_str()) == 0;
  }
}

class Copy {
 public:
  Copy(const fs::path& from, const fs::path& to, const SafeCopyOptions& options)
      : from_(from),
        from_text_(wide(from)),
        to_(to),
        options_(options),
        temporary_(to.parent_path() / util::temporary_copy_name(to.filename().string())) {}
  Copy(const std::wstring& from_text, const fs::path& to, const SafeCopyOptions& options)
      : from_text_(from_text),
        to_(to),
        options_(options),
        temporary_(to.parent_path() / util::temporary_copy_name(to.filename().string())) {}
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;
  ~Copy() {
    if (!committed_) remove_quietly(temporary_);
  }

  CopyResult run() {
    if (options_.remove_leftovers) remove_leftovers(to_);
    auto source = open_source(from_);
    if (!source) return failed("copy_failed", errno);
    FileDescriptor output(::open(temporary_.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!output.is_open()) return failed("copy_failed", errno);
    const auto copied = copy_blocks(source->descriptor.get(), output.get());
    if (copied != CopyResult::Copied) return copied;
    if (!source_unchanged(*source)) return failed("copy_source_changed");
    if (!util::flush_file(output.get())) return failed("copy_failed", errno);
    if (!util::files_equal(wide(from_), wide(temporary_))) return differs();
    if (!source_unchanged(*source)) return failed("copy_source_changed");
    struct stat mode {};
    if (::fstat(source->descriptor.get(), &mode) != 0 ||
        !set_times_and_mode(output.get(), source->identity, mode.st_mode)) {
      return failed("copy_failed", errno);
    }
    output.reset();
    return commit();
  }

  CopyResult receive(const ContentReceiver& receiver) {
    if (options_.remove_leftovers) remove_leftovers(to_);
    FileDescriptor output(
        ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!output.is_open()) return failed("copy_failed", errno);
    const ReceivedContent received = receiver(output.get());
    if (received.result == CopyResult::Cancelled) return cancelled();
    if (received.result != CopyResult::Copied) return reported_failure();
    if (!util::flush_file(output.get())) return failed("copy_failed", errno);
    const timespec times[2] = {{received.modified, 0}, {received.modified, 0}};
    if (::fchmod(output.get(), received.permissions & 0777) != 0 ||
        ::futimens(output.get(), times) != 0) {
      return failed("copy_failed", errno);
    }
    output.reset();
    return commit();
  }

 private:
  // Copies in blocks, inside the kernel where it can, asking for a stop before each block.
  CopyResult copy_blocks(int input, int output) {
    std::uint64_t total = 0;
    for (;;) {
      if (options_.stop_requested && options_.stop_requested()) return cancelled();
      const long long count = platform::copy_chunk(input, output, COPY_BLOCK);
      if (count < 0) return failed("copy_failed", errno);
      if (count == 0) break;
      total += static_cast<std::uint64_t>(count);
      if (options_.copied) options_.copied(total);
    }
    expected_total_ = total;
    return CopyResult::Copied;
  }

  // The size and time taken when the source was opened must still hold, and every byte of
  // that size must have been read: a read that ended early is no end of the file.
  bool source_unchanged(const SourceFile& source) const {
    const auto now = platform::file_identity(source.descriptor.get());
    return now && same_state(*now, source.identity) &&
           expected_total_ == static_cast<std::uint64_t>(source.identity.size);
  }

  CopyResult commit() {
    if (!destination_as_seen(to_, options_.seen)) {
      const std::wstring text = translate("copy_destination_changed") + wide(to_);
      log_at(LogLevel::Warning, text);
      report_sync_error(text);
      return CopyResult::Failed;
    }
    if (options_.keep_generation && options_.seen.exists && !keep_generation(to_)) {
      return failed("copy_failed", errno);
    }
    if (::rename(temporary_.c_str(), to_.c_str()) != 0) return failed("copy_failed", errno);
    committed_ = true;
    if (options_.flush_folder) (void)util::flush_folder(to_.parent_path());
    return CopyResult::Copied;
  }

  // `error` is the system's error number where a call failed, 0 where nothing failed.
  CopyResult failed(std::string_view reason_key, int error = 0) {
    std::wstring reason = translate(reason_key);
    if (error != 0) {
      reason += L" " + util::string_to_wstring(std::error_code(error, std::generic_category()).message());
    }
    log_at(LogLevel::Error, translate("copying_label"), from_text_, wide(to_), reason);
    return reported_failure();
  }

  CopyResult reported_failure() {
    report_sync_error(translate("copy_failed_for") + from_text_ + L" -> " + wide(to_));
    return CopyResult::Failed;
  }

  CopyResult differs() {
    log_at(LogLevel::Error, translate("copying_label"), from_text_, wide(to_),
           translate("copy_verification_differs"));
    report_sync_error(translate("copied_file_differs") + wide(to_));
    return CopyResult::Failed;
  }

  CopyResult cancelled() {
    log_at(LogLevel::Info, translate("copy_cancelled"), from_text_);
    return CopyResult::Cancelled;
  }

  const fs::path from_;
  const std::wstring from_text_;
  const fs::path& to_;
  const SafeCopyOptions& options_;
  const fs::path temporary_;
  std::uint64_t expected_total_ = 0;
  bool committed_ = false;
};

}  // namespace

bool is_temporary_copy_name(std::string_view file_name) {
  return util::is_temporary_copy_name(file_name);
}

void remove_temporary_copies(const fs::path& folder) {
  remove_files_in(folder, [](std::string_view name) { return is_temporary_copy_name(name); });
}

CopyResult safe_copy(const fs::path& from, const fs::path& to, const SafeCopyOptions& options) {
  Copy copy(from, to, options);
  return copy.run();
}

CopyResult safe_receive(const std::wstring& from, const ContentReceiver& receive,
                        const fs::path& to, const SafeCopyOptions& options) {
  Copy copy(from, to, options);
  return copy.receive(receive);
}

}  // namespace TWL_Core
