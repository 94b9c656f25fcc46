#pragma once
// Text conversions shared by every subsystem. Wide strings hold one Unicode code point per
// unit; narrow strings are UTF-8. None of the conversions fails: text that cannot be converted
// becomes U+FFFD, while paths keep every byte (to_path, from_path). Free of shared state,
// callable from any thread.

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

// A path's bytes as a wide text and back, whatever the locale. UTF-8 decodes to its code
// points; every byte that is not part of valid UTF-8 is kept (as U+DC80..U+DCFF), so
// to_path(from_path(p)) names the same file for any p. wstring_to_string turns such bytes into
// U+FFFD, which keeps log lines valid UTF-8.
std::filesystem::path to_path(std::wstring_view path);
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
