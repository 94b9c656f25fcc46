#include "foundation/text.hpp"

#include <stdexcept>

#include "foundation/translation.hpp"

namespace TWL_Core::util {
namespace {

constexpr char32_t MAX_CODE_POINT = 0x10FFFF;

// A byte of a path that is not UTF-8 travels in a wide text as the lone low surrogate
// U+DC80..U+DCFF, which no UTF-8 text decodes to, so the path's bytes come back unchanged.
constexpr char32_t ESCAPED_BYTE_BASE = 0xDC00;
constexpr char32_t ESCAPED_BYTE_FIRST = 0xDC80;
constexpr char32_t ESCAPED_BYTE_LAST = 0xDCFF;

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void append_utf8(std::string& out, char32_t c) {
  if (is_surrogate(c) || c > MAX_CODE_POINT) c = REPLACEMENT_CHARACTER;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Length of the sequence a lead byte announces, or 0 for a byte that cannot start one.
std::size_t sequence_length(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

char32_t minimum_for_length(std::size_t length) {
  return length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
}

// One UTF-8 sequence: its code point if valid, and how many bytes a decoder steps over. A lead
// byte without its continuation bytes is one byte long; a complete but overlong, surrogate or
// out-of-range sequence is as long as its lead byte announces.
struct Sequence {
  char32_t value = 0;
  std::size_t length = 1;
  bool valid = false;
};

Sequence read_sequence(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {lead, 1, true};
  const std::size_t length = sequence_length(lead);
  if (length == 0 || i + length > text.size()) return {};
  char32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if (!is_continuation(byte)) return {};
    value = (value << 6) | (byte & 0x3F);
  }
  const bool valid =
      value >= minimum_for_length(length) && !is_surrogate(value) && value <= MAX_CODE_POINT;
  return {value, length, valid};
}

}  // namespace

std::string wstring_to_string(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) append_utf8(out, static_cast<char32_t>(c));
  return out;
}

std::wstring string_to_wstring(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Sequence sequence = read_sequence(text, i);
    out += static_cast<wchar_t>(sequence.valid ? sequence.value : REPLACEMENT_CHARACTER);
    i += sequence.length;
  }
  return out;
}

std::filesystem::path to_path(std::wstring_view path) {
  std::string bytes;
  bytes.reserve(path.size());
  for (wchar_t c : path) {
    const auto code = static_cast<char32_t>(c);
    if (code >= ESCAPED_BYTE_FIRST && code <= ESCAPED_BYTE_LAST) {
      bytes += static_cast<char>(code - ESCAPED_BYTE_BASE);
    } else {
      append_utf8(bytes, code);
    }
  }
  return std::filesystem::path(std::move(bytes));
}

std::wstring from_path(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  std::wstring out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Sequence sequence = read_sequence(bytes, i);
    if (sequence.valid) {
      out += static_cast<wchar_t>(sequence.value);
      i += sequence.length;
    } else {
      out += static_cast<wchar_t>(ESCAPED_BYTE_BASE + static_cast<unsigned char>(bytes[i]));
      ++i;
    }
  }
  return out;
}

std::wstring to_string(bool value) { return value ? L"true" : L"false"; }

std::wstring to_string(std::uint16_t value) { return std::to_wstring(value); }

std::wstring to_string(std::int32_t value) { return std::to_wstring(value); }

std::uint16_t to_uint16_t(const std::wstring& text) {
  const int value = std::stoi(text);
  if (static_cast<std::uint32_t>(value) >= 0x10000) {
    throw std::out_of_range(translation::translate_utf8("value_out_of_uint16_range") +
                            wstring_to_string(text));
  }
  return static_cast<std::uint16_t>(value);
}

std::string decode_octal_escapes(std::string_view field) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string decoded;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      decoded += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                   (field[i + 3] - '0'));
      i += 3;
    } else {
      decoded += field[i];
    }
  }
  return decoded;
}

std::wstring with_trailing_char(std::wstring_view text, wchar_t c) {
  std::wstring result(text);
  if (result.empty() || result.back() != c) result += c;
  return result;
}

}  // namespace TWL_Core::util
