#define FUSE_USE_VERSION 34

#include "platform/fileprovider/drive/fuse_drive.hpp"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>
#include <utility>

#include "core/shared_store.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "platform/desktop/content_types.hpp"
#include "platform/fileprovider/drive/errno_mapping.hpp"
#include "platform/fileprovider/drive/upload_notifier.hpp"
#include "platform/fileprovider/item_fields.hpp"
#include "platform/http/http_session.hpp"

extern char** environ;

namespace folium::platform::drive {

// Defined in fuse_operations.cpp.
const fuse_lowlevel_ops& driveOperations();

namespace {

// Threads of the pool the plug-in runs its calls on: listings of several folders and a few
// downloads at once.
constexpr std::size_t kPluginThreads = 8;
// How often the server is tried while it cannot be reached.
constexpr std::chrono::seconds kProbeInterval{5};
// How long a stopping drive waits for requests still waiting on the server.
constexpr std::chrono::seconds kDrainLimit{90};
// Memory the drive's process keeps once freed (see FuseDrive::FuseDrive).
constexpr int kKeptFreeBytes = 64 << 20;
constexpr int kLargestHeapBlock = 16 << 20;

ErrorPtr posixError(int code, std::string description) {
  return std::make_shared<const ErrorObject>(std::string(NSPOSIXErrorDomain), code,
                                             std::move(description));
}

// Stores a listing in the replica as its parts arrive (while the plug-in fetches the next
// one), tells the kernel what changed, and hands the outcome over once, when it ends.
class ListingObserver final : public EnumerationObserver {
 public:
  using Tell = std::function<void(Invalidations invalidations)>;
  using Done = std::function<void(ErrorPtr error)>;
  ListingObserver(Replica& replica, std::uint64_t container, Tell tell, Done done)
      : replica_(replica), container_(container), tell_(std::move(tell)), done_(std::move(done)) {}

  void didEnumerateItems(std::vector<ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    if (!done_ || failure_) return;
    try {
      tell_(replica_.addToListing(container_, std::move(items), listing_));
    } catch (const std::exception& e) {
      failure_ = posixError(EIO, std::string("cannot store the listing: ") + e.what());
    }
  }
  void finishEnumeratingUpToPage(std::optional<EnumerationPage>) override { finish(nullptr); }
  void finishEnumeratingWithError(ErrorPtr error) override {
    finish(error ? std::move(error) : posixError(EIO, "the listing failed"));
  }

 private:
  void finish(ErrorPtr error) {
    Done done;
    {
      std::lock_guard lock(mutex_);
      if (!done_) return;
      done = std::move(done_);
      done_ = nullptr;
      if (!error) error = failure_;
      if (!error) {
        try {
          tell_(replica_.endListing(container_, listing_));
        } catch (const std::exception& e) {
          error = posixError(EIO, std::string("cannot store the listing: ") + e.what());
        }
      }
    }
    done(std::move(error));
  }

  std::mutex mutex_;  // guards what follows; taken before the replica's
  Replica& replica_;
  const std::uint64_t container_;
  Tell tell_;
  Done done_;
  Replica::Listing listing_;
  ErrorPtr failure_;
};

// Collects a change enumeration, in feed order.
class ChangesObserver final : public ChangeObserver {
 public:
  struct Result {
    std::vector<ReplicaChange> changes;
    std::optional<SyncAnchor> anchor;
    ErrorPtr error;
  };

  void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) override {
    std::lock_guard lock(mutex_);
    for (auto& identifier : identifiers) result_.changes.push_back({std::move(identifier), {}});
  }
  void didUpdateItems(std::vector<ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) result_.changes.push_back({std::nullopt, std::move(item)});
  }
  void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool) override {
    std::lock_guard lock(mutex_);
    result_.anchor = std::move(anchor);
    finish();
  }
  void finishEnumeratingWithError(ErrorPtr error) override {
    std::lock_guard lock(mutex_);
    result_.error = error ? std::move(error) : posixError(EIO, "the change feed failed");
    finish();
  }
  std::future<Result> result() { return promise_.get_future(); }

 private:
  void finish() {
    if (finished_) return;
    finished_ = true;
    promise_.set_value(std::move(result_));
  }

  std::mutex mutex_;
  Result result_;
  bool finished_ = false;
  std::promise<Result> promise_;
};

// Runs fusermount3 to detach the mount at `mountPoint` (lazily: users of it keep what they
// hold open).
void detachMount(const std::filesystem::path& mountPoint) {
  const std::string path = mountPoint.string();
  const char* argv[] = {"fusermount3", "-u", "-z", "-q", "--", path.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char* const*>(argv),
                   environ) == 0) {
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
  }
}

// A mount left behind by a process that died answers ENOTCONN: detach it first.
void detachStaleMount(const std::filesystem::path& mountPoint) {
  struct stat status {};
  if (::stat(mountPoint.c_str(), &status) == 0 || errno != ENOTCONN) return;
  detachMount(mountPoint);
}

}  // namespace

