#include "sync/synchronize.hpp"

#include <filesystem>
#include <stdexcept>

#include "config/config.hpp"
#include "foundation/file_ops.hpp"
#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "remote/sftp_remote.hpp"
#include "sync/backup_proof.hpp"
#include "sync/filesystem_util.hpp"
#include "sync/sync_dir.hpp"
#include "sync/sync_file.hpp"
#include "sync/sync_tree.hpp"
#include "sync/volume_label.hpp"

namespace TWL_Core {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto SSH_DIR_CACHE_AGE = 60s;
constexpr auto PASS_INTERVAL = 1s;
// Only the newest progress message is ever wanted; a daemon without a reader keeps no more.
constexpr std::size_t PENDING_MESSAGES = 16;

void run_file_item(const ItemRun& run) {
  SyncFile sync(run.item, run.files, run.plan_only, run.target_is_dir, run.remote);
  sync();
}

template <typename Synchroniser>
void run_folder_item(const ItemRun& run) {
  Synchroniser sync(run.item, run.files, run.plan_only, run.remote);
  sync();
}

// Closes the remote sessions of an item's pass however the pass ends.
class PassSessions {
 public:
  explicit PassSessions(RemoteAccess& remote) : remote_(remote) {}
  ~PassSessions() { remote_.end_pass(); }
  PassSessions(const PassSessions&) = delete;
  PassSessions& operator=(const PassSessions&) = delete;

 private:
  RemoteAccess& remote_;
};

std::map<SyncItemType, ItemRunner>& item_runners() {
  static std::map<SyncItemType, ItemRunner> runners{
      {SyncItemType::File, run_file_item},
      {SyncItemType::Dir, run_folder_item<SyncDir>},
      {SyncItemType::Tree, run_folder_item<SyncTree>}};
  return runners;
}

std::wstring endpoint_text(const std::unique_ptr<SyncPath>& endpoint) {
  return endpoint ? endpoint->path() : std::wstring();
}

}  // namespace

std::atomic<Synchronize*> Synchronize::this_{nullptr};
std::atomic<bool> Synchronize::stop_{false};

Synchronize& Synchronize::create(SyncType type, SyncControler* controler, SyncRole role) {
  log_at(LogLevel::Debug, "Synchronize::create()");
  if (has_instance()) destroy();
  auto* instance = new Synchronize(type, controler, role);
  this_ = instance;
  instance->start_worker();
  return *instance;
}

void Synchronize::destroy() {
  log_at(LogLevel::Debug, "Synchronize::destroy()");
  delete this_.load();
  this_ = nullptr;
}

Synchronize& Synchronize::instance() {
  log_at(LogLevel::Debug, "Synchronize::instance()");
  Synchronize* instance = this_;
  if (instance == nullptr) throw std::runtime_error(translation::translate_utf8("no_sync_active"));
  return *instance;
}

bool Synchronize::has_instance() { return this_ != nullptr; }

void Synchronize::stop() {
  log_at(LogLevel::Debug, "Synchronize::stop()");
  if (Synchronize* instance = this_) {
    instance->stop_requested_ = true;
    std::lock_guard lock(instance->wait_mutex_);
    instance->wake_up_.notify_all();
  }
  stop_ = true;
}

bool Synchronize::stopping() { return stop_; }

void Synchronize::set_progress_message(const std::wstring& text, const std::wstring& detail,
                                       std::int64_t total) {
  if (Synchronize* instance = this_) {
    instance->copied_bytes_ = 0;
    instance->messages_.push_bounded(
        SyncMessage(text, detail, instance->files_, static_cast<std::uint64_t>(total)),
        PENDING_MESSAGES);
  }
}

void Synchronize::report_copied_bytes(std::uint64_t bytes) {
  if (Synchronize* instance = this_) instance->copied_bytes_ = bytes;
}

void Synchronize::set_item_runner(SyncItemType type, ItemRunner runner) {
  item_runners()[type] = std::move(runner);
}

Synchronize::Synchronize(SyncType type, SyncControler* controler, SyncRole role)
    : type_(type),
      controler_(controler),
      remote_(std::make_unique<SftpRemote>()),
      check_path_(CheckPath::SteadyClock(), remote_.get()),
      role_(role),
      arbiter_(role) {
  stop_ = false;
}

