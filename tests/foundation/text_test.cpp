#include "foundation/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "foundation/translation.hpp"

namespace TWL_Core::util {
namespace {

std::string hex(std::string_view bytes) {
  std::string out;
  for (const char byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X ", static_cast<unsigned char>(byte));
    out += digits;
  }
  return out;
}

std::wstring code_point(char32_t c) { return std::wstring(1, static_cast<wchar_t>(c)); }

struct DecodeCase {
  std::string_view bytes;
  std::wstring_view expected;
};

TEST(StringToWstring, DecodesValidAndReplacesInvalidSequences) {
  const DecodeCase cases[] = {
      {"", L""},
      {"plain ASCII", L"plain ASCII"},
      {"\xC3\xA9", L"\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},
      {"\xC3\x28", L"\uFFFD("},
      {"\xE2\x28\xA1", L"\uFFFD(\uFFFD"},
      {"\xC0\x80", L"\uFFFD"},
      {"\xE0\x80\xAF", L"\uFFFD"},
      {"\xF0\x80\x80\xAF", L"\uFFFD"},
      {"\xE2\x82", L"\uFFFD\uFFFD"},
      {"a\xF0\x9F\x98", L"a\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", L"\uFFFD"},
      {"\xED\xBF\xBF", L"\uFFFD"},
      {"\xF4\x90\x80\x80", L"\uFFFD"},
      {"\x80"
       "a",
       L"\uFFFDa"},
      {"\xF8"
       "a",
       L"\uFFFDa"},
      {"\xFF\xFE", L"\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(string_to_wstring(c.bytes), c.expected) << "bytes: " << hex(c.bytes);
  }
}

struct EncodeCase {
  char32_t code_point;
  std::string_view expected;
  bool valid;
};

TEST(WstringToString, EncodesEachCodePointAndDecodesItBack) {
  const EncodeCase cases[] = {
      {0x41, "A", true},
      {0x7F, "\x7F", true},
      {0x80, "\xC2\x80", true},
      {0x7FF, "\xDF\xBF", true},
      {0x800, "\xE0\xA0\x80", true},
      {0xFFFF, "\xEF\xBF\xBF", true},
      {0x10000, "\xF0\x90\x80\x80", true},
      {0x1F600, "\xF0\x9F\x98\x80", true},
      {0x10FFFF, "\xF4\x8F\xBF\xBF", true},
      {0xD800, "\xEF\xBF\xBD", false},
      {0xDFFF, "\xEF\xBF\xBD", false},
      {0x110000, "\xEF\xBF\xBD", false},
  };
  for (const auto& c : cases) {
    const std::wstring text = code_point(c.code_point);
    EXPECT_EQ(hex(wstring_to_string(text)), hex(c.expected))
        << "code point " << std::hex << static_cast<std::uint32_t>(c.code_point);
    if (c.valid) {
      EXPECT_EQ(string_to_wstring(wstring_to_string(text)), text)
          << "round trip of " << std::hex << static_cast<std::uint32_t>(c.code_point);
    }
  }
}

TEST(PathConversion, KeepsEveryByteOfANameThatIsNotUtf8) {
  // Valid UTF-8, stray bytes, a truncated and an overlong sequence, an encoded surrogate and
  // a code point past U+10FFFF.
  const std::string_view names[] = {
      "plain.txt",
      "\xC3\xBCmlaut \xE2\x82\xAC",
      "latin1 caf\xE9",
      "\xFF\xFE",
      "cut \xE2\x82",
      "\xC0\xAF overlong",
      "\xED\xB2\x80 surrogate",
      "\xF4\x90\x80\x80 too large",
  };
  for (const std::string_view name : names) {
    const std::wstring wide = from_path(std::filesystem::path(std::string(name)));
    EXPECT_EQ(hex(to_path(wide).native()), hex(name)) << hex(name);
    const std::string shown = wstring_to_string(wide);
    EXPECT_EQ(wstring_to_string(string_to_wstring(shown)), shown)
        << "a log line shows " << hex(name) << " as valid UTF-8";
  }
  EXPECT_EQ(from_path("\xC3\xBC"), L"\u00FC");
  EXPECT_NE(from_path("\xFF"), from_path("\xFE"));
}

std::string parse_outcome(const std::wstring& text) {
  try {
    return "value " + std::to_string(to_uint16_t(text));
  } catch (const std::invalid_argument&) {
    return "invalid argument";
  } catch (const std::out_of_range& e) {
    const std::string uint16_message =
        translation::translate_utf8("value_out_of_uint16_range") + wstring_to_string(text);
    return e.what() == uint16_message ? "outside 0..65535" : "out of int range";
  }
}

struct Uint16Case {
  std::wstring text;
  std::string expected;
};

TEST(ToUint16, ParsesLikeStoiAndRejectsValuesOutsideUint16) {
  const Uint16Case cases[] = {
      {L"0", "value 0"},
      {L"65535", "value 65535"},
      {L" 42x", "value 42"},
      {L"+7", "value 7"},
      {L"65536", "outside 0..65535"},
      {L"-1", "outside 0..65535"},
      {L"99999999999", "out of int range"},
      {L"abc", "invalid argument"},
      {L"", "invalid argument"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_outcome(c.text), c.expected) << "text '" << wstring_to_string(c.text) << "'";
  }
}

struct TrailingCase {
  std::wstring_view text;
  wchar_t c;
  std::wstring_view expected;
};

TEST(WithTrailingChar, AppendsTheCharacterOnlyWhenMissing) {
  const TrailingCase cases[] = {
      {L"", L'/', L"/"},
      {L"/", L'/', L"/"},
      {L"/data", L'/', L"/data/"},
      {L"/data/", L'/', L"/data/"},
      {L"/data//", L'/', L"/data//"},
      {L"c:\\data", L'/', L"c:\\data/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(with_trailing_char(c.text, c.c), c.expected) << wstring_to_string(c.text);
  }
}

}  // namespace
}  // namespace TWL_Core::util