FuseDrive::FuseDrive(DriveOptions options)
    : options_(std::move(options)),
      clock_(options_.clock ? options_.clock : std::make_shared<SystemClock>()) {
  if (options_.mountPoint.empty() || options_.stateDirectory.empty()) {
    throw std::invalid_argument("a drive needs a mount point and a state folder");
  }
  // A drive is its process's whole work (one process per domain), and it works in bursts: a
  // listing decodes and stores page after page. The memory one page frees is kept for the
  // next instead of going back to the system and being faulted in again, which costs more
  // than the decoding itself on some machines.
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
  ::mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  replica_ = std::make_unique<Replica>(options_.stateDirectory, options_.domain.displayName);
  pool_ = std::make_unique<ThreadPool>(kPluginThreads);
  // Fetched files land in staging/, beside contents/, so they are renamed in, never copied.
  extension_ = std::make_shared<fp::FileProviderExtension>(
      options_.domain, SharedStore(SharedStore::appGroupID), sharedHttpSession(), *pool_,
      replica_->stagingDirectory());
  UploadQueueOptions uploads;
  uploads.stateDirectory = options_.stateDirectory;
  uploads.driveName = options_.mountPoint.filename().string();
  uploads.notifier = makeDesktopNotifier();
  queue_ = std::make_unique<UploadQueue>(std::move(uploads), *extension_, *clock_,
                                         static_cast<UploadListener&>(*this));
  queue_->start();  // only now: its threads call back into this drive, which reads queue_
  recoverEdits();
  // The times of edits still waiting; the others show the server's now.
  for (const auto& [id, time] : replica_->localTimes()) {
    if (queue_->holds(id) || replica_->edited(id)) {
      localTimes_[id] = time;
    } else {
      replica_->dropLocalTime(id);
    }
  }
  if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("cannot create the drive's stop pipe: ") +
                             std::strerror(errno));
  }
  status_.anchor = replica_->anchor();
}

FuseDrive::~FuseDrive() {
  stop();
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
    if (pollTimer_ != 0) clock_->cancel(pollTimer_);
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (notifier_.joinable()) notifier_.join();
  if (stopper_.joinable()) stopper_.join();
  closeHandles();
  // Uploads under way end first (the others wait in the replica for the next start), then
  // completions of calls still running, which refer to this drive. The queue is stopped
  // before it is destroyed: the last upload's completion still reads queue_.
  queue_->stop();
  queue_.reset();
  extension_->waitForRunningTasks();
  extension_.reset();
  pool_.reset();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

void FuseDrive::run() {
  detachStaleMount(options_.mountPoint);
  std::error_code ignored;
  if (!std::filesystem::exists(options_.mountPoint, ignored)) {
    std::filesystem::create_directories(options_.mountPoint, ignored);
  }
  const std::string mountPoint = options_.mountPoint.string();
  std::vector<std::string> arguments = {"folium", "-o",
                                        "fsname=folium,subtype=folium,default_permissions"};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  session_ = fuse_session_new(&args, &driveOperations(), sizeof(fuse_lowlevel_ops), this);
  fuse_opt_free_args(&args);
  if (session_ == nullptr) {
    throw std::runtime_error("cannot set up the drive's file system for " + mountPoint);
  }
  if (fuse_session_mount(session_, mountPoint.c_str()) != 0) {
    fuse_session_destroy(session_);
    session_ = nullptr;
    throw std::runtime_error("cannot mount the drive at " + mountPoint +
                             ": check that the folder exists, is empty and is yours, and that "
                             "/dev/fuse and fusermount3 are available");
  }
  mounted_ = true;

  {
    std::lock_guard lock(mutex_);
    quitting_ = false;
  }
  notifier_ = std::thread([this] { notifierLoop(); });
  worker_ = std::thread([this] { workerLoop(); });
  stopper_ = std::thread([this] { stopperLoop(); });
  // The first thing the drive does: take the working set's anchor (when it has none), so
  // a change made while containers are listed is replayed rather than missed.
  post([this] {
    if (!replica_->anchor()) takeAnchor();
    std::vector<Job> waiting;
    {
      std::lock_guard lock(mutex_);
      anchorReady_ = true;
      waiting.swap(waitingForAnchor_);
    }
    for (auto& job : waiting) job();
    sync();
    schedulePoll();
    maintainCache();
  });

  fuse_loop_config config{};
  config.clone_fd = 0;
  config.max_idle_threads = 16;
  if (!stopping_) fuse_session_loop_mt(session_, &config);

  // The loop ended: by stop(), or by an unmount from outside.
  stopping_ = true;
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
    status_.state = DriveStatus::State::stopped;
    if (pollTimer_ != 0) clock_->cancel(pollTimer_);
    pollTimer_ = 0;
  }
  changed_.notify_all();
  const char wake = 'q';
  [[maybe_unused]] auto written = ::write(stopPipe_[1], &wake, 1);
  if (worker_.joinable()) worker_.join();
  {
    std::lock_guard lock(mutex_);
    workerGone_ = true;
  }
  if (stopper_.joinable()) stopper_.join();
  // Requests still waiting on the server are answered before the session goes.
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kDrainLimit, [this] { return inflight_.load() == 0; });
  }
  if (notifier_.joinable()) notifier_.join();
  {
    std::lock_guard lock(mutex_);
    notifierGone_ = true;
  }
  mounted_ = false;
  fuse_session_unmount(session_);
  fuse_session_destroy(session_);
  session_ = nullptr;
  closeHandles();
}

void FuseDrive::stop() noexcept {
  // Only a flag and a write: safe in a signal handler.
  stopping_.store(true);
  const char wake = 's';
  [[maybe_unused]] auto written = ::write(stopPipe_[1], &wake, 1);
}

