#pragma once
// A file of pseudo-random bytes for the benchmarks: incompressible, and the same in every run.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace TWL_Core::bench {

// Writes `bytes` (a multiple of 1 MiB) pseudo-random bytes to `path`.
inline void write_random_file(const std::filesystem::path& path, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::string block(std::size_t{1} << 20, '\0');
  std::uint64_t state = 88172645463325252ULL;
  for (std::size_t written = 0; written < bytes; written += block.size()) {
    for (auto& byte : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      byte = static_cast<char>(state);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

}  // namespace TWL_Core::bench
