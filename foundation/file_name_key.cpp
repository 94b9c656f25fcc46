#include "foundation/file_name_key.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace TWL_Core::util {
namespace {

// from_path carries a byte that is not UTF-8 as one of these lone surrogates.
bool has_raw_bytes(std::wstring_view name) {
  return std::any_of(name.begin(), name.end(),
                     [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; });
}

std::u16string raw_key(std::wstring_view name, bool fold_case) {
  std::u16string key;
  key.reserve(name.size());
  for (wchar_t c : name) {
    if (fold_case && c >= L'A' && c <= L'Z') c += L'a' - L'A';
    key += static_cast<char16_t>(c <= 0xFFFF ? c : 0xFFFD);
  }
  return key;
}

bool is_ascii(std::wstring_view name) {
  return std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= 0 && c < 0x80; });
}

}  // namespace

// ASCII names, most names there are, need no decomposition and fold by ASCII's own rule.
std::u16string file_name_key(std::wstring_view name, bool fold_case) {
  if (has_raw_bytes(name) || is_ascii(name)) return raw_key(name, fold_case);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* decomposed = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return raw_key(name, fold_case);
  icu::UnicodeString text = icu::UnicodeString::fromUTF32(
      reinterpret_cast<const UChar32*>(name.data()), static_cast<int32_t>(name.size()));
  icu::UnicodeString key = decomposed->normalize(text, status);
  // Folding can undo the canonical order of combining marks, hence the second pass.
  if (fold_case) key = decomposed->normalize(key.foldCase(), status);
  if (U_FAILURE(status)) return raw_key(name, fold_case);
  return std::u16string(key.getBuffer(), key.getBuffer() + key.length());
}

}  // namespace TWL_Core::util
