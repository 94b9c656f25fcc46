#pragma once
// Message catalogues for tests that run in-process. Each helper selects a locale under which
// gettext honours LANGUAGE and binds the text domain to one of the build's catalogue folders.

#include <filesystem>

namespace TWL_Core::test {

// The catalogues shipped beside the daemon in this build.
std::filesystem::path build_locale_dir();
// The build's catalogues stamped as if they came from another build.
std::filesystem::path outdated_locale_dir();
// An English catalogue of another build that lacks nearly every key.
std::filesystem::path partial_locale_dir();

// Selects C.UTF-8 with LANGUAGE=en and binds the text domain to `dir`.
void use_english_catalogue(const std::filesystem::path& dir);

// True if the system accepts the named locale (it has been generated).
bool locale_available(const char* name);

}  // namespace TWL_Core::test
