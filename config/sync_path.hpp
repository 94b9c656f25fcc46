#pragma once
// One endpoint of a sync item: a local path or a path on an SSH host. Endpoints are held
// through a single owner and deep-copied with clone().

#include <cstdint>
#include <memory>
#include <string>

#include "remote/ssh_account.hpp"

namespace TWL_Core {

enum class PathType : std::int32_t { Filesystem = 0, Ssh = 1 };

// Which sides of an item are SSH endpoints.
enum class SSHPATH : std::int32_t { None = 0, Source = 1, Target = 2, Both = 3 };

inline bool source_is_remote(SSHPATH kind) { return (static_cast<int>(kind) & 1) != 0; }
inline bool target_is_remote(SSHPATH kind) { return (static_cast<int>(kind) & 2) != 0; }

class SyncPath {
 public:
  virtual ~SyncPath() = default;
  // The endpoint's full text form: a local path, or "account:remote path".
  virtual std::wstring path() const = 0;
  virtual std::unique_ptr<SyncPath> clone() const = 0;

  const PathType path_type;

 protected:
  explicit SyncPath(PathType type) : path_type(type) {}
  SyncPath(const SyncPath&) = default;
  SyncPath& operator=(const SyncPath&) = delete;
};

class FilesystemPath final : public SyncPath {
 public:
  FilesystemPath() : SyncPath(PathType::Filesystem) {}
  explicit FilesystemPath(std::wstring path) : SyncPath(PathType::Filesystem), path_(std::move(path)) {}

  std::wstring path() const override { return path_; }
  std::unique_ptr<SyncPath> clone() const override { return std::make_unique<FilesystemPath>(*this); }
  void set_path(std::wstring path) { path_ = std::move(path); }

 private:
  std::wstring path_;
};

class SshPath final : public SyncPath {
 public:
  SshPath() : SyncPath(PathType::Ssh) {}
  // `text` may carry the account's "name:" prefix; the remote path is the text without it.
  SshPath(const SshAccount& account, const std::wstring& text);

  // The account name, ":" and the remote path.
  std::wstring path() const override;
  std::unique_ptr<SyncPath> clone() const override { return std::make_unique<SshPath>(*this); }

  const SshAccount& account() const { return account_; }
  SshAccount& account() { return account_; }
  void set_account(const SshAccount& account) { account_ = account; }
  const std::wstring& remote_path() const { return remote_path_; }
  // Replaces the remote part; no prefix handling.
  void set_path(std::wstring path) { remote_path_ = std::move(path); }

 private:
  SshAccount account_;
  std::wstring remote_path_;
};

}  // namespace TWL_Core
