#include "foundation/temporary_copy_name.hpp"

#include <algorithm>
#include <cstdint>
#include <random>

namespace TWL_Core::util {
namespace {

constexpr std::string_view MARKER = ".ternwell-partial-";
constexpr std::string_view ASIDE_MARKER = ".ternwell-aside-";
constexpr std::size_t RANDOM_DIGITS = 16;
constexpr std::size_t MAX_NAME_BYTES = 255;
constexpr std::size_t MAX_PREFIX_BYTES = MAX_NAME_BYTES - 1 - MARKER.size() - RANDOM_DIGITS;

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The destination's name, cut on a character boundary so that the temporary name fits.
std::string_view name_prefix(std::string_view name) {
  if (name.size() <= MAX_PREFIX_BYTES) return name;
  std::size_t length = MAX_PREFIX_BYTES;
  while (length > 0 && is_continuation_byte(name[length])) --length;
  return name.substr(0, length);
}

std::string random_digits() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  constexpr char HEX[] = "0123456789abcdef";
  std::uint64_t value = generator();
  std::string digits(RANDOM_DIGITS, '0');
  for (auto& digit : digits) {
    digit = HEX[value & 0xF];
    value >>= 4;
  }
  return digits;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// True if `name` is "." + `prefix` + `marker` + the random digits.
bool has_form(std::string_view name, std::string_view prefix, std::string_view marker) {
  const std::size_t expected = 1 + prefix.size() + marker.size() + RANDOM_DIGITS;
  if (name.size() != expected || name.front() != '.') return false;
  if (name.substr(1, prefix.size()) != prefix) return false;
  if (name.substr(1 + prefix.size(), marker.size()) != marker) return false;
  const auto digits = name.substr(name.size() - RANDOM_DIGITS);
  return std::all_of(digits.begin(), digits.end(), is_hex_digit);
}

bool temporary_copy_with_prefix(std::string_view name, std::string_view prefix) {
  return has_form(name, prefix, MARKER);
}

}  // namespace

std::string temporary_copy_name(std::string_view destination_name) {
  return "." + std::string(name_prefix(destination_name)) + std::string(MARKER) + random_digits();
}

bool is_temporary_copy_name(std::string_view file_name) {
  const std::size_t fixed = 1 + MARKER.size() + RANDOM_DIGITS;
  if (file_name.size() < fixed) return false;
  return temporary_copy_with_prefix(file_name, file_name.substr(1, file_name.size() - fixed));
}

bool is_temporary_copy_of(std::string_view file_name, std::string_view destination_name) {
  return temporary_copy_with_prefix(file_name, name_prefix(destination_name));
}

std::string aside_name(std::string_view destination_name) {
  return "." + std::string(name_prefix(destination_name)) + std::string(ASIDE_MARKER) +
         random_digits();
}

std::optional<std::string> destination_of_aside(std::string_view file_name) {
  const std::size_t fixed = 1 + ASIDE_MARKER.size() + RANDOM_DIGITS;
  if (file_name.size() <= fixed) return std::nullopt;
  const std::string_view name = file_name.substr(1, file_name.size() - fixed);
  // A name that long may have been cut to fit: which file it belongs to is then unknown.
  if (!has_form(file_name, name, ASIDE_MARKER) || name.size() + 3 >= MAX_PREFIX_BYTES) {
    return std::nullopt;
  }
  return std::string(name);
}

}  // namespace TWL_Core::util
