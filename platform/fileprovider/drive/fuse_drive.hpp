#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fileprovider/drive/drive.hpp"
#include "platform/fileprovider/drive/replica.hpp"
#include "platform/fileprovider/drive/upload_queue.hpp"
#include "platform/fileprovider/item.hpp"
#include "platform/fileprovider/replicated_extension.hpp"
#include "platform/threads/thread_pool.hpp"
#include "platform/time/clock.hpp"

struct fuse_session;

namespace folium::fp {
class FileProviderExtension;
}

namespace folium::platform::drive {

// An item handed to the plug-in for a change the drive asks for: what it is and where.
std::shared_ptr<TemplateItem> requestItem(ItemIdentifier identifier, ItemIdentifier parent,
                                          std::string filename, bool folder);

// The drive of one domain: the plug-in's extension, the replica and a FUSE low-level mount.
//
// Requests that can be answered from the replica are answered on the FUSE thread that
// received them. Requests that need the server (a container never listed, contents not
// fetched) hand their fuse_req_t to a plug-in call and are answered from its completion
// handler, so no FUSE thread ever waits on the network. Changes to what the kernel caches
// are told to it from a thread of its own (see Notifier).
//
// Threads: the FUSE loop's; the plug-in's completion threads; the sync worker, which runs
// polls, signals and user-visible URL look-ups one at a time (it may wait on the plug-in);
// the notifier; the stopper, which turns stop() into the end of the loop.
//
// Locks: mutex_ guards the state below it; the replica has its own, always taken after
// mutex_ or alone. Neither is held while calling the plug-in, replying to the kernel or
// notifying it.
class FuseDrive final : public Drive, private UploadListener {
 public:
  explicit FuseDrive(DriveOptions options);
  ~FuseDrive() override;

  void run() override;
  void stop() noexcept override;
  void signalEnumerator(const ItemIdentifier& container,
                        std::function<void(ErrorPtr error)> completionHandler) override;
  void userVisibleURL(const ItemIdentifier& item,
                      std::function<void(std::optional<std::filesystem::path> url, ErrorPtr error)>
                          completionHandler) override;
  [[nodiscard]] DriveStatus status() const override;
  void retryNow() override;
  bool pin(const std::filesystem::path& path, bool pinned, std::string& error) override;
  Leftovers prepareForRemoval(std::chrono::milliseconds bound) override;

  // Used by the FUSE operations (fuse_operations.cpp).
  using Done = std::function<void(int error)>;  // 0 on success, else an errno
  Replica& replica() { return *replica_; }
  UploadQueue& uploads() { return *queue_; }
  // Calls `done` once the container's children are in the replica: at once when they are,
  // else after listing it through the plug-in (requests for one container share one
  // listing). ENETUNREACH at once when the drive knows it is offline.
  void ensureListed(std::uint64_t container, Done done);
  // Calls `done` once the document's current contents are in the cache.
  void ensureFetched(std::uint64_t id, Done done);
  // Tells the kernel, from the notifier thread, then runs `then` (which may reply to a
  // request that must only be answered once the kernel has dropped what it cached).
  void invalidate(Invalidations invalidations, std::function<void()> then = {});
  bool offline() const { return offline_.load(); }
  bool stopping() const { return stopping_.load(); }
  const DriveOptions& options() const { return options_; }
  // Requests answered from a completion: counted so that the session outlives them.
  void beginAsync() { inflight_.fetch_add(1); }
  void endAsync();

  // What the kernel holds open, a file or a folder: owned by the drive from the open on, and
  // closed by release (or releasedir), or when the session ends without one (a lazy
  // unmount, stop(), an open answered after its caller gave up).
  struct OpenHandle {
    virtual ~OpenHandle() = default;
    // What a release does beyond freeing the handle.
    virtual void close(FuseDrive& /*drive*/) {}
  };
  // Takes the handle; its number for the kernel (fuse_file_info::fh) is its address.
  std::uint64_t keepHandle(std::unique_ptr<OpenHandle> handle);
  // Gives the handle back, closed (none when the drive does not hold it).
  void closeHandle(std::uint64_t fh);