void Synchronize::start_worker() {
  worker_ = WorkerThread([this] { (*this)(); });
}

Synchronize::~Synchronize() {
  log_at(LogLevel::Debug, "Synchronize::~Synchronize()");
  stop_requested_ = true;
  stop_ = true;
  {
    std::lock_guard lock(wait_mutex_);
    wake_up_.notify_all();
  }
  wait();
  Synchronize* self = this;
  this_.compare_exchange_strong(self, nullptr);
  log_at(LogLevel::Debug, "Synchronize::~Synchronize() complete");
}

void Synchronize::wait() {
  if (worker_.joinable() && !worker_.is_current()) worker_.join();
}

SyncMessage Synchronize::get_message() {
  SyncMessage newest;
  try {
    messages_.pop(newest);
    while (messages_.size() > 0) messages_.pop();
  } catch (const EmptyStack&) {
    return SyncMessage();
  }
  return newest;
}

bool Synchronize::path_exists(const std::wstring& path) const {
  log_at(LogLevel::Debug, "path_exists()");
  return FilesystemUtil::file_exists(path);
}

bool Synchronize::is_ssh_target_dir(const std::wstring& path) {
  const auto now = Clock::now();
  const auto cached = ssh_target_dir_cache_.find(path);
  if (cached != ssh_target_dir_cache_.end() && now - cached->second.checked_at < SSH_DIR_CACHE_AGE) {
    return cached->second.is_dir;
  }
  const auto account = get_account_from_path(path);
  const bool is_dir =
      account && remote_->is_directory({*account, get_remote_path(path)}) == RemoteAnswer::Yes;
  ssh_target_dir_cache_[path] = {is_dir, now};
  return is_dir;
}

void Synchronize::operator()() {
  log_at(LogLevel::Debug, "Synchronize::operator()()");
  try {
    while (arbiter_.acquire(stop_requested_)) {
      sync_items();
      if (role_ == SyncRole::Background) arbiter_.release();
      if (type_ != SyncType::Continuous || stop_) break;
      wait_for_next_pass();
      if (stop_) break;
    }
  } catch (const std::exception& e) {
    log_at(LogLevel::FatalError, util::string_to_wstring(e.what()));
  } catch (...) {
    log_at(LogLevel::FatalError, "Unknown error caught in Synchronize::operator()()");
  }
  arbiter_.release();
  log_at(LogLevel::Debug, "End of Synchronize::operator()()");
}

void Synchronize::wait_for_next_pass() {
  std::unique_lock lock(wait_mutex_);
  wake_up_.wait_until(lock, Clock::now() + PASS_INTERVAL,
                      [this] { return stop_requested_ || stop_; });
}

void Synchronize::sync_items() {
  SyncPlanGuard plan_guard(type_ == SyncType::Plan ? &plan_ : nullptr);
  const std::vector<SyncItem> items = Config::instance().syncitems();
  for (std::size_t index = 0; index < items.size(); ++index) {
    if (stop_requested_) break;
    sync_item(PassItem{index, items[index]});
  }
}

void Synchronize::sync_item(const PassItem& entry) {
  const SyncItem& item = entry.item;
  log_lazily(LogLevel::Debug, [&] { return L"Synchronize::sync_item: " + item.name; });
  if (!item.flags.enabled) return;
  log_lazily(LogLevel::Debug, [&] { return L"Synchronize::operator()() Start of " + item.name; });
  if (type_ != SyncType::Plan && !pause_elapsed(item)) return;
  if (real_run()) {
    report_sync_item(entry);
  } else {
    run_sync_item(entry);
  }
}

bool Synchronize::real_run() const {
  return type_ != SyncType::CountFiles && type_ != SyncType::Plan;
}

// An item runs at most once per cycle; the pass rhythm only bounds how late it starts.
bool Synchronize::pause_elapsed(const SyncItem& item) const {
  const auto now = Clock::now();
  const bool elapsed = item.last_sync == SyncItem::MonotonicTime::min() ||
                       now >= item.last_sync + std::chrono::seconds(item.sync_cycle);
  Logging& logging = Logging::instance();
  if (!logging.should_log(LogLevel::Debug)) return elapsed;
  logging.log(LogLevel::Debug, "Synchronize::pause_elapsed() for " +
                                   util::wstring_to_string(item.name) + ": ",
              elapsed);
  if (!elapsed) {
    logging.log(LogLevel::Debug, "now: ", now);
    logging.log(LogLevel::Debug, "last_sync: ", item.last_sync);
  }
  return elapsed;
}