void FuseDrive::stopperLoop() {
  for (;;) {
    pollfd descriptor{stopPipe_[0], POLLIN, 0};
    if (::poll(&descriptor, 1, -1) < 0 && errno == EINTR) continue;
    char byte = 0;
    while (::read(stopPipe_[0], &byte, 1) == 1) {
      if (byte == 'q') return;
    }
    if (!stopping_) continue;
    fuse_session_exit(session_);
    // Detaching the mount ends the kernel's connection once nothing uses the drive, which
    // wakes the loop's workers; a request still coming in ends the loop as well.
    detachMount(options_.mountPoint);
    return;
  }
}

void FuseDrive::endAsync() {
  if (inflight_.fetch_sub(1) == 1) {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
}

void FuseDrive::invalidate(Invalidations invalidations, std::function<void()> then) {
  if (invalidations.empty() && !then) return;
  {
    std::lock_guard lock(mutex_);
    if (!notifierGone_) {
      notices_.push_back({std::move(invalidations), std::move(then)});
      changed_.notify_all();
      return;
    }
  }
  // Unmounted: there is no kernel to tell.
  if (then) then();
}

void FuseDrive::notifierLoop() {
  for (;;) {
    Notice notice;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !notices_.empty() || (quitting_ && inflight_ == 0); });
      if (notices_.empty()) return;
      notice = std::move(notices_.front());
      notices_.pop_front();
    }
    if (mounted_) {
      for (const auto& [parent, name] : notice.invalidations.entries) {
        fuse_lowlevel_notify_inval_entry(session_, parent, name.c_str(), name.size());
      }
      for (const auto inode : notice.invalidations.inodes) {
        fuse_lowlevel_notify_inval_inode(session_, inode, 0, 0);
      }
    }
    if (notice.then) notice.then();
  }
}

void FuseDrive::noteFailure(const ErrorPtr& error) {
  if (!error) return;
  if (meansOffline(error)) {
    setOffline(true);
  }
  std::lock_guard lock(mutex_);
  status_.lastError = describeFailure(error);
}

void FuseDrive::noteSuccess() {
  if (offline_) setOffline(false);
}

void FuseDrive::setOffline(bool offline) {
  const bool was = offline_.exchange(offline);
  {
    std::lock_guard lock(mutex_);
    if (status_.state != DriveStatus::State::stopped) {
      status_.state = offline ? DriveStatus::State::offline : DriveStatus::State::online;
    }
    if (!offline) status_.lastError.reset();
  }
  if (was == offline || stopping_) return;
  // Offline: try the server again soon. Back online: catch up with its changes and retry
  // failed uploads at once (new files still wait out their grace period).
  if (offline) {
    schedulePoll();
  } else {
    queue_->retryNow(false);
    post([this] {
      sync();
      schedulePoll();
    });
  }
}

void FuseDrive::ensureListed(std::uint64_t container, Done done) {
  const auto item = replica_->item(container);
  if (!item) return done(ENOENT);
  if (!item->isContainer()) return done(ENOTDIR);
  if (item->childrenListed) return done(0);
  if (stopping_) return done(ESHUTDOWN);
  if (offline_) return done(ENETUNREACH);
  if (!item->identifier) return done(0);  // made here, not on the server yet: nothing to list
  {
    std::lock_guard lock(mutex_);
    auto& waiting = listings_[container];
    waiting.push_back(std::move(done));
    if (waiting.size() > 1) return;  // a listing is under way
    if (!anchorReady_) {
      waitingForAnchor_.push_back([this, container, identifier = *item->identifier] {
        startListing(container, identifier);
      });
      return;
    }
  }
  startListing(container, *item->identifier);
}

void FuseDrive::startListing(std::uint64_t container, const ItemIdentifier& identifier) {
  ErrorPtr error;
  auto enumerator = extension_->enumeratorForContainerItemIdentifier(identifier, {}, error);
  if (!enumerator) {
    return finishListing(container, error ? error : posixError(EIO, "no enumerator"));
  }
  auto observer = std::make_shared<ListingObserver>(
      *replica_, container, [this](Invalidations changed) { invalidate(std::move(changed)); },
      [this, container](ErrorPtr failure) { finishListing(container, failure); });
  enumerator->enumerateItems(observer, std::string(kInitialPageSortedByName));
}

void FuseDrive::finishListing(std::uint64_t container, const ErrorPtr& error) {
  finishRequests(listings_, container, error);
}

void FuseDrive::finishRequests(std::map<std::uint64_t, std::vector<Done>>& requests,
                               std::uint64_t key, const ErrorPtr& error) {
  if (error) {
    noteFailure(error);
  } else {
    noteSuccess();
  }
  std::vector<Done> waiting;
  {
    std::lock_guard lock(mutex_);
    const auto found = requests.find(key);
    if (found != requests.end()) {
      waiting = std::move(found->second);
      requests.erase(found);
    }
  }
  const int code = errnoFor(error);
  for (auto& done : waiting) done(code);
}

