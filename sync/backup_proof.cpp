#include "sync/backup_proof.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "config/json_nesting.hpp"
#include "config/json_writer.hpp"
#include "config/sync_item.hpp"
#include "foundation/durable_file.hpp"
#include "foundation/file_descriptor.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/platform.hpp"
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
// Created files get what an ordinary program's would: read and write for all, less the umask.
constexpr mode_t NEW_FILE_MODE = 0666;
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
    // The reader recurses once per level; a deep file would exhaust the thread's stack.
    if (!json::nesting_within(text)) throw std::runtime_error("nested too deeply");
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
  const auto status = fs::symlink_status(temporary, error);
  if (fs::is_regular_file(status) || fs::is_symlink(status)) {
    (void)util::remove_file(util::from_path(temporary), LogLevel::None);
  }
}

void log_not_writable(const fs::path& file, const std::string& reason) {
  log_at(LogLevel::Error, translate("backup_proof_not_writable"), util::from_path(file),
         wide(reason));
}

std::optional<platform::FileIdentity> identity_of(const fs::path& file) {
  const FileDescriptor opened(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!opened.is_open()) return std::nullopt;
  return platform::file_identity(opened.get());
}

// The state in which this process last left or found each record file in the writer's layout.
// While a file is still in that state, a record can be added by copying it and replacing its
// closing lines, without reading it at all. File systems stamp
// modification times from a coarse clock, so an edit in place that keeps the size within the
// same few milliseconds as our write could pass unseen; editors and our own writer replace
// the file, which changes the inode.
class KnownFiles {
 public:
  void remember(const fs::path& file, std::optional<platform::FileIdentity> identity) {
    const std::lock_guard lock(mutex_);
    if (identity) {
      known_[file] = *identity;
    } else {
      known_.erase(file);
    }
  }
  void forget(const fs::path& file) { remember(file, std::nullopt); }
  bool unchanged(const fs::path& file, const platform::FileIdentity& identity) const {
    const std::lock_guard lock(mutex_);
    const auto known = known_.find(file);
    return known != known_.end() && known->second == identity;
  }

 private:
  mutable std::mutex mutex_;
  std::map<fs::path, platform::FileIdentity> known_;
};

KnownFiles& known_files() {
  static KnownFiles files;
  return files;
}

// The writer ends the root's last member, here holding at least one record, and then the root
// object: four blanks and the member's closing bracket, a newline and the root's brace.
constexpr std::string_view ARRAY_TAIL = "\n    ]\n}\n";
constexpr std::string_view OBJECT_TAIL = "\n    }\n}\n";
static_assert(ARRAY_TAIL.size() == OBJECT_TAIL.size());
constexpr std::size_t TAIL_SIZE = ARRAY_TAIL.size();

// The record's text exactly as the writer places it after the last child of the root's last
// member (in an array as it is, in an object under an empty key), with the separator before it
// and the closing lines after it. Taken from the writer itself, so that an appended file reads
// byte for byte as one written whole.
std::string appended_text(const Tree& new_record, bool into_array) {
  Tree member;
  if (!into_array) member.push_back(Tree::value_type(L"a", Tree()));
  member.push_back(Tree::value_type(std::wstring(), new_record));
  Tree wrapper;
  wrapper.push_back(Tree::value_type(L"x", std::move(member)));
  const std::wstring text = json::to_text(wrapper);
  const std::wstring_view head =
      into_array ? L"{\n    \"x\": [\n" : L"{\n    \"x\": {\n        \"a\": \"\",\n";
  const std::size_t length = text.size() - head.size() - TAIL_SIZE;
  return ",\n" + util::wstring_to_string(std::wstring_view(text).substr(head.size(), length)) +
         std::string(into_array ? ARRAY_TAIL : OBJECT_TAIL);
}

bool read_exactly(int fd, char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, data, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

bool write_exactly(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += written;
  }
  return true;
}