void Synchronize::run_sync_item(const PassItem& entry) {
  const SyncItem& item = entry.item;
  const PassSessions sessions(*remote_);
  try {
    run_guarded(entry);
  } catch (const std::filesystem::filesystem_error& e) {
    util::handle_last_error(e);
    report_sync_error(util::string_to_wstring(e.what()));
  } catch (const std::exception& e) {
    const std::wstring text = util::string_to_wstring(e.what());
    log_at(LogLevel::Error, translation::translate("sync_item_failed"), item.name);
    log_at(LogLevel::Error, text);
    report_sync_error(text);
  } catch (...) {
    log_at(LogLevel::Error, translation::translate("sync_item_unknown_error"), item.name);
    report_sync_error(translation::translate("unknown_error"));
  }
}

void Synchronize::run_guarded(const PassItem& entry) {
  const SyncItem& item = entry.item;
  if (!check_path_(CheckedSide::of(item.source()), CheckedSide::of(item.target()))) {
    report_unreachable(entry);
    return;
  }
  reachability_[entry.index] = true;
  run_synchroniser(item);
  if (real_run()) Config::instance().refresh_last_sync(entry.index, item.name);
}

// An item type without a synchroniser is a failed run, not a silent success. Its last sync is
// still refreshed: nothing would change before the next cycle but the log and the records.
void Synchronize::run_synchroniser(const SyncItem& item) {
  const auto runner = item_runners().find(item.type);
  if (runner == item_runners().end() || !runner->second) {
    const std::wstring text = translation::translate("sync_item_type_not_supported") + item.name;
    log_at(LogLevel::Error, text);
    report_sync_error(text);
    return;
  }
  const bool target_dir = item.type == SyncItemType::File && target_is_directory(item);
  runner->second(ItemRun{item, files_, !real_run(), target_dir, remote_.get()});
}

bool Synchronize::target_is_directory(const SyncItem& item) {
  const auto& target = item.target();
  if (!target) return false;
  if (target->path_type == PathType::Ssh) return is_ssh_target_dir(target->path());
  std::error_code error;
  return std::filesystem::is_directory(util::to_path(without_volume_spec(target->path())), error);
}

void Synchronize::report_unreachable(const PassItem& pass_item) {
  const SyncItem& item = pass_item.item;
  auto [entry, inserted] = reachability_.try_emplace(pass_item.index, true);
  const bool was_reachable = std::exchange(entry->second, false);
  if (!was_reachable) return;
  const std::wstring text = translation::translate("source_or_target_not_reachable") +
                            endpoint_text(item.source()) + L" -> " + endpoint_text(item.target());
  if (item.flags.warnIfUnreachable) {
    log_at(LogLevel::Warning, text);
    report_sync_error(text);
  } else {
    log_at(LogLevel::Info, text);
  }
}

void Synchronize::report_sync_item(const PassItem& entry) {
  const SyncItem& item = entry.item;
  const std::size_t before = files_;
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    run_sync_item(entry);
  }
  const std::size_t after = files_;
  Config& config = Config::instance();
  config.record_last_run(entry.index, item.name, last_run_of(entry.index, report));
  const std::wstring proof_dir = config.settings.BackupProofPath;
  const bool something_happened = after != before || report.volume() != 0 || !report.errors().empty();
  if (item.flags.backupProof && !proof_dir.empty() && something_happened) {
    // A record that cannot be written is logged there; the run itself stands.
    (void)write_copy_log(util::to_path(proof_dir), item, after - before, report);
  }
}

LastRun Synchronize::last_run_of(std::size_t index, const SyncReport& report) const {
  const auto entry = reachability_.find(index);
  return LastRun{entry == reachability_.end() || entry->second, report.errors().size(),
                 report.errors().empty() ? std::wstring() : report.errors().front()};
}

}  // namespace TWL_Core