void FuseDrive::ensureFetched(std::uint64_t id, Done done) {
  const auto item = replica_->item(id);
  if (!item) return done(ENOENT);
  if (item->isContainer()) return done(EISDIR);
  // A local edit not handed over yet is the file's contents.
  if (item->contentsCurrent() || (item->contentFile && replica_->edited(id))) return done(0);
  if (stopping_) return done(ESHUTDOWN);
  if (offline_) return done(ENETUNREACH);
  if (!item->identifier) return done(ENOENT);
  {
    std::lock_guard lock(mutex_);
    auto& waiting = fetches_[id];
    waiting.push_back(std::move(done));
    if (waiting.size() > 1) return;
  }
  const ItemVersion version{item->contentVersion, item->metadataVersion};
  extension_->fetchContentsForItemWithIdentifier(
      *item->identifier, version, {},
      [this, id](std::optional<std::filesystem::path> contents, ItemPtr fetched, ErrorPtr error) {
        if (!error && !contents) error = posixError(EIO, "the fetch gave no file");
        if (!error) {
          try {
            invalidate(replica_->storeContents(id, *contents, fetched));
          } catch (const std::system_error& e) {
            error = posixError(e.code().value(), e.what());
          } catch (const std::exception& e) {
            error = posixError(EIO, e.what());
          }
        }
        finishRequests(fetches_, id, error);
        // Once the openers hold the new file (their replies come first), the cache keeps its
        // bound.
        if (!error) invalidate({}, [this] { requestTrim(); });
      });
}

// --- The sync worker -------------------------------------------------------------------

void FuseDrive::post(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (!workerGone_) {
      jobs_.push_back(std::move(job));
      changed_.notify_all();
      return;
    }
  }
  // The drive has stopped: the job only answers its caller (it makes no request).
  job();
}

void FuseDrive::workerLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !jobs_.empty() || quitting_; });
      // Jobs left when the drive stops still run, to answer their callers; they find it
      // stopping and make no request.
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      workerBusy_ = true;
    }
    job();
    std::lock_guard lock(mutex_);
    workerBusy_ = false;
  }
}

void FuseDrive::schedulePoll() {
  std::lock_guard lock(mutex_);
  if (quitting_) return;
  if (pollTimer_ != 0) clock_->cancel(pollTimer_);
  const Clock::Duration delay =
      offline_ ? std::min<Clock::Duration>(kProbeInterval, options_.pollInterval)
               : Clock::Duration(options_.pollInterval);
  pollTimer_ = clock_->schedule(delay, [this] {
    post([this] {
      sync();
      schedulePoll();
      maintainCache();
    });
  });
}

void FuseDrive::retryNow() {
  if (queue_) queue_->retryNow();
  post([this] {
    sync();
    schedulePoll();
    maintainCache();
  });
}

void FuseDrive::signalEnumerator(const ItemIdentifier&,
                                 std::function<void(ErrorPtr error)> completionHandler) {
  // Every container follows the same feed: any signal asks for the changes of the drive.
  post([this, handler = std::move(completionHandler)] {
    ErrorPtr error = sync();
    schedulePoll();
    // Answered once the kernel was told of what changed, so that the caller sees it.
    invalidate({}, [handler, error] {
      if (handler) handler(error);
    });
  });
}

std::pair<ItemPtr, ErrorPtr> FuseDrive::itemNow(const ItemIdentifier& identifier) {
  std::promise<std::pair<ItemPtr, ErrorPtr>> promise;
  auto future = promise.get_future();
  extension_->itemForIdentifier(identifier, {}, [&promise](ItemPtr item, ErrorPtr error) {
    promise.set_value({std::move(item), std::move(error)});
  });
  return future.get();
}

ErrorPtr FuseDrive::listNow(std::uint64_t container) {
  const auto item = replica_->item(container);
  if (!item || !item->identifier) return posixError(ENOENT, "no such container");
  std::promise<ErrorPtr> promise;
  auto future = promise.get_future();
  ErrorPtr error;
  auto enumerator = extension_->enumeratorForContainerItemIdentifier(*item->identifier, {}, error);
  if (!enumerator) return error ? error : posixError(EIO, "no enumerator");
  auto observer = std::make_shared<ListingObserver>(
      *replica_, container, [this](Invalidations changed) { invalidate(std::move(changed)); },
      [&promise](ErrorPtr failure) { promise.set_value(std::move(failure)); });
  enumerator->enumerateItems(observer, std::string(kInitialPageSortedByName));
  return future.get();
}

std::optional<SyncAnchor> FuseDrive::takeAnchor() {
  ErrorPtr error;
  auto enumerator = extension_->enumeratorForContainerItemIdentifier(
      std::string(NSFileProviderWorkingSetContainerItemIdentifier), {}, error);
  if (!enumerator) {
    noteFailure(error);
    std::lock_guard lock(mutex_);
    anchorNeedsRetake_ = true;
    return std::nullopt;
  }
  std::promise<std::optional<SyncAnchor>> promise;
  auto future = promise.get_future();
  enumerator->currentSyncAnchor(
      [&promise](std::optional<SyncAnchor> anchor) { promise.set_value(std::move(anchor)); });
  std::optional<SyncAnchor> anchor = future.get();
  // The plug-in hands out the anchor of the feed's start when it cannot read the feed:
  // such an anchor is only kept when the server answers, else it is taken again later.
  bool reachable = anchor.has_value();
  if (anchor && *anchor == "v4:0") reachable = !listNow(Replica::kRootId);
  if (!reachable) {
    setOffline(true);
    std::lock_guard lock(mutex_);
    anchorNeedsRetake_ = true;
    return std::nullopt;
  }
  replica_->setAnchor(*anchor);
  std::lock_guard lock(mutex_);
  anchorNeedsRetake_ = false;
  status_.anchor = anchor;
  return anchor;
}

