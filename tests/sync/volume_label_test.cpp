#include "sync/volume_label.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "foundation/text.hpp"
#include "logging/logging.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/log_capture.hpp"

namespace TWL_Core {
namespace {

std::string utf8(const std::wstring& text) { return util::wstring_to_string(text); }

class VolumeLabelTest : public ::testing::Test {
 protected:
  VolumeLabelTest() {
    test::use_english_catalogue(test::build_locale_dir());
    Logging::instance().set_log_level(LogLevel::Debug);
  }
};

struct Case {
  const wchar_t* path;
  const wchar_t* label;              // volume_name; empty: the path contains no volume name
  const wchar_t* without;            // without_volume_spec
  std::optional<std::wstring> root;  // root_name; nothing: it throws
};

TEST_F(VolumeLabelTest, OnlyALabelWithADriveInParenthesesAtTheStartIsAVolumePrefix) {
  const Case cases[] = {
      {L"Backup (E:)\\data", L"Backup", L"E:\\data", L"E:"},
      {L"My Backup (e:)/x/y", L"My Backup", L"e:/x/y", L"e:"},
      {L"Sicherung J\u00fcrgen (Z:)\\", L"Sicherung J\u00fcrgen", L"Z:\\", L"Z:"},
      {L"Disk (E:)", L"Disk", L"E:", L"E:"},
      {L"Disk (E:)\\Fotos (2023)\\a:b", L"Disk", L"E:\\Fotos (2023)\\a:b", L"E:"},
      // Ordinary paths that merely contain parentheses and colons.
      {L"/Users/a/Fotos (2023)/Rechnung 03:2024.pdf", L"",
       L"/Users/a/Fotos (2023)/Rechnung 03:2024.pdf", L""},
      {L"/Volumes/Backup (E:)/data", L"", L"/Volumes/Backup (E:)/data", L""},
      {L"Fotos (2023) 03:2024", L"", L"Fotos (2023) 03:2024", L""},
      {L"/Users/someone/x", L"", L"/Users/someone/x", L""},
      {L"nas:/backup (E:)", L"", L"nas:/backup (E:)", L""},
      {L"", L"", L"", L""},
      // Near misses of the real form.
      {L"(E:)\\data", L"", L"(E:)\\data", L""},
      {L" (E:)\\data", L"", L" (E:)\\data", L""},
      {L"Backup(E:)\\data", L"", L"Backup(E:)\\data", L""},
      {L"Backup  (E)\\data", L"", L"Backup  (E)\\data", L""},
      {L"Backup (EF:)\\data", L"", L"Backup (EF:)\\data", L""},
      {L"Backup (1:)\\data", L"", L"Backup (1:)\\data", L""},
      {L"Backup (\u00c4:)\\data", L"", L"Backup (\u00c4:)\\data", L""},
      {L"dir/Backup (E:)\\data", L"", L"dir/Backup (E:)\\data", L""},
      {L"a:b (E:)\\data", L"", L"a:b (E:)\\data", L""},
      // Begins like one but the ")" after the drive is missing: only root_name objects.
      {L"Disk (E:\\x", L"", L"Disk (E:\\x", std::nullopt},
      {L"Disk (E:", L"", L"Disk (E:", std::nullopt},
      {L"Disk (E:x)", L"", L"Disk (E:x)", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string name = utf8(c.path);
    EXPECT_EQ(path_contains_volume_name(c.path), *c.label != L'\0') << name;
    EXPECT_EQ(volume_name(c.path), c.label) << name;
    EXPECT_EQ(without_volume_spec(c.path), c.without) << name;
    if (c.root) {
      EXPECT_EQ(root_name(c.path), *c.root) << name;
    } else {
      EXPECT_THROW(root_name(c.path), std::runtime_error) << name;
    }
  }
}

TEST_F(VolumeLabelTest, MalformedPrefixNamesThePathInTheError) {
  try {
    root_name(L"Sicherung (E:\\J\u00fcrgen");
    FAIL() << "root_name accepted a drive without closing parenthesis";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid path: Sicherung (E:\\J\xc3\xbcrgen");
  }
}

TEST_F(VolumeLabelTest, EachFunctionLogsItsCallAtDebug) {
  struct LogCase {
    std::function<void()> call;
    const char* line;
  };
  const LogCase cases[] = {
      {[] { path_contains_volume_name(L"Disk (E:)\\x"); },
       "path_contains_volume_name Disk (E:)\\x: true"},
      {[] { path_contains_volume_name(L"/a (b):c"); }, "path_contains_volume_name /a (b):c: false"},
      {[] { volume_name(L"/x"); }, "volume_name() /x"},
      {[] { root_name(L"Disk (E:)\\x"); }, "root_name: Disk (E:)\\x"},
      {[] { root_name(L"/x"); }, "root_name returns: "},
      {[] { without_volume_spec(L"/J\u00fcrgen"); }, "without_volume_spec: /J\xc3\xbcrgen"},
  };
  for (const auto& c : cases) {
    const test::LogCapture capture;
    c.call();
    const auto texts = capture.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), c.line), texts.end()) << c.line;
  }
}

}  // namespace
}  // namespace TWL_Core
