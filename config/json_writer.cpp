#include "config/json_writer.hpp"

#include <algorithm>
#include <stdexcept>

namespace TWL_Core::json {
namespace {

using Tree = boost::property_tree::wptree;

constexpr std::size_t INDENT_WIDTH = 4;

bool representable(const Tree& node, bool root) {
  if (!node.data().empty() && (root || !node.empty())) return false;
  return std::all_of(node.begin(), node.end(), [](const Tree::value_type& child) {
    return representable(child.second, false);
  });
}

// The two-character escape of the quotation mark, the backslash and the control characters
// that JSON names by a letter; nullptr for every other character.
const wchar_t* short_escape(wchar_t c) {
  switch (c) {
    case L'"':
      return L"\\\"";
    case L'\\':
      return L"\\\\";
    case L'\b':
      return L"\\b";
    case L'\f':
      return L"\\f";
    case L'\n':
      return L"\\n";
    case L'\r':
      return L"\\r";
    case L'\t':
      return L"\\t";
    default:
      return nullptr;
  }
}

void append_escaped(std::wstring& out, wchar_t c) {
  static constexpr wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";
  if (const wchar_t* escape = short_escape(c)) {
    out += escape;
  } else if (c >= 0 && c < 0x20) {
    out += L"\\u00";
    out += HEX_DIGITS[c >> 4];
    out += HEX_DIGITS[c & 0xF];
  } else {
    out += c;
  }
}

std::wstring escaped(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) append_escaped(out, c);
  return out;
}

std::wstring quoted(const std::wstring& text) { return L'"' + escaped(text) + L'"'; }

bool is_array(const Tree& node) {
  return std::all_of(node.begin(), node.end(),
                     [](const Tree::value_type& child) { return child.first.empty(); });
}

void write(std::wstring& out, const Tree& node, std::size_t level) {
  if (level >= 1 && node.empty()) {
    out += quoted(node.data());
    return;
  }
  const bool array = level >= 1 && is_array(node);
  out += array ? L"[\n" : L"{\n";
  for (auto child = node.begin(); child != node.end(); ++child) {
    out.append(INDENT_WIDTH * (level + 1), L' ');
    if (!array) out += quoted(child->first) + L": ";
    write(out, child->second, level + 1);
    out += std::next(child) != node.end() ? L",\n" : L"\n";
  }
  out.append(INDENT_WIDTH * level, L' ');
  out += array ? L']' : L'}';
}

}  // namespace

std::wstring to_text(const Tree& tree) {
  if (!representable(tree, true)) {
    throw std::invalid_argument("ptree contains data that cannot be represented in JSON format");
  }
  std::wstring out;
  write(out, tree, 0);
  out += L'\n';
  return out;
}

}  // namespace TWL_Core::json
