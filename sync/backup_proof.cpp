#include "sync/backup_proof.hpp"

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <ctime>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "config/json_writer.hpp"
#include "config/sync_item.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "sync/sync_report.hpp"

namespace TWL_Core {
namespace {

namespace fs = std::filesystem;
using Tree = boost::property_tree::wptree;
using translation::translate;

constexpr std::wstring_view REPLACED_CHARACTERS = L"<>:\"/\\|?*";
constexpr std::wstring_view DEFAULT_BASE_NAME = L"Sicherungsnachweis";
constexpr std::wstring_view EXTENSION = L".json";
constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
constexpr std::size_t MAX_BASE_NAME_BYTES =
    MAX_FILE_NAME_BYTES - EXTENSION.size() - TEMPORARY_SUFFIX.size();
constexpr wchar_t BYTE_ORDER_MARK = 0xFEFF;

bool replaced_in_file_name(wchar_t c) {
  return c < L' ' || REPLACED_CHARACTERS.find(c) != std::wstring_view::npos;
}

// Counted as converted, so that a code point that becomes U+FFFD counts three bytes.
std::size_t utf8_length(wchar_t c) {
  return util::wstring_to_string(std::wstring_view(&c, 1)).size();
}

// Cuts `name` after the last whole character that keeps its UTF-8 form within `limit` bytes.
void cut_to_utf8_bytes(std::wstring& name, std::size_t limit) {
  std::size_t bytes = 0;
  std::size_t length = 0;
  for (; length < name.size(); ++length) {
    bytes += utf8_length(name[length]);
    if (bytes > limit) break;
  }
  name.resize(length);
}

void strip_trailing_dots_and_blanks(std::wstring& name) {
  const auto last_kept = name.find_last_not_of(L". ");
  name.erase(last_kept == std::wstring::npos ? 0 : last_kept + 1);
}

std::wstring base_name(std::wstring_view item_name) {
  std::wstring name(item_name);
  std::replace_if(name.begin(), name.end(), replaced_in_file_name, L'_');
  // Cutting first and stripping afterwards also removes dots and blanks the cut exposes.
  cut_to_utf8_bytes(name, MAX_BASE_NAME_BYTES);
  strip_trailing_dots_and_blanks(name);
  return name.empty() ? std::wstring(DEFAULT_BASE_NAME) : name;
}

std::wstring wide(std::string_view text) { return util::string_to_wstring(text); }

std::error_code create_folder(const fs::path& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) return error;
  // An existing file of another kind is not reported by every library.
  if (!fs::is_directory(dir, error) && !error) {
    error = std::make_error_code(std::errc::not_a_directory);
  }
  return error;
}

// The opening character of the root value and of the value of the root's last member in valid
// JSON text; 0 where there is none. The tree alone cannot tell an array root from an object,
// nor an empty string from an empty array.
struct JsonShape {
  wchar_t root = 0;
  wchar_t last_member = 0;
};

bool json_blank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == BYTE_ORDER_MARK;
}

JsonShape json_shape(std::wstring_view text) {
  JsonShape shape;
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  bool value_follows = false;
  for (const wchar_t c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == L'\\') {
        escaped = true;
      } else if (c == L'"') {
        in_string = false;
      }
      continue;
    }
    if (json_blank(c)) continue;
    if (shape.root == 0) shape.root = c;
    if (value_follows) shape.last_member = c;
    value_follows = c == L':' && depth == 1;
    if (c == L'"') in_string = true;
    if (c == L'{' || c == L'[') ++depth;
    if (c == L'}' || c == L']') --depth;
  }
  return shape;
}

void check_record_list(std::wstring_view text) {
  const JsonShape shape = json_shape(text);
  if (shape.root != L'{') throw std::runtime_error("the root is no JSON object");
  if (shape.last_member != 0 && shape.last_member != L'[' && shape.last_member != L'{') {
    throw std::runtime_error("the last member holds neither an array nor an object");
  }
}

