#include "config/json_nesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace TWL_Core {
namespace {

std::wstring nested(std::size_t levels) {
  return std::wstring(levels, L'[') + std::wstring(levels, L']');
}

TEST(JsonNestingTest, CountsOnlyBracketsOutsideStrings) {
  struct Case {
    std::wstring text;
    std::size_t limit;
    bool within;
  } cases[] = {
      {L"", 0, true},
      {L"{}", 0, false},
      {L"{}", 1, true},
      {L"{\"a\": [{\"b\": []}]}", 4, true},
      {L"{\"a\": [{\"b\": []}]}", 3, false},
      {L"[[], [], []]", 2, true},
      {L"{\"[[[[\": \"{{{{\"}", 1, true},
      {L"{\"quote \\\" [[[[\": 1}", 1, true},
      {L"{\"backslash \\\\\": [[[]]]}", 3, false},
      {L"]]]]{", 1, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::nesting_within(c.text, c.limit), c.within)
        << std::string(c.text.begin(), c.text.end()) << " limit " << c.limit;
  }
}

TEST(JsonNestingTest, RefusesAHundredThousandLevels) {
  EXPECT_FALSE(json::nesting_within(nested(100000)));
  EXPECT_TRUE(json::nesting_within(nested(json::MAX_NESTING)));
}

}  // namespace
}  // namespace TWL_Core
