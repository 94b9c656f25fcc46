#pragma once
// Message keys to display texts through the gettext catalogues of the text domain "ternwell".
// Owns the process locale, the catalogue directory beside the executable, the catalogue
// language (through the environment variable LANGUAGE) and the build-stamp check.
// init_locale, init and set_language change process-wide state and must not run concurrently;
// translate and translate_utf8 are safe from any thread once init has run.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TWL_Core::translation {

inline constexpr const char* TEXT_DOMAIN = "ternwell";

// Locales tried, in order, when the environment selects none (or "C"/"POSIX").
inline const std::vector<std::string> DEFAULT_LOCALES{"de_DE.UTF-8", "de_DE", "de"};

// 40 lower-case hex characters identifying this build; its catalogues carry the same text
// as the translation of "catalogue_stamp".
extern const char BUILD_STAMP[];

// Sets the locale from the environment; falls back to the first accepted name of `names`
// when the messages locale comes out as "C" or "POSIX".
void init_locale(const std::vector<std::string>& names);

// The "locale" folder beside the running executable; empty if there is none.
std::filesystem::path locale_dir();

// Binds the text domain to `dir` (an empty path keeps gettext's default search) and selects
// it. Remembers LANGUAGE as found; forces LANGUAGE=en when no catalogue answers.
void init(const std::filesystem::path& dir);

// Selects the catalogue language: `lang` if not empty, else LANGUAGE as it was at init.
// Falls back to English when no catalogue answers for the choice.
void set_language(const std::string& lang);

// The translation of `key`, or the key itself when the catalogue lacks it (reported once per
// key and process with a Warning line). Placeholders %1..%9 take the arguments in order.
std::string translate_utf8(std::string_view key);
std::string translate_utf8(std::string_view key, const std::vector<std::string>& args);
std::wstring translate(std::string_view key);
std::wstring translate(std::string_view key, const std::vector<std::wstring>& args);

// The "Language: " entry of the loaded catalogue's header; empty without a catalogue.
std::string catalogue_language();

// A message for the log when the loaded catalogue belongs to another build; nothing when it
// matches or when no catalogue is loaded.
std::optional<std::wstring> catalogue_mismatch();

}  // namespace TWL_Core::translation
