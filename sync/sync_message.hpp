#pragma once
// A progress message of the sync controller for a controlling interface: what is being done,
// a detail such as the file concerned, the file counter when the message was made and the size
// of the announced work. Plain data; a default message has empty texts and zero numbers.

#include <cstdint>
#include <string>
#include <utility>

namespace TWL_Core {

struct SyncMessage {
  SyncMessage() = default;
  SyncMessage(std::wstring text, std::wstring detail, std::uint64_t files, std::uint64_t total)
      : text(std::move(text)), detail(std::move(detail)), files(files), total(total) {}

  bool operator==(const SyncMessage&) const = default;

  std::wstring text;
  std::wstring detail;
  std::uint64_t files = 0;  // the controller's file counter at the time of the message
  std::uint64_t total = 0;  // size of the announced work, e.g. the bytes of a file compared
};

}  // namespace TWL_Core