ErrorPtr FuseDrive::relistAll() {
  // The anchor first: a change made during the listings is then replayed, not missed.
  const auto anchor = takeAnchor();
  if (!anchor) return posixError(ENETUNREACH, "the server cannot be reached");
  for (const auto& identifier : replica_->listedContainers()) {
    const auto item = replica_->itemWithIdentifier(identifier);
    if (!item) continue;  // removed with a container listed before it
    ErrorPtr error = listNow(item->id);
    if (error && errnoFor(error) != ENOENT) return error;
  }
  return nullptr;
}

ErrorPtr FuseDrive::sync() {
  if (stopping_) return posixError(ESHUTDOWN, "the drive is stopping");
  // One short request tells whether the server answers, since the change feed does not
  // report its failures; it also refreshes the list of workspaces.
  ErrorPtr probe = listNow(Replica::kRootId);
  if (probe) {
    noteFailure(probe);
    if (!meansOffline(probe)) {
      std::lock_guard lock(mutex_);
      status_.state = DriveStatus::State::error;
    }
    return probe;
  }
  noteSuccess();
  std::vector<std::uint64_t> unsettled;
  {
    std::lock_guard lock(mutex_);
    if (status_.state != DriveStatus::State::stopped) status_.state = DriveStatus::State::online;
    for (const auto& [id, placement] : unsettled_) unsettled.push_back(id);
  }
  // Before the changes, which would move such an item back where the server had it.
  for (const auto id : unsettled) settlePlacement(id);

  bool retake = false;
  {
    std::lock_guard lock(mutex_);
    retake = anchorNeedsRetake_;
  }
  const auto anchor = replica_->anchor();
  if (retake || !anchor) return relistAll();

  ErrorPtr error;
  auto enumerator = extension_->enumeratorForContainerItemIdentifier(
      std::string(NSFileProviderWorkingSetContainerItemIdentifier), {}, error);
  if (!enumerator) {
    noteFailure(error);
    return error;
  }
  auto observer = std::make_shared<ChangesObserver>();
  auto result = observer->result();
  enumerator->enumerateChanges(observer, *anchor);
  ChangesObserver::Result changes = result.get();
  if (changes.error) {
    if (changes.error->is(NSFileProviderErrorDomain,
                          static_cast<std::int64_t>(FileProviderErrorCode::syncAnchorExpired))) {
      return relistAll();
    }
    noteFailure(changes.error);
    return changes.error;
  }
  if (!changes.anchor) return nullptr;
  try {
    invalidate(replica_->applyChanges(changes.changes, *changes.anchor));
  } catch (const std::exception& e) {
    auto failure = posixError(EIO, std::string("cannot store the changes: ") + e.what());
    noteFailure(failure);
    return failure;
  }
  std::lock_guard lock(mutex_);
  status_.anchor = changes.anchor;
  return nullptr;
}

// --- User-visible URLs -------------------------------------------------------------------

std::optional<std::filesystem::path> FuseDrive::resolveURL(const ItemIdentifier& identifier,
                                                           ErrorPtr& error) {
  if (identifier == NSFileProviderRootContainerItemIdentifier) return options_.mountPoint;
  if (stopping_) {
    error = posixError(ESHUTDOWN, "the drive is stopping");
    return std::nullopt;
  }
  if (identifier == NSFileProviderWorkingSetContainerItemIdentifier ||
      identifier == NSFileProviderTrashContainerItemIdentifier) {
    return std::nullopt;
  }
  // Climb until an ancestor the replica holds, asking the plug-in for each unknown one.
  std::vector<ItemIdentifier> unknown;
  ItemIdentifier at = identifier;
  for (int depth = 0; depth < 256; ++depth) {
    if (const auto known = replica_->itemWithIdentifier(at)) {
      if (replica_->relativePath(known->id)) break;
    }
    auto [item, failure] = itemNow(at);
    if (failure) {
      const int code = errnoFor(failure);
      if (code != ENOENT) error = failure;
      return std::nullopt;
    }
    if (!item || item->itemIdentifier() == NSFileProviderRootContainerItemIdentifier) {
      return std::nullopt;  // an identifier that names no item of the server
    }
    unknown.push_back(at);
    at = item->parentItemIdentifier();
  }
  // Then list downwards, so that each level gets the names the file manager shows.
  for (auto level = unknown.rbegin(); level != unknown.rend(); ++level) {
    const auto parent = replica_->itemWithIdentifier(at);
    if (!parent) return std::nullopt;
    if (!parent->childrenListed) {
      if (ErrorPtr failure = listNow(parent->id)) {
        noteFailure(failure);
        if (errnoFor(failure) != ENOENT) error = failure;
        return std::nullopt;
      }
    }
    at = *level;
  }
  const auto item = replica_->itemWithIdentifier(identifier);
  if (!item) return std::nullopt;
  const auto relative = replica_->relativePath(item->id);
  if (!relative) return std::nullopt;
  return options_.mountPoint / *relative;
}

void FuseDrive::userVisibleURL(
    const ItemIdentifier& item,
    std::function<void(std::optional<std::filesystem::path> url, ErrorPtr error)> handler) {
  post([this, item, handler = std::move(handler)] {
    ErrorPtr error;
    std::optional<std::filesystem::path> url;
    try {
      url = resolveURL(item, error);
    } catch (const std::exception& e) {
      error = posixError(EIO, e.what());
    }
    if (handler) handler(std::move(url), std::move(error));
  });
}

