#include "sync/folder_names.hpp"

#include "foundation/file_name_key.hpp"

namespace TWL_Core {

FolderNames::FolderNames(bool source_ignores_case, bool target_ignores_case)
    : source_ignores_case_(source_ignores_case), target_ignores_case_(target_ignores_case) {}

void FolderNames::add(const std::wstring& name) {
  if (!exact_.insert(name).second) return;
  std::u16string key = target_key(name);
  ++target_keys_[key];
  source_keys_.insert(source_ignores_case_ == target_ignores_case_ ? std::move(key)
                                                                   : source_key(name));
}

bool FolderNames::collides_on_target(const std::wstring& name) const {
  const auto found = target_keys_.find(target_key(name));
  return found != target_keys_.end() && found->second > 1;
}

FolderNames::TargetName FolderNames::classify_target(const std::wstring& name) const {
  if (exact_.count(name) != 0 || target_keys_.count(target_key(name)) != 0) {
    return TargetName::Handled;
  }
  if (source_keys_.count(source_key(name)) != 0) return TargetName::SourceWouldMatch;
  return TargetName::Unseen;
}

std::u16string FolderNames::target_key(const std::wstring& name) const {
  return util::file_name_key(name, target_ignores_case_);
}

std::u16string FolderNames::source_key(const std::wstring& name) const {
  return util::file_name_key(name, source_ignores_case_);
}

}  // namespace TWL_Core
