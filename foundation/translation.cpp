#include "foundation/translation.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "foundation/log_sink.hpp"
#include "foundation/platform.hpp"
#include "foundation/text.hpp"

// Last, and with <locale.h> rather than <clocale>: GNU libintl outside glibc (Homebrew's, on
// macOS) defines setlocale as a macro for libintl_setlocale, which records the locale for
// gettext. Every setlocale call below is written unqualified so that it goes through libintl
// where libintl wants it; "std::setlocale" would break there.
#include <libintl.h>
#include <locale.h>

namespace TWL_Core::translation {
namespace {

constexpr const char* CATALOGUE_CODESET = "UTF-8";
constexpr const char* FALLBACK_LANGUAGE = "en";
constexpr const char* LANGUAGE_VARIABLE = "LANGUAGE";

std::optional<std::string>& saved_environment_language() {
  static std::optional<std::string> saved;
  return saved;
}

std::mutex& report_missing_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<std::string>& reported_missing() {
  static std::set<std::string> keys;
  return keys;
}

// True while this thread writes a missing-translation warning, so that the logger's own
// translations cannot start another one.
thread_local bool reporting_missing = false;

std::string catalogue_header() { return dgettext(TEXT_DOMAIN, ""); }

bool catalogue_loaded() { return !catalogue_header().empty(); }

void fall_back_to_english_if_unanswered() {
  if (!catalogue_loaded()) setenv(LANGUAGE_VARIABLE, FALLBACK_LANGUAGE, 1);
}

bool newly_reported(const std::string& key) {
  std::lock_guard lock(report_missing_mutex());
  return reported_missing().insert(key).second;
}

void report_missing(const std::string& key) {
  if (reporting_missing || !catalogue_loaded() || !newly_reported(key)) return;
  reporting_missing = true;
  log_to_sink(LogLevel::Warning, "Übersetzung fehlt: " + key);
  reporting_missing = false;
}

template <typename Char>
std::basic_string<Char> fill_placeholders(const std::basic_string<Char>& text,
                                          const std::vector<std::basic_string<Char>>& args) {
  std::basic_string<Char> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == Char('%') && i + 1 < text.size()) {
      const Char digit = text[i + 1];
      if (digit >= Char('1') && digit <= Char('9') &&
          static_cast<std::size_t>(digit - Char('1')) < args.size()) {
        out += args[static_cast<std::size_t>(digit - Char('1'))];
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

bool is_default_messages_locale(const char* name) {
  return name == nullptr || *name == '\0' || std::strcmp(name, "C") == 0 ||
         std::strcmp(name, "POSIX") == 0;
}

// The messages locale the environment names, by the POSIX precedence of LC_ALL, LC_MESSAGES
// and LANG. Asked of the environment rather than of setlocale: on macOS, libintl's setlocale
// fills an empty environment with the user's preferred languages, and the rule is that an
// environment naming no locale gets the German one.
const char* environment_messages_locale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

}  // namespace

void init_locale(const std::vector<std::string>& names) {
  if (!is_default_messages_locale(environment_messages_locale())) {
    setlocale(LC_ALL, "");
    if (!is_default_messages_locale(setlocale(LC_MESSAGES, nullptr))) return;
  }
  for (const auto& name : names) {
    if (setlocale(LC_ALL, name.c_str()) != nullptr) return;
  }
  setlocale(LC_ALL, "");
}

std::filesystem::path locale_dir() {
  const auto executable = platform::executable_path();
  if (executable.empty()) return {};
  auto dir = executable.parent_path() / "locale";
  std::error_code error;
  return std::filesystem::is_directory(dir, error) ? dir : std::filesystem::path{};
}

void init(const std::filesystem::path& dir) {
  const char* language = std::getenv(LANGUAGE_VARIABLE);
  saved_environment_language() =
      language ? std::optional<std::string>(language) : std::nullopt;
  if (!dir.empty()) bindtextdomain(TEXT_DOMAIN, dir.c_str());
  bind_textdomain_codeset(TEXT_DOMAIN, CATALOGUE_CODESET);
  textdomain(TEXT_DOMAIN);
  fall_back_to_english_if_unanswered();
}

void set_language(const std::string& lang) {
  if (!lang.empty()) {
    setenv(LANGUAGE_VARIABLE, lang.c_str(), 1);
  } else if (const auto& saved = saved_environment_language()) {
    setenv(LANGUAGE_VARIABLE, saved->c_str(), 1);
  } else {
    unsetenv(LANGUAGE_VARIABLE);
  }
  // Selecting the domain again makes gettext drop the translations it has cached.
  textdomain(TEXT_DOMAIN);
  fall_back_to_english_if_unanswered();
}

std::string translate_utf8(std::string_view key) {
  const std::string msgid(key);
  const char* text = dgettext(TEXT_DOMAIN, msgid.c_str());
  if (text != msgid.c_str()) return text;
  report_missing(msgid);
  return msgid;
}

std::string translate_utf8(std::string_view key, const std::vector<std::string>& args) {
  return fill_placeholders(translate_utf8(key), args);
}

std::wstring translate(std::string_view key) {
  return util::string_to_wstring(translate_utf8(key));
}

std::wstring translate(std::string_view key, const std::vector<std::wstring>& args) {
  return fill_placeholders(translate(key), args);
}

std::string catalogue_language() {
  const std::string header = catalogue_header();
  if (header.size() < 10) return {};
  constexpr std::string_view label = "Language: ";
  const auto start = header.find(label);
  if (start == std::string::npos) return {};
  const auto from = start + label.size();
  const auto end = header.find('\n', from);
  return header.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::optional<std::wstring> catalogue_mismatch() {
  if (!catalogue_loaded()) return std::nullopt;
  if (translate_utf8("catalogue_stamp") == BUILD_STAMP) return std::nullopt;
  const char* bound = bindtextdomain(TEXT_DOMAIN, nullptr);
  const std::wstring dir = util::string_to_wstring(bound ? bound : "");
  std::wstring message = translate("catalogue_outdated", {dir});
  if (message == L"catalogue_outdated") {
    message = L"The message catalogue in " + dir +
              L" does not belong to this version of Ternwell; install the locale files of "
              L"this build.";
  }
  return message;
}

}  // namespace TWL_Core::translation