DriveStatus FuseDrive::status() const {
  const UploadStatus uploads = queue_->status();
  std::lock_guard lock(mutex_);
  DriveStatus status = status_;
  status.pendingUploads = uploads.pendingUploads;
  status.refusedUploads = uploads.refusedUploads;
  status.conflicts = uploads.conflicts;
  // The most telling failure: the upload's when one is failing, else the drive's own.
  if (uploads.lastError) status.lastError = uploads.lastError;
  return status;
}

// --- Writing -----------------------------------------------------------------------------

std::shared_ptr<TemplateItem> requestItem(ItemIdentifier identifier, ItemIdentifier parent,
                                          std::string filename, bool folder) {
  return std::make_shared<TemplateItem>(
      std::move(identifier), std::move(parent), std::move(filename),
      folder ? std::optional<std::string>(kFolderContentType) : std::nullopt);
}

void FuseDrive::catchUp() {
  post([this] {
    sync();
    schedulePoll();
  });
}

bool FuseDrive::settleLater(std::uint64_t item, Placement placement) {
  {
    std::lock_guard lock(mutex_);
    // A newer placement supersedes the one still unsettled.
    const auto found = unsettled_.find(item);
    if (found != unsettled_.end()) {
      placement.retry = placement.retry || found->second.retry;
      placement.ready = found->second.ready;
      found->second = std::move(placement);
      return false;
    }
    placement.ready = true;  // the caller paused the item's uploads
    unsettled_[item] = std::move(placement);
  }
  post([this, item] { settlePlacement(item); });
  return true;
}

bool FuseDrive::isUnsettled(std::uint64_t item) const {
  std::lock_guard lock(mutex_);
  return unsettled_.contains(item);
}

void FuseDrive::settled(std::uint64_t item) {
  bool recorded = false;
  {
    std::lock_guard lock(mutex_);
    const auto found = unsettled_.find(item);
    // One whose pause has not taken effect yet resumes when it does.
    recorded = found != unsettled_.end() && found->second.ready;
    if (found != unsettled_.end()) unsettled_.erase(found);
  }
  if (recorded) queue_->resume(item);
}

void FuseDrive::beginRename(std::uint64_t item, std::function<void()> start) {
  {
    std::lock_guard lock(mutex_);
    const auto running = renaming_.find(item);
    if (running != renaming_.end()) {
      running->second.push_back(std::move(start));
      return;
    }
    renaming_[item];
  }
  start();
}

void FuseDrive::endRename(std::uint64_t item) {
  std::function<void()> next;
  {
    std::lock_guard lock(mutex_);
    const auto running = renaming_.find(item);
    if (running == renaming_.end()) return;
    if (running->second.empty()) {
      renaming_.erase(running);
      return;
    }
    next = std::move(running->second.front());
    running->second.pop_front();
  }
  next();
}

void FuseDrive::placeOnServer(std::uint64_t id, Placement placement) {
  {
    std::lock_guard lock(mutex_);
    const auto found = unsettled_.find(id);
    if (found != unsettled_.end()) {
      found->second.parent = std::move(placement.parent);
      found->second.name = std::move(placement.name);
      found->second.retry = true;
      return;
    }
    placement.retry = true;
    placement.ready = false;
    unsettled_[id] = std::move(placement);
  }
  // Settled once no upload of the item runs (one may be running now).
  queue_->pause(id, [this, id] {
    bool recorded = false;
    {
      std::lock_guard lock(mutex_);
      const auto found = unsettled_.find(id);
      if (found != unsettled_.end()) found->second.ready = recorded = true;
    }
    if (!recorded) return queue_->resume(id);
    post([this, id] { settlePlacement(id); });
  });
}

void FuseDrive::settlePlacement(std::uint64_t id) {
  Placement wanted;
  {
    std::lock_guard lock(mutex_);
    const auto found = unsettled_.find(id);
    if (found == unsettled_.end() || !found->second.ready) return;
    wanted = found->second;
  }
  // After a rename of the item under way, if any: then nothing else moves it meanwhile.
  std::promise<void> turn;
  beginRename(id, [&turn] { turn.set_value(); });
  turn.get_future().wait();
  struct End {
    FuseDrive& drive;
    std::uint64_t id;
    ~End() { drive.endRename(id); }
  } end{*this, id};
  {
    std::lock_guard lock(mutex_);
    const auto found = unsettled_.find(id);
    if (found == unsettled_.end() || !found->second.ready) return;  // settled meanwhile
    wanted = found->second;
  }
  auto finish = [this, id] { settled(id); };
  const auto item = replica_->item(id);
  if (!item || !item->identifier || stopping_) return finish();
  auto [found, error] = itemNow(*item->identifier);
  if (error || !found) {
    if (errnoFor(error) == ENOENT) return finish();  // deleted: nothing to place
    noteFailure(error);
    return;  // tried again at the next sync
  }
  // Where the server has it is the drive's doing (its uploads were paused): a rename that
  // went through, or half of one (a new name without the move), or none.
  ItemPtr placed = found;
  if ((found->filename() != wanted.name || found->parentItemIdentifier() != wanted.parent) &&
      wanted.retry) {
    auto request = requestItem(*item->identifier, wanted.parent, wanted.name, item->isContainer());
    std::promise<std::pair<ItemPtr, ErrorPtr>> promise;
    auto future = promise.get_future();
    extension_->modifyItem(request, found->itemVersion(),
                           ItemField::filename | ItemField::parentItemIdentifier, std::nullopt, 0,
                           {}, [&promise](ItemPtr changed, ItemFields, bool, ErrorPtr failure) {
                             promise.set_value({std::move(changed), std::move(failure)});
                           });
    auto [changed, failure] = future.get();
    if (failure || !changed) {
      noteFailure(failure ? failure : posixError(EIO, "the move gave no item"));
      return;
    }
    placed = changed;
  }
  {
    std::lock_guard lock(mutex_);
    if (!unsettled_.contains(id)) return;  // overtaken by a rename the server answered
  }
  invalidate(replica_->applyItem(placed, true).second);
  if (const auto path = replica_->relativePath(id)) {
    queue_->moved(id, placed->parentItemIdentifier(), placed->filename(), *path,
                  wanted.versionBefore, placed->itemVersion().contentVersion);
  }
  finish();
}

