#pragma once
// The thin layer over operating-system interfaces that differ between macOS and Linux.
// Each function has one implementation per platform (platform_macos.cpp, platform_linux.cpp);
// no other code calls such an interface directly.

#include <filesystem>

namespace TWL_Core::platform {

// Absolute path of the running executable; empty if the system cannot tell.
std::filesystem::path executable_path();

}  // namespace TWL_Core::platform