// The closing lines of a file the writer produced: true for an array, false for an object;
// nothing if the copy does not end like that.
std::optional<bool> closing_of(int fd, off_t size) {
  if (size < static_cast<off_t>(TAIL_SIZE)) return std::nullopt;
  std::string tail(TAIL_SIZE, '\0');
  if (!read_exactly(fd, tail.data(), tail.size(), size - static_cast<off_t>(TAIL_SIZE))) {
    return std::nullopt;
  }
  if (tail == ARRAY_TAIL) return true;
  if (tail == OBJECT_TAIL) return false;
  return std::nullopt;
}

// Recognises, in one pass and without building a tree, text that the JSON writer produced for
// a record list: exactly its layout, its escapes and valid UTF-8, nested at most
// json::MAX_NESTING levels, the root's last member a list or an object. Such text reads back
// into a tree that the writer turns into the same text, so records can be added to it as text.
// Anything else is left to the property-tree reader, which also rewrites it in this layout.
class WriterLayout {
 public:
  explicit WriterLayout(std::string_view text) : text_(text) {}

  bool holds_record_list() {
    if (!take("{\n")) return false;
    frames_.push_back({false, true});
    for (;;) {
      if (!member()) return false;
      while (!take(",\n")) {
        if (!close()) return false;
        if (frames_.empty()) return take("\n") && at_ == text_.size() && last_member_is_list_;
      }
    }
  }

 private:
  struct Frame {
    bool array;
    bool keyed;  // an object needs a key that is not empty, or the writer makes it an array
  };

  bool take(std::string_view expected) {
    if (text_.substr(at_, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }

  bool indent(std::size_t level) {
    for (std::size_t i = 0; i < 4 * level; ++i) {
      if (!take(" ")) return false;
    }
    return true;
  }

  // One child line of the innermost container, up to its value's first line.
  bool member() {
    const std::size_t level = frames_.size();
    if (!indent(level)) return false;
    if (!frames_.back().array) {
      bool empty = true;
      if (!string(empty) || !take(": ")) return false;
      frames_.back().keyed = frames_.back().keyed || !empty;
    }
    const bool root_member = level == 1;
    bool empty = true;
    if (at_ < text_.size() && text_[at_] == '"') {
      if (root_member) last_member_is_list_ = false;
      return string(empty);
    }
    const bool array = take("[\n");
    if (!array && !take("{\n")) return false;
    if (root_member) last_member_is_list_ = true;
    if (frames_.size() >= json::MAX_NESTING) return false;
    frames_.push_back({array, false});
    return member();
  }

  bool close() {
    const Frame frame = frames_.back();
    frames_.pop_back();
    if (!frame.array && !frame.keyed) return false;
    return take("\n") && indent(frames_.size()) && take(frame.array ? "]" : "}");
  }

  // A quoted string as the writer escapes it; `empty` tells whether it holds nothing.
  bool string(bool& empty) {
    if (!take("\"")) return false;
    empty = take("\"");
    if (empty) return true;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return take("\"");
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!escape()) return false;
      } else if (c >= 0x80) {
        if (!utf8_sequence()) return false;
      } else {
        ++at_;
      }
    }
    return false;
  }

  bool escape() {
    static constexpr std::string_view SHORT = "\"\\bfnrt";
    static constexpr std::string_view HEX = "0123456789ABCDEF";
    if (at_ + 1 < text_.size() && SHORT.find(text_[at_ + 1]) != std::string_view::npos) {
      at_ += 2;
      return true;
    }
    // Other control characters, as \u00 and two upper-case digits.
    if (!take("\\u00") || at_ + 2 > text_.size()) return false;
    const auto high = HEX.find(text_[at_]);
    const auto low = HEX.find(text_[at_ + 1]);
    if (high > 1 || low == std::string_view::npos) return false;
    const auto c = static_cast<char>(high * 16 + low);
    at_ += 2;
    return c != '\b' && c != '\f' && c != '\n' && c != '\r' && c != '\t';
  }

  // A shortest-form UTF-8 sequence of a code point that is no surrogate, up to U+10FFFF.
  bool utf8_sequence() {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text_[at_ + i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at_ + length > text_.size()) return false;
    char32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i) & 0x3F);
    }
    static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < SMALLEST[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    at_ += length;
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::vector<Frame> frames_;
  bool last_member_is_list_ = false;
};