ReplicatedExtension& FuseDrive::extension() { return *extension_; }

std::uint64_t FuseDrive::keepHandle(std::unique_ptr<OpenHandle> handle) {
  const auto fh = reinterpret_cast<std::uint64_t>(handle.get());
  std::lock_guard lock(filesMutex_);
  handles_.emplace(fh, std::move(handle));
  return fh;
}

void FuseDrive::closeHandle(std::uint64_t fh) {
  std::unique_ptr<OpenHandle> handle;
  {
    std::lock_guard lock(filesMutex_);
    const auto found = handles_.find(fh);
    if (found == handles_.end()) return;
    handle = std::move(found->second);
    handles_.erase(found);
  }
  handle->close(*this);
}

void FuseDrive::closeHandles() {
  std::map<std::uint64_t, std::unique_ptr<OpenHandle>> left;
  {
    std::lock_guard lock(filesMutex_);
    left.swap(handles_);
  }
  // Edits still open for writing go to the upload queue as on a last close.
  for (auto& [fh, handle] : left) handle->close(*this);
}

void FuseDrive::recoverEdits() {
  for (const auto& [id, baseVersion] : replica_->editedItems()) {
    const auto item = replica_->item(id);
    if (item && item->contentFile) {
      // What the writer wrote may still be in the page cache only.
      const int fd =
          ::open(replica_->contentsPath(*item->contentFile).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
      }
    }
    // Kept marked when it cannot be handed over: the next start tries again.
    commitEdit(id, baseVersion);
  }
}

std::shared_ptr<FuseDrive::OpenFile> FuseDrive::acquireFile(std::uint64_t item) {
  std::lock_guard lock(filesMutex_);
  auto& [file, users] = openFiles_[item];
  if (!file) {
    file = std::make_shared<OpenFile>();
    file->item = item;
  }
  ++users;
  return file;
}

void FuseDrive::releaseFile(const std::shared_ptr<OpenFile>& file) {
  std::lock_guard lock(filesMutex_);
  for (auto entry = openFiles_.begin(); entry != openFiles_.end(); ++entry) {
    if (entry->second.first != file) continue;
    if (--entry->second.second <= 0) openFiles_.erase(entry);
    return;
  }
}

std::shared_ptr<FuseDrive::OpenFile> FuseDrive::openFile(std::uint64_t item) const {
  std::lock_guard lock(filesMutex_);
  const auto found = openFiles_.find(item);
  return found == openFiles_.end() ? nullptr : found->second.first;
}

std::optional<timespec> FuseDrive::localTime(std::uint64_t item) const {
  std::lock_guard lock(filesMutex_);
  const auto found = localTimes_.find(item);
  if (found == localTimes_.end()) return std::nullopt;
  return found->second;
}

void FuseDrive::setLocalTime(std::uint64_t item, timespec time) {
  std::lock_guard lock(filesMutex_);
  localTimes_[item] = time;
}

void FuseDrive::keepLocalTime(std::uint64_t item) {
  if (const auto time = localTime(item)) replica_->keepLocalTime(item, *time);
}

void FuseDrive::moveLocalTime(std::uint64_t from, std::uint64_t to) {
  std::lock_guard lock(filesMutex_);
  const auto found = localTimes_.find(from);
  if (found == localTimes_.end()) return;
  localTimes_[to] = found->second;
  localTimes_.erase(found);
}

void FuseDrive::forward(std::uint64_t from, std::uint64_t to) {
  std::lock_guard lock(filesMutex_);
  // A chain (a file renamed over one that was itself renamed over) ends at the document.
  for (auto& [inode, target] : forwards_) {
    if (target == from) target = to;
  }
  forwards_[from] = to;
}

std::uint64_t FuseDrive::forwarded(std::uint64_t inode) const {
  std::lock_guard lock(filesMutex_);
  const auto found = forwards_.find(inode);
  return found == forwards_.end() ? inode : found->second;
}

void FuseDrive::forgetForward(std::uint64_t inode) {
  std::lock_guard lock(filesMutex_);
  forwards_.erase(inode);
}

void FuseDrive::leaveVacancy(std::uint64_t folder, const std::string& name, Vacancy vacancy) {
  std::lock_guard lock(filesMutex_);
  vacancies_[{folder, name}] = vacancy;
}

