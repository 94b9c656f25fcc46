#pragma once
// How a volume compares file names. Two names that a volume takes for one file have the same
// key: canonically equivalent spellings (a precomposed "é" and "e" with a combining accent)
// always, and names that differ only in case where the volume ignores case. Names holding
// bytes that are not UTF-8 compare byte for byte (letters of ASCII still fold). Never throws.

#include <string>
#include <string_view>

namespace TWL_Core::util {

[[nodiscard]] std::u16string file_name_key(std::wstring_view name, bool fold_case);

}  // namespace TWL_Core::util