bool read_whole(int fd, std::string& bytes, off_t size) {
  bytes.resize(static_cast<std::size_t>(size));
  return read_exactly(fd, bytes.data(), bytes.size(), 0);
}

enum class Append { Done, Failed, NotPossible };

// True if the open file is in the state this process last left it in, or else holds a record
// list in the writer's layout (which is then remembered).
bool in_writer_layout(const fs::path& file, int fd, const platform::FileIdentity& identity) {
  if (known_files().unchanged(file, identity)) return true;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::string bytes;
  if (!read_whole(fd, bytes, identity.size) || !WriterLayout(bytes).holds_record_list()) {
    return false;
  }
  known_files().remember(file, identity);
  return true;
}

// Adds `new_record` to a file in the writer's layout: the file is copied (cloned where the
// file system can) to the temporary file, its closing lines are replaced by the record and new
// closing lines, and the result is renamed over it. NotPossible, with nothing changed, where
// the file is missing or not in that layout; the caller then reads it whole.
Append append_in_writer_layout(const fs::path& file, const Tree& new_record) {
  const FileDescriptor source(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!source.is_open()) return Append::NotPossible;
  const auto identity = platform::file_identity(source.get());
  if (!identity || !in_writer_layout(file, source.get(), *identity)) return Append::NotPossible;

  const fs::path temporary = util::temporary_path_for(file);
  remove_temporary(temporary);
  FileDescriptor copy = platform::copy_to_new_file(source.get(), temporary);
  if (!copy.is_open()) {
    log_not_writable(file, std::generic_category().message(errno));
    return Append::Failed;
  }
  const auto copied = platform::file_identity(copy.get());
  const auto into_array = copied && copied->size == identity->size
                              ? closing_of(copy.get(), copied->size)
                              : std::nullopt;
  if (!into_array) {
    copy.reset();
    remove_temporary(temporary);
    return Append::NotPossible;
  }
  const off_t end = identity->size - static_cast<off_t>(TAIL_SIZE);
  const std::string added = appended_text(new_record, *into_array);
  if (!write_exactly(copy.get(), added, end)) {
    log_not_writable(file, std::generic_category().message(errno));
    copy.reset();
    remove_temporary(temporary);
    return Append::Failed;
  }
  const auto written = platform::file_identity(copy.get());
  copy.reset();
  if (const std::error_code error = util::commit_temporary_file(temporary, file)) {
    log_not_writable(file, error.message());
    return Append::Failed;
  }
  known_files().remember(file, written);
  return Append::Done;
}

// Reads the whole file (checking that it is a record list), adds the record and writes it
// whole; the way for a new file and for one this process does not know in its present state.
bool rewrite_with_record(const fs::path& file, const Tree& new_record) {
  known_files().forget(file);
  Tree tree;
  if (!read_record_list(file, tree)) return false;
  if (tree.empty()) tree.push_back(Tree::value_type(translate("backup_proof_entries_key"), Tree()));
  tree.back().second.push_back(Tree::value_type(std::wstring(), new_record));
  std::string bytes;
  try {
    bytes = util::wstring_to_string(json::to_text(tree));
  } catch (const std::exception& e) {
    log_not_writable(file, e.what());
    return false;
  }
  if (const std::error_code error = util::replace_file_durably(file, bytes, NEW_FILE_MODE)) {
    log_not_writable(file, error.message());
    return false;
  }
  known_files().remember(file, identity_of(file));
  return true;
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
  const Tree new_record = record(item, files, report);
  switch (append_in_writer_layout(file, new_record)) {
    case Append::Done:
      return true;
    case Append::Failed:
      return false;
    case Append::NotPossible:
      break;
  }
  return rewrite_with_record(file, new_record);
}

}  // namespace TWL_Core
