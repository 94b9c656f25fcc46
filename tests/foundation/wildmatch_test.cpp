#include "foundation/wildmatch.hpp"

#include <gtest/gtest.h>

#include <string>

#include "foundation/text.hpp"

namespace TWL_Core::util {
namespace {

struct MatchCase {
  std::wstring_view text;
  std::wstring_view pattern;
  bool expected;
};

TEST(Wildmatch, MatchesTheWholeTextAgainstStarAndQuestionMark) {
  const MatchCase cases[] = {
      {L"a.txt", L"*.txt", true},
      {L"a.txt", L"*.TXT", false},
      {L"abtxt", L"*.txt", false},
      {L"a.txt.bak", L"*.txt", false},
      {L"file.txt", L"file", false},
      {L"dir/sub/file.log", L"*.log", true},
      {L".txt", L"*.txt", true},
      {L"report-2024.txt", L"report-*.txt", true},
      {L"x", L"?", true},
      {L"", L"?", false},
      {L"xy", L"?", false},
      {L"a/b", L"a?b", true},
      {L"\U0001F600", L"?", true},
      {L"", L"", true},
      {L"a", L"", false},
      {L"", L"*", true},
      {L"anything at all", L"*", true},
      {L"Stra\u00DFe.doc", L"Stra\u00DFe.*", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wildmatch(c.text, c.pattern), c.expected)
        << "text '" << wstring_to_string(c.text) << "', pattern '" << wstring_to_string(c.pattern)
        << "'";
  }
}

TEST(Wildmatch, RegexSyntaxInThePatternMatchesLiterally) {
  const MatchCase cases[] = {
      {L"a(b", L"a(b", true},
      {L"[x]", L"[x]", true},
      {L"x", L"[x]", false},
      {L"a+b", L"a+b", true},
      {L"aab", L"a+b", false},
      {L"a", L"a|b", false},
      {L"a{2}", L"a{2}", true},
      {L"aa", L"a{2}", false},
      {L"^x$", L"^x$", true},
      {L"c:\\dir", L"c:\\dir", true},
      {L"c:5", L"c:\\d", false},
      {L"x.txt", L"*(*.txt", false},
      {L"backup(1).txt", L"*(?).txt", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wildmatch(c.text, c.pattern), c.expected)
        << "text '" << wstring_to_string(c.text) << "', pattern '" << wstring_to_string(c.pattern)
        << "'";
  }
}

TEST(Wildmatch, EverySpecialCharacterStandsForItselfAlone) {
  for (const wchar_t special : std::wstring_view(L"$()+.[\\]^{|}")) {
    const std::wstring pattern(1, special);
    EXPECT_TRUE(wildmatch(pattern, pattern)) << wstring_to_string(pattern);
    EXPECT_FALSE(wildmatch(L"x", pattern)) << wstring_to_string(pattern);
    EXPECT_FALSE(wildmatch(L"", pattern)) << wstring_to_string(pattern);
  }
}

}  // namespace
}  // namespace TWL_Core::util

namespace TWL_Core::util {
namespace {

TEST(Wildmatch, StarSpansLineBreaksAndVeryLongNames) {
  EXPECT_TRUE(wildmatch(L"first\nsecond.txt", L"*.txt"));
  EXPECT_TRUE(wildmatch(L"a\rb", L"a?b"));
  const std::wstring long_name(200000, L'x');
  EXPECT_TRUE(wildmatch(long_name + L".txt", L"*.txt"));
  EXPECT_FALSE(wildmatch(long_name, L"*x*y*"));
  EXPECT_TRUE(wildmatch(L"aXbYc", L"a*b*c"));
  EXPECT_FALSE(wildmatch(L"aXbYd", L"a*b*c"));
  EXPECT_TRUE(wildmatch(L"abcbcd", L"a*bcd"));
}

}  // namespace
}  // namespace TWL_Core::util