// Parses an existing record file into `tree`; a missing file leaves it empty. False, after an
// Error line, when the file is there but is no record list.
bool read_record_list(const fs::path& file, Tree& tree) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return true;
  try {
    if (error) throw fs::filesystem_error("status", file, error);
    // A named pipe would block the worker for good.
    if (!fs::is_regular_file(status)) {
      throw std::runtime_error(translation::translate_utf8("not_a_regular_file"));
    }
    const std::wstring text = util::read_utf8_file(file);
    std::wistringstream in(text);
    boost::property_tree::json_parser::read_json(in, tree);
    check_record_list(text);
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, translate("backup_proof_not_readable"), util::from_path(file),
           wide(e.what()));
    return false;
  }
}

void add_member(Tree& node, std::wstring key, std::wstring value) {
  node.push_back(Tree::value_type(std::move(key), Tree(std::move(value))));
}

std::wstring local_time_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return util::string_to_wstring(std::string_view(text, length));
}

std::wstring endpoint_text(const std::unique_ptr<SyncPath>& endpoint) {
  return endpoint ? endpoint->path() : std::wstring();
}

Tree error_list(const std::vector<std::wstring>& errors) {
  Tree list;
  for (const auto& text : errors) add_member(list, std::wstring(), text);
  return list;
}

Tree record(const SyncItem& item, std::size_t files, const SyncReport& report) {
  const bool failed = !report.errors().empty();
  Tree record;
  add_member(record, translate("backup_proof_field_timestamp"), local_time_text());
  add_member(record, translate("backup_proof_field_name"), item.name);
  add_member(record, translate("backup_proof_field_source"), endpoint_text(item.source()));
  add_member(record, translate("backup_proof_field_target"), endpoint_text(item.target()));
  add_member(record, translate("backup_proof_field_files"), std::to_wstring(files));
  add_member(record, translate("backup_proof_field_volume"), std::to_wstring(report.volume()));
  add_member(record, translate("backup_proof_field_status"),
             translate(failed ? "backup_proof_status_failed" : "backup_proof_status_successful"));
  if (failed) {
    record.push_back(
        Tree::value_type(translate("backup_proof_field_errors"), error_list(report.errors())));
  }
  return record;
}

// Removes what this function left at the temporary path; a folder found there stays.
void remove_temporary(const fs::path& temporary) {
  std::error_code error;
  if (fs::is_regular_file(fs::symlink_status(temporary, error))) {
    (void)util::remove_file(util::from_path(temporary), LogLevel::None);
  }
}

bool write_temporary(const fs::path& temporary, const fs::path& file, const Tree& tree) {
  try {
    util::write_utf8_file(temporary, json::to_text(tree));
    return true;
  } catch (const std::exception& e) {
    log_at(LogLevel::Error, translate("backup_proof_not_writable"), util::from_path(file),
           wide(e.what()));
    remove_temporary(temporary);
    return false;
  }
}

}  // namespace

fs::path copy_log_file_path(const fs::path& dir, std::wstring_view item_name) {
  return dir / util::to_path(base_name(item_name) + std::wstring(EXTENSION));
}

bool write_copy_log(const fs::path& dir, const SyncItem& item, std::size_t files,
                    const SyncReport& report) {
  if (const std::error_code error = create_folder(dir)) {
    log_at(LogLevel::Error, translate("backup_proof_dir_not_creatable"), util::from_path(dir),
           wide(error.message()));
    return false;
  }
  const fs::path file = copy_log_file_path(dir, item.name);
  Tree tree;
  if (!read_record_list(file, tree)) return false;
  if (tree.empty()) tree.push_back(Tree::value_type(translate("backup_proof_entries_key"), Tree()));
  tree.back().second.push_back(Tree::value_type(std::wstring(), record(item, files, report)));
  fs::path temporary = file;
  temporary += TEMPORARY_SUFFIX;
  if (!write_temporary(temporary, file, tree)) return false;
  if (util::rename_file(util::from_path(temporary), util::from_path(file))) return true;
  remove_temporary(temporary);
  return false;
}

}  // namespace TWL_Core
