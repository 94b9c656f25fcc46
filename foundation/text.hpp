#pragma once
// Text conversions shared by every subsystem. Wide strings hold one Unicode code point per
// unit; narrow strings are UTF-8. None of the conversions fails: input that cannot be
// converted becomes U+FFFD. Free of shared state, callable from any thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace TWL_Core::util {

inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// Encodes each code point as UTF-8; surrogates and values above U+10FFFF become U+FFFD.
std::string wstring_to_string(std::wstring_view text);

// Decodes UTF-8; truncated, overlong, surrogate, out-of-range and stray bytes become U+FFFD.
std::wstring string_to_wstring(std::string_view text);

// A file-system path from a wide text, encoded as UTF-8 whatever the locale.
std::filesystem::path to_path(std::wstring_view path);
// The UTF-8 form of a path as a wide text.
std::wstring from_path(const std::filesystem::path& path);

// "true" or "false".
std::wstring to_string(bool value);
std::wstring to_string(std::uint16_t value);
std::wstring to_string(std::int32_t value);

// Parses a decimal number as std::stoi does (leading blanks and a sign allowed, trailing text
// ignored). Throws std::invalid_argument or std::out_of_range; a value outside 0..65535 throws
// std::out_of_range carrying the translated "value_out_of_uint16_range" and the text.
std::uint16_t to_uint16_t(const std::wstring& text);

// A field of fstab or the kernel's mount tables with each "\ooo" (three octal digits, how
// blanks, tabs, newlines and backslashes are written there) replaced by its byte.
std::string decode_octal_escapes(std::string_view field);

// The text, ending in `c`: unchanged if it already does, else with `c` appended.
std::wstring with_trailing_char(std::wstring_view text, wchar_t c);

}  // namespace TWL_Core::util
