#include "foundation/translation.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "foundation/text.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"

namespace TWL_Core {
namespace {

std::string language_variable() {
  const char* value = std::getenv("LANGUAGE");
  return value ? value : "(unset)";
}

TEST(TranslationTest, PlaceholdersTakeTheirArgumentsOnce) {
  test::use_english_catalogue(test::partial_locale_dir());
  struct Case {
    const char* key;
    std::vector<std::string> args;
    const char* expected;
  };
  const Case cases[] = {
      {"swapped_arguments", {"a", "b"}, "b then a"},
      {"percent_sign", {"a"}, "100% done"},
      {"third_argument", {"a", "b"}, "%3"},
      {"doubled_percent", {"a"}, "%a"},
      {"swapped_arguments", {"%2", "%1"}, "%1 then %2"},
      {"swapped_arguments", {}, "%2 then %1"}};
  for (const auto& c : cases) {
    EXPECT_EQ(translation::translate_utf8(c.key, c.args), c.expected) << c.key;
    std::vector<std::wstring> wide_args;
    for (const auto& arg : c.args) wide_args.push_back(util::string_to_wstring(arg));
    EXPECT_EQ(translation::translate(c.key, wide_args), util::string_to_wstring(c.expected)) << c.key;
  }
}

TEST(TranslationTest, MissingKeyIsReturnedAndReportedOnce) {
  test::LogCapture capture;
  test::use_english_catalogue(test::partial_locale_dir());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(translation::translate_utf8("no_such_key"), "no_such_key");
  EXPECT_EQ(translation::translate("no_such_key"), L"no_such_key");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"Übersetzung fehlt: no_such_key"});
}

TEST(TranslationTest, WithoutAnyCatalogueNothingIsReported) {
  test::LogCapture capture;
  test::TempDir empty;
  test::use_english_catalogue(empty.path());
  EXPECT_EQ(translation::translate_utf8("daemon_started"), "daemon_started");
  EXPECT_FALSE(translation::catalogue_mismatch().has_value());
  EXPECT_EQ(translation::catalogue_language(), "");
  EXPECT_TRUE(capture.lines().empty());
}

TEST(TranslationTest, CatalogueOfThisBuildMatches) {
  test::use_english_catalogue(test::build_locale_dir());
  EXPECT_EQ(translation::translate_utf8("catalogue_stamp"), translation::BUILD_STAMP);
  EXPECT_EQ(std::strlen(translation::BUILD_STAMP), 40u);
  EXPECT_FALSE(translation::catalogue_mismatch().has_value());
  EXPECT_EQ(translation::catalogue_language(), "en");
}

TEST(TranslationTest, CatalogueOfAnotherBuildIsNamed) {
  test::use_english_catalogue(test::outdated_locale_dir());
  const auto message = translation::catalogue_mismatch();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(*message, L"The message catalogue in " +
                          util::string_to_wstring(test::outdated_locale_dir().string()) +
                          L" does not belong to this version of Ternwell; install the locale "
                          L"files of this build.");
}

TEST(TranslationTest, OutdatedCatalogueWithoutTheKeyGetsTheFixedSentence) {
  test::use_english_catalogue(test::partial_locale_dir());
  const auto message = translation::catalogue_mismatch();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->rfind(L"The message catalogue in " +
                               util::string_to_wstring(test::partial_locale_dir().string()),
                           0),
            0u);
}

TEST(TranslationTest, UnansweredLanguageFallsBackToEnglish) {
  test::use_english_catalogue(test::build_locale_dir());
  translation::set_language("fr");
  EXPECT_EQ(language_variable(), "en");
  EXPECT_EQ(translation::translate_utf8("daemon_stopped"), "Ternwell daemon stopped");
  translation::set_language("de");
  EXPECT_EQ(translation::translate_utf8("daemon_stopped"), "Ternwell-Dienst beendet");
}

TEST(TranslationTest, EmptyLanguageRestoresTheEnvironment) {
  if (!test::locale_available("de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not generated";
  ::unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "de_DE.UTF-8");
  translation::init(test::build_locale_dir());
  translation::set_language("en");
  EXPECT_EQ(translation::translate_utf8("daemon_stopped"), "Ternwell daemon stopped");
  translation::set_language("");
  EXPECT_EQ(language_variable(), "(unset)");
  EXPECT_EQ(translation::translate_utf8("daemon_stopped"), "Ternwell-Dienst beendet");

  ::setenv("LANGUAGE", "en", 1);
  translation::init(test::build_locale_dir());
  translation::set_language("de");
  translation::set_language("");
  EXPECT_EQ(language_variable(), "en");
}

TEST(TranslationTest, LocaleFromTheEnvironmentWins) {
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::setenv("LANG", "C.UTF-8", 1);
  translation::init_locale(translation::DEFAULT_LOCALES);
  EXPECT_STREQ(std::setlocale(LC_MESSAGES, nullptr), "C.UTF-8");
}

// Only the environment decides whether a locale is named; the default replaces every "none".
TEST(TranslationTest, DefaultLocaleFollowsThePrecedenceOfTheLocaleVariables) {
  struct Case {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* expected;
  };
  // The fallback is spelled "C.utf8" and the environment's choice "C.UTF-8", to tell them apart.
  const Case cases[] = {
      {nullptr, nullptr, nullptr, "C.utf8"},
      {"", "", "", "C.utf8"},
      {nullptr, nullptr, "POSIX", "C.utf8"},
      {nullptr, "C", "C.UTF-8", "C.utf8"},
      {"C", nullptr, "C.UTF-8", "C.utf8"},
      {"", "", "C.UTF-8", "C.UTF-8"},
      {"C.UTF-8", "C", "C", "C.UTF-8"},
  };
  const auto set = [](const char* name, const char* value) {
    if (value == nullptr) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value, 1);
    }
  };
  for (const auto& c : cases) {
    set("LC_ALL", c.lc_all);
    set("LC_MESSAGES", c.lc_messages);
    set("LANG", c.lang);
    translation::init_locale({"xx_NOWHERE", "C.utf8"});
    const std::string chosen = std::setlocale(LC_MESSAGES, nullptr);
    EXPECT_EQ(chosen, c.expected)
        << (c.lc_all ? c.lc_all : "-") << " / " << (c.lc_messages ? c.lc_messages : "-") << " / "
        << (c.lang ? c.lang : "-") << ": " << chosen;
  }
}

TEST(TranslationTest, DefaultLocaleReplacesC) {
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::unsetenv("LANG");
  translation::init_locale({"xx_NOWHERE", "C.UTF-8"});
  EXPECT_STREQ(std::setlocale(LC_MESSAGES, nullptr), "C.UTF-8");

  ::setenv("LANG", "C", 1);
  translation::init_locale({"xx_NOWHERE"});
  EXPECT_STREQ(std::setlocale(LC_MESSAGES, nullptr), "C");
}

TEST(TranslationTest, NoCatalogueFolderBesideTheTestProgram) {
  EXPECT_TRUE(translation::locale_dir().empty());
}

}  // namespace
}  // namespace TWL_Core
