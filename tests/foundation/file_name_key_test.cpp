// Names a volume takes for one file share a key; names it keeps apart do not.

#include "foundation/file_name_key.hpp"

#include <gtest/gtest.h>

#include "foundation/text.hpp"

namespace TWL_Core::util {
namespace {

struct NameCase {
  std::string first;  // bytes of a name as a folder listing gives them
  std::string second;
  bool same_where_case_is_kept;
  bool same_where_case_is_ignored;
};

std::u16string key(const std::string& name, bool fold_case) {
  return file_name_key(from_path(name), fold_case);
}

TEST(FileNameKey, MatchesNamesAsTheVolumeDoes) {
  const NameCase cases[] = {
      {"Report.txt", "Report.txt", true, true},
      {"Report.txt", "report.TXT", false, true},
      {"Report.txt", "Report.txt ", false, false},
      {"caf\xC3\xA9", "cafe\xCC\x81", true, true},            // precomposed and combining accent
      {"CAF\xC3\x89", "cafe\xCC\x81", false, true},           // and in other case
      {"\u00DCber", "\u00FCber", false, true},                // Über, über
      {"\xCE\xA3\xCE\xB1", "\xCF\x83\xCE\xB1", false, true},  // Greek capital and small sigma
      {"Makefile", "makefile", false, true},
      {"latin1 caf\xE9", "latin1 caf\xE9", true, true},  // bytes that are not UTF-8
      {"latin1 caf\xE9", "LATIN1 CAF\xE9", false, true},
      {"caf\xE9", "caf\xC3\xA9", false, false},  // a raw byte is no letter
      {"\xFF", "\xFE", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key(c.first, false) == key(c.second, false), c.same_where_case_is_kept)
        << c.first << " / " << c.second;
    EXPECT_EQ(key(c.first, true) == key(c.second, true), c.same_where_case_is_ignored)
        << c.first << " / " << c.second;
  }
}

}  // namespace
}  // namespace TWL_Core::util
