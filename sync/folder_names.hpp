#pragma once
// The names of one source folder as a pass has seen them, matched the way each side's volume
// compares names. It tells which source names the target volume would take for one file (they
// cannot be synchronised one to one), and whether a target file was handled already under a
// name one of the volumes takes for the same.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace TWL_Core {

class FolderNames {
 public:
  enum class TargetName {
    Unseen,           // no source name matches it: a file that exists only in the target
    Handled,          // the target volume takes it for a name the pass has handled
    SourceWouldMatch  // the source volume would take it for a source name it holds
  };

  FolderNames(bool source_ignores_case, bool target_ignores_case);

  // Records a name listed in the source folder, whatever the filters make of it.
  void add(const std::wstring& name);
  // True when another name of the source folder is the same name on the target volume.
  [[nodiscard]] bool collides_on_target(const std::wstring& name) const;
  [[nodiscard]] TargetName classify_target(const std::wstring& name) const;
  [[nodiscard]] std::size_t size() const { return exact_.size(); }

 private:
  std::u16string target_key(const std::wstring& name) const;
  std::u16string source_key(const std::wstring& name) const;

  bool source_ignores_case_;
  bool target_ignores_case_;
  std::unordered_set<std::wstring> exact_;
  std::unordered_map<std::u16string, std::size_t> target_keys_;  // key -> source names with it
  std::unordered_set<std::u16string> source_keys_;
};

}  // namespace TWL_Core