  // --- Writing (fuse_operations.cpp) ---
  // A file open for writing, shared by its handles.
  struct OpenFile {
    std::mutex mutex;  // guards what follows; taken before the replica's
    std::uint64_t item = 0;
    int writers = 0;            // handles open for writing
    bool dirty = false;         // written since its edit was last handed over
    bool handedOver = false;    // the cached file is the upload queue's: the next write copies it
    std::int64_t unsynced = 0;  // bytes written since the disk was last asked to write out
  };
  // The open-file record of an item, made on first use; give it back with releaseFile().
  std::shared_ptr<OpenFile> acquireFile(std::uint64_t item);
  void releaseFile(const std::shared_ptr<OpenFile>& file);
  // The record of an item while a handle holds it; none otherwise.
  std::shared_ptr<OpenFile> openFile(std::uint64_t item) const;
  // Hands the item's edit over to the upload queue (its cached file synced first) and clears
  // its mark in the replica; 0 or an errno. Items deleted meanwhile have nothing to hand
  // over. Called under file->mutex.
  int commitEdit(std::uint64_t item);
  // Modification times set by writes, `touch`, `cp -p` and `rsync -a`, for as long as the
  // drive runs (the server keeps its own); those kept are restored at the next start while
  // the item's edit waits.
  std::optional<timespec> localTime(std::uint64_t item) const;
  void setLocalTime(std::uint64_t item, timespec time);
  void keepLocalTime(std::uint64_t item);
  void moveLocalTime(std::uint64_t from, std::uint64_t to);
  // A document an editor renamed to a backup name (vim's "name~"): kept on the server under
  // its name while the editor writes the new file, which then becomes the document again.
  struct Vacancy {
    std::uint64_t document = 0;
    std::uint64_t backup = 0;
  };
  void leaveVacancy(std::uint64_t folder, const std::string& name, Vacancy vacancy);
  // A file renamed over a document becomes that document, and its own inode goes. The kernel
  // still shows the new name on that inode until the entry's invalidation reaches it (after
  // the rename's reply): until the kernel forgets it, the inode stands for the document.
  void forward(std::uint64_t from, std::uint64_t to);
  std::uint64_t forwarded(std::uint64_t inode) const;
  void forgetForward(std::uint64_t inode);
  // The vacancy the name leaves in the folder, taken away.
  std::optional<Vacancy> takeVacancy(std::uint64_t folder, const std::string& name);
  // The vacancy a backup stands for, taken away.
  std::optional<Vacancy> takeVacancyOf(std::uint64_t backup);
  // The plug-in, for the metadata calls, and the drive's clock, which bounds their wait.
  ReplicatedExtension& extension();
  Clock& clock() { return *clock_; }
  // Lists the container through the plug-in now, even when it was listed before.
  void relist(std::uint64_t container, Done done);
  // A plug-in call ended: offline when it says the server cannot be reached.
  void noteOutcome(const ErrorPtr& error);
  // Asks the server for its changes soon (after a call whose outcome is not known).
  void catchUp();
  // Where the drive asked the server to put an item, while it is not known whether the server
  // did: the item's uploads stay paused (the caller paused them) until the sync worker finds
  // out, so that a version the drive made never passes for someone else's change.
  // `retry`: ask again until the server has it so. False when the item was recorded already
  // (the caller then resumes its own pause).
  struct Placement {
    ItemIdentifier parent;
    std::string name;
    std::string versionBefore;
    bool retry = false;
    bool ready = false;  // the item's uploads are paused for it
  };
  bool settleLater(std::uint64_t item, Placement placement);
  // The server answered a rename of the item: what was unsettled about it is settled.
  void settled(std::uint64_t item);
  bool isUnsettled(std::uint64_t item) const;
  // A new file renamed or moved while its creation was under way: the server's document
  // goes where the file is, settled on the sync worker once no upload of it runs, and tried
  // again at each sync until it is.
  void placeOnServer(std::uint64_t item, Placement placement);
  // The drive's own renames of one item run one at a time: `start` runs when none runs
  // (at once, or when the one running calls endRename()).
  void beginRename(std::uint64_t item, std::function<void()> start);
  void endRename(std::uint64_t item);

 private:
  struct Notice {
    Invalidations invalidations;
    std::function<void()> then;
  };
  using Job = std::function<void()>;

