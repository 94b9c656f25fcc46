#include "tests/support/catalogues.hpp"

#include <clocale>
#include <cstdlib>
#include <locale.h>

#include "foundation/translation.hpp"

namespace TWL_Core::test {

std::filesystem::path build_locale_dir() { return std::filesystem::path(TERNWELL_RUNTIME_DIR) / "locale"; }

std::filesystem::path outdated_locale_dir() {
  return std::filesystem::path(TERNWELL_TEST_FIXTURE_DIR) / "outdated_locale";
}

std::filesystem::path partial_locale_dir() {
  return std::filesystem::path(TERNWELL_TEST_FIXTURE_DIR) / "partial_locale";
}

void use_english_catalogue(const std::filesystem::path& dir) {
  std::setlocale(LC_ALL, "C.UTF-8");
  ::setenv("LANGUAGE", "en", 1);
  translation::init(dir);
}

bool locale_available(const char* name) {
  locale_t locale = ::newlocale(LC_ALL_MASK, name, nullptr);
  if (locale == nullptr) return false;
  ::freelocale(locale);
  return true;
}

}  // namespace TWL_Core::test
