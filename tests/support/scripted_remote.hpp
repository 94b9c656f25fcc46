#pragma once
// A remote host for tests of the synchronisers, played by the local file system: a remote path
// is the local path of the same name. It does what a real server cannot be made to do on
// request: send hostile names in listings, fail the listing of a folder, and lose the
// connection after a given number of operations (every later operation then fails as a lost
// host does, and the host counts as lost for the pass).

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "remote/remote_access.hpp"

namespace TWL_Core::test {

class ScriptedRemote final : public RemoteAccess {
 public:
  // Names sent in the listing of `folder` besides its real entries, as regular files.
  void add_listed_names(const std::string& folder, std::vector<std::string> names);
  // The listing of `folder` fails.
  void fail_listing(const std::string& folder) { failing_listings_.insert(folder); }
  // Operations after the first `count` find the host gone.
  void lose_connection_after(std::size_t count) { operations_left_ = count; }
  [[nodiscard]] std::size_t operations() const { return operations_; }

  RemoteAnswer exists(const RemoteLocation& location) override;
  RemoteAnswer is_directory(const RemoteLocation& location) override;
  bool make_directory(const RemoteLocation& location) override;
  bool remove_file(const RemoteLocation& location) override;
  RemoteFileInfo inspect(const RemoteLocation& location) override;
  bool log_in(const SshAccount& account) override;
  DownloadedFile download(const RemoteLocation& from, int output,
                          const TransferControl& control) override;
  CopyResult upload(const std::filesystem::path& from, const RemoteLocation& to,
                    const TransferControl& control) override;
  CopyResult copy(const RemoteLocation& from, const RemoteLocation& to,
                  const TransferControl& control) override;
  void clean_leftovers(const RemoteLocation& folder) override;
  bool host_lost(const SshAccount& account) const override;
  void end_pass() override;

 protected:
  std::optional<std::vector<RemoteListingEntry>> list_entries(
      const RemoteLocation& folder) override;

 private:
  // Counts an operation; false once the connection is lost.
  bool connected();

  std::map<std::string, std::vector<std::string>> listed_names_;
  std::set<std::string> failing_listings_;
  std::optional<std::size_t> operations_left_;
  std::size_t operations_ = 0;
  bool lost_ = false;
};

}  // namespace TWL_Core::test