  // UploadListener: what the write-back did with an edit.
  void uploaded(LocalItemId item, const ItemPtr& serverItem) override;
  void conflictCopyMade(LocalItemId item, const ItemPtr& copy,
                        const std::filesystem::path& editContents) override;
  void refused(LocalItemId item, const ErrorPtr& error) override;
  void statusChanged(const UploadStatus& status) override;

  void settlePlacement(std::uint64_t item);
  int commitEdit(std::uint64_t item, const std::optional<std::string>& baseVersion);
  // Hands over the edits a worker stopped before it could (see Replica::markEdited()).
  void recoverEdits();
  // Closes what the kernel left open when the session ended.
  void closeHandles();

  void startListing(std::uint64_t container, const ItemIdentifier& identifier);
  void finishListing(std::uint64_t container, const ErrorPtr& error);
  // Notes the outcome and answers every request waiting under `key` (listings or fetches).
  void finishRequests(std::map<std::uint64_t, std::vector<Done>>& requests, std::uint64_t key,
                      const ErrorPtr& error);
  void noteFailure(const ErrorPtr& error);
  void noteSuccess();
  void setOffline(bool offline);

  // Sync worker.
  void post(Job job);
  void workerLoop();
  void notifierLoop();
  void stopperLoop();
  void schedulePoll();
  ErrorPtr sync();  // runs on the worker: probe, anchor, changes
  ErrorPtr relistAll();
  ErrorPtr listNow(std::uint64_t container);
  std::optional<SyncAnchor> takeAnchor();
  std::pair<ItemPtr, ErrorPtr> itemNow(const ItemIdentifier& identifier);

  // The cache (fuse_drive_cache.cpp).
  std::int64_t cacheLimit(std::int64_t used) const;
  // Whether an edit of the item waits to be sent (its contents must stay).
  bool editWaits(std::uint64_t id) const;
  // Evicts on the sync worker, once, however many times it is asked before it runs.
  void requestTrim();
  void trimCache();
  // Downloads what is pinned and not current (on the sync worker: it waits on the server).
  void keepPinnedFetched();
  // After a look at the server: pinned contents follow it, and the cache keeps its bound.
  void maintainCache();
  std::optional<std::filesystem::path> resolveURL(const ItemIdentifier& item, ErrorPtr& error);

  const DriveOptions options_;
  std::shared_ptr<Clock> clock_;
  std::unique_ptr<Replica> replica_;
  std::unique_ptr<ThreadPool> pool_;  // outlives the extension, whose calls run on it
  std::shared_ptr<fp::FileProviderExtension> extension_;
  std::unique_ptr<UploadQueue> queue_;  // goes before the extension, whose calls it waits for
  fuse_session* session_ = nullptr;

  std::atomic<bool> offline_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> mounted_{false};
  std::atomic<int> inflight_{0};
  int stopPipe_[2] = {-1, -1};

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  DriveStatus status_;
  bool anchorReady_ = false;           // the working set's anchor was taken (or tried)
  bool anchorNeedsRetake_ = false;     // taken while the server could not be reached
  std::vector<Job> waitingForAnchor_;  // listings held until the anchor is taken
  std::map<std::uint64_t, std::vector<Done>> listings_;
  std::map<std::uint64_t, std::vector<Done>> fetches_;
  std::deque<Job> jobs_;
  std::map<std::uint64_t, Placement> unsettled_;                         // see settleLater()
  std::map<std::uint64_t, std::deque<std::function<void()>>> renaming_;  // see beginRename()
  std::deque<Notice> notices_;
  bool workerBusy_ = false;
  bool workerGone_ = false;
  bool notifierGone_ = false;  // run() ended: jobs run on the caller's thread
  bool quitting_ = false;
  Clock::TimerId pollTimer_ = 0;
  bool trimQueued_ = false;

  mutable std::mutex filesMutex_;  // guards the maps below; taken after OpenFile::mutex
  std::map<std::uint64_t, std::pair<std::shared_ptr<OpenFile>, int>> openFiles_;  // and users
  std::map<std::uint64_t, timespec> localTimes_;
  std::map<std::pair<std::uint64_t, std::string>, Vacancy> vacancies_;
  std::map<std::uint64_t, std::uint64_t> forwards_;
  std::map<std::uint64_t, std::unique_ptr<OpenHandle>> handles_;  // by fh

  std::thread worker_;
  std::thread notifier_;
  std::thread stopper_;
};

}  // namespace folium::platform::drive