std::optional<FuseDrive::Vacancy> FuseDrive::takeVacancy(std::uint64_t folder,
                                                         const std::string& name) {
  std::lock_guard lock(filesMutex_);
  const auto found = vacancies_.find({folder, name});
  if (found == vacancies_.end()) return std::nullopt;
  const Vacancy vacancy = found->second;
  vacancies_.erase(found);
  return vacancy;
}

std::optional<FuseDrive::Vacancy> FuseDrive::takeVacancyOf(std::uint64_t backup) {
  std::lock_guard lock(filesMutex_);
  for (auto entry = vacancies_.begin(); entry != vacancies_.end(); ++entry) {
    if (entry->second.backup != backup) continue;
    const Vacancy vacancy = entry->second;
    vacancies_.erase(entry);
    return vacancy;
  }
  return std::nullopt;
}

int FuseDrive::commitEdit(std::uint64_t id) { return commitEdit(id, std::nullopt); }

int FuseDrive::commitEdit(std::uint64_t id, const std::optional<std::string>& baseVersion) {
  const auto item = replica_->item(id);
  const auto path = replica_->relativePath(id);
  if (!item || !path || !item->contentFile) {
    replica_->clearEdited(id);
    return 0;  // deleted meanwhile
  }
  const auto parent = replica_->item(item->parent);
  if (!parent || !parent->identifier) return EIO;
  const auto contents = replica_->contentsPath(*item->contentFile);
  struct stat status {};
  if (::stat(contents.c_str(), &status) != 0) return errno;
  replica_->setSize(id, status.st_size);
  LocalEdit edit;
  edit.item = id;
  edit.identifier = item->identifier;
  edit.baseVersion = baseVersion.value_or(item->cachedVersion);
  edit.parent = *parent->identifier;
  edit.filename = item->serverName;
  edit.path = *path;
  edit.contents = contents;
  try {
    queue_->enqueue(edit);
    replica_->clearEdited(id);
  } catch (const std::system_error& e) {
    noteFailure(posixError(e.code().value(), e.what()));
    return e.code().value() != 0 ? e.code().value() : EIO;
  } catch (const std::exception& e) {
    noteFailure(posixError(EIO, e.what()));
    return EIO;
  }
  try {
    keepLocalTime(id);
  } catch (const std::exception&) {
    // The edit is kept; only its time would show the server's after a restart.
  }
  return 0;
}

void FuseDrive::relist(std::uint64_t container, Done done) {
  const auto item = replica_->item(container);
  if (!item) return done(ENOENT);
  if (!item->isContainer()) return done(ENOTDIR);
  if (stopping_) return done(ESHUTDOWN);
  if (offline_) return done(ENETUNREACH);
  if (!item->identifier) return done(0);
  {
    std::lock_guard lock(mutex_);
    auto& waiting = listings_[container];
    waiting.push_back(std::move(done));
    if (waiting.size() > 1) return;  // a listing under way answers this too
  }
  startListing(container, *item->identifier);
}

void FuseDrive::noteOutcome(const ErrorPtr& error) {
  if (error) {
    noteFailure(error);
  } else {
    noteSuccess();
  }
}

// --- What the write-back did -------------------------------------------------------------

void FuseDrive::uploaded(LocalItemId item, const ItemPtr& serverItem) {
  const auto before = replica_->item(item);
  // The cached file holds the uploaded version unless a newer edit waits.
  invalidate(replica_->adoptUpload(item, serverItem, !queue_->holds(item)));
  {
    // A placement waiting to be settled starts from this version now.
    std::lock_guard lock(mutex_);
    if (const auto found = unsettled_.find(item); found != unsettled_.end()) {
      found->second.versionBefore = serverItem->itemVersion().contentVersion;
    }
  }
  if (!before || before->identifier) return;
  // Created under the name and in the folder it had when its creation began: the file goes
  // where it is now (taken now, before the change feed tells the server's place). A rename
  // here after this point finds the identifier and does the same.
  const auto now = replica_->item(item);
  const auto parent = now ? replica_->item(now->parent) : std::nullopt;
  if (parent && parent->identifier &&
      (serverItem->filename() != now->serverName ||
       serverItem->parentItemIdentifier() != *parent->identifier)) {
    placeOnServer(item, {*parent->identifier, now->serverName,
                         serverItem->itemVersion().contentVersion, true});
  }
}

void FuseDrive::conflictCopyMade(LocalItemId item, const ItemPtr& copy,
                                 const std::filesystem::path&) {
  // The copy shows beside the document (its contents are fetched when opened); the
  // document's own contents are the server's again.
  invalidate(replica_->applyItem(copy).second);
  if (!queue_->holds(item)) invalidate(replica_->followServer(item));
  // The server's version of the document, by the change feed.
  catchUp();
}

void FuseDrive::refused(LocalItemId, const ErrorPtr& error) {
  std::lock_guard lock(mutex_);
  status_.lastError = error ? describeFailure(error) : "the server refused an edit";
}

void FuseDrive::statusChanged(const UploadStatus&) {
  // status() reads the queue's figures when asked.
}

std::unique_ptr<Drive> makeDrive(DriveOptions options) {
  return std::make_unique<FuseDrive>(std::move(options));
}

}  // namespace folium::platform::drive
