#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fileprovider/error_object.hpp"
#include "platform/fileprovider/item.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/replicated_extension.hpp"
#include "platform/sqlite/sqlite_database.hpp"
#include "platform/time/clock.hpp"

namespace folium::platform::drive {

class UploadNotifier;

// The drive's own number for an item (its inode number): it stays the same when a new file
// gets its server identifier, so jobs are keyed by it.
using LocalItemId = std::uint64_t;

// What the queue holds, for `foliumctl status` and the tray.
struct UploadStatus {
  std::int64_t pendingUploads = 0;       // waiting or under way; refused ones not counted
  std::int64_t refusedUploads = 0;       // refused by the server for good, kept
  std::int64_t conflicts = 0;            // conflict copies made since the queue opened
  std::optional<std::string> lastError;  // the last failed attempt, when the last one failed
};

// What the queue tells the drive. Called on the queue's threads (statusChanged also on the
// thread of a call that changed the status), never under the queue's lock, so a listener
// may call back into the queue.
class UploadListener {
 public:
  UploadListener() = default;
  UploadListener(const UploadListener&) = delete;
  UploadListener& operator=(const UploadListener&) = delete;
  virtual ~UploadListener() = default;

  // An edit of the item is on the server: `serverItem` is the server's item after it (a new
  // file's identifier, the new version). When holds(item) is false it was the latest edit,
  // and the file it was handed over in holds that version's contents; otherwise a newer edit
  // waits and continues from that version.
  virtual void uploaded(LocalItemId item, const ItemPtr& serverItem) = 0;
  // Someone else changed the document on the server since the edit began: the edit is now
  // the new document `copy` beside it (`editContents` holds it during the call), and the
  // item should follow the server's version again.
  virtual void conflictCopyMade(LocalItemId item, const ItemPtr& copy,
                                const std::filesystem::path& editContents) = 0;
  // The server refused the edit for good; it stays in the queue (and is kept aside when the
  // drive is removed) until the item is edited, renamed or moved again.
  virtual void refused(LocalItemId item, const ErrorPtr& error) = 0;
  virtual void statusChanged(const UploadStatus& status) = 0;
};

// An edit the drive hands over on the last close of a changed file.
struct LocalEdit {
  LocalItemId item = 0;
  // The server's item, or none for a new file (created on the server after the grace
  // period).
  std::optional<ItemIdentifier> identifier;
  // The content version the local file started from. When the item already has an edit
  // waiting, the waiting one's base is kept: the new edit continues it.
  std::string baseVersion;
  ItemIdentifier parent;       // the item's parent on the server
  std::string filename;        // its name on the server
  std::filesystem::path path;  // where the user sees it, relative to the drive's root
  // The file holding the whole edit. The queue links it into its own folder (copies it when
  // it cannot), so from then on the caller must not write that file in place: the next
  // write goes to a new file (a copy of it, unless the open truncates).
  std::filesystem::path contents;
};

struct UploadQueueOptions {
  // The domain's state folder: the jobs live in its replica.sqlite, their contents in
  // uploads/ beside it.
  std::filesystem::path stateDirectory;
  // The drive's name (its folder's name), for what is kept aside and for notifications.
  std::string driveName;
  // A new file waits this long before it is created on the server: a scratch file that
  // vanishes meanwhile never reaches it.
  Clock::Duration gracePeriod = std::chrono::seconds(3);
  Clock::Duration firstRetryDelay = std::chrono::seconds(1);
  Clock::Duration maxRetryDelay = std::chrono::seconds(60);
  int concurrentUploads = 2;
  // Told about conflict copies, refusals and edits kept aside; none: silent.
  std::shared_ptr<UploadNotifier> notifier;
};

// What finishForRemoval() left behind.
struct KeptAside {
  std::int64_t files = 0;        // edits copied aside
  std::filesystem::path folder;  // where: unsyncedFolder(driveName)
};

// The drive's write-back: every edit handed over is kept on disk and in the replica until
// the server has it, uploaded through the plug-in with retries for as long as it takes,
// across restarts and crashes. An attempt whose outcome is unknown (the answer was lost) is
// settled against the server before anything else is sent, so the queue never mistakes its
// own upload for someone else's and never creates a document twice. A document someone else
// changed meanwhile gets the edit as a conflict copy beside it; one deleted on the server is
// created again from the edit. Refusals for good (4xx but 401, 408, 429) are kept.
//
// Threading: every public method may be called from any thread. `mutex_` guards the
// database connection and the schedule; the plug-in and the listener are called without
// it. Uploads run on the queue's own threads (options.concurrentUploads), at most one per
// item at a time; the destructor waits for the ones under way (each ends within the
// plug-in's request time-outs) and keeps the others for the next opening.
class UploadQueue {
 public:
  // Opens (or creates) the queue's tables in the replica and loads the jobs found there.
  // Nothing runs until start(). Throws SqliteError or std::system_error naming the file
  // that cannot be used.
  UploadQueue(UploadQueueOptions options, ReplicatedExtension& extension, Clock& clock,
              UploadListener& listener);
  ~UploadQueue();  // stop()s
  // Starts the upload threads, which resume the loaded jobs (settling first any attempt a
  // crash interrupted) and may call the listener from then on. Call once.
  void start();
  // Waits for the uploads under way and stops the threads; the listener is not called
  // once it returns. The other jobs wait in the replica for the next opening.
  void stop();
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  // Makes the edit durable (contents synced to disk, then the job committed) before it
  // returns, then uploads it in the background. Throws std::invalid_argument naming what is
  // missing from the edit, std::system_error naming the file when the contents cannot be
  // kept, SqliteError when the job cannot be stored: the caller must then fail the close.
  void enqueue(const LocalEdit& edit);
  // The item was renamed or moved: on the server by the drive, which then gives the item's
  // version before and after the change, or only locally for a file not created yet (no
  // versions). An edit that continued the version before continues the one after: the
  // drive's own rename is not someone else's change. A refused edit is tried again.
  void moved(LocalItemId item, const ItemIdentifier& parent, const std::string& filename,
             const std::filesystem::path& path, const std::string& versionBefore = {},
             const std::string& versionAfter = {});
  // The user deleted the item: its waiting edit goes (a new file never reaches the server;
  // one whose creation was under way, or whose answer was lost, is deleted there again, with
  // retries, once the queue knows which document it made).
  void discard(LocalItemId item);
  // Whether the queue holds an edit of the item (its file must then not be written in
  // place).
  [[nodiscard]] bool holds(LocalItemId item) const;
  // The item's last finished upload: its server identifier and the version it made. The
  // drive reads it after a restart for items it may not have heard of (a new file whose
  // identifier it never recorded, because the worker died just after the upload).
  struct LastUpload {
    ItemIdentifier identifier;
    std::string version;
  };
  [[nodiscard]] std::optional<LastUpload> lastUpload(LocalItemId item) const;

  // The drive changes the item on the server itself (a rename, a move): no upload of it
  // starts until resume(item), and `then` runs once none is under way (at once, or on the
  // queue's thread when the current one ends). Pauses count: each needs its resume().
  void pause(LocalItemId item, std::function<void()> then);
  void resume(LocalItemId item);

  [[nodiscard]] UploadStatus status() const;
  // Tries every waiting edit now, new files in their grace period included unless
  // `newFilesToo` is false (then only edits waiting out a back-off); refused ones wait for a
  // change of the item.
  void retryNow(bool newFilesToo = true);
  // Blocks until nothing is waiting or under way but refused edits and local scratch files,
  // or `timeout` passes; true when idle.
  bool waitUntilIdle(std::chrono::milliseconds timeout);
  // Blocks until no upload is under way and none is due before the clock moves on (every
  // waiting edit waits for a retry delay or a grace period), or `timeout` passes. A host
  // driving a fake clock calls it before moving the clock.
  bool waitUntilQuiet(std::chrono::milliseconds timeout);

  // The domain is being removed: tries to finish the waiting edits for at most `bound`,
  // then copies every edit still waiting to unsyncedFolder(driveName), under its path, and
  // tells the user. The jobs stay: opening the queue again resumes them, and each copy is
  // removed once its edit reaches the server (unless the user changed the copy).
  KeptAside finishForRemoval(std::chrono::milliseconds bound);

  // Scratch files that editors keep beside a document ("~lock" files, swap files, backups,
  // GIO's temporary saves): new files with such names stay local for as long as they live.
  static bool staysLocal(std::string_view filename);
  // `<stem> (conflit AAAA-MM-JJ HH-MM-SS).<ext>`, the time in local time.
  static std::string conflictCopyName(std::string_view filename,
                                      std::chrono::system_clock::time_point when);
  // $XDG_STATE_HOME/folium/unsynced/<drive name> (~/.local/state when the variable is unset
  // or not absolute).
  static std::filesystem::path unsyncedFolder(std::string_view driveName);

 private:
  struct Job;
  struct Outcome;
  struct Schedule {
    Clock::TimePoint notBefore{};
    int failures = 0;
    bool running = false;
    bool held = false;  // a new scratch file: stays local while its name says so
  };
  // What the clock's timers reach: it outlives the queue while a timer holds it, and stops
  // pointing at the queue when the queue goes. Its mutex is taken before mutex_.
  struct Wakeup {
    std::mutex mutex;
    UploadQueue* queue = nullptr;
  };

  void createTables();
  void loadJobs();
  // Brings the schedule in line with the job's row (under mutex_): gone or refused jobs
  // leave it, scratch files are held.
  void refreshEntry(LocalItemId item);
  void workerLoop();
  std::optional<LocalItemId> nextDueJob(Clock::TimePoint now);
  void process(LocalItemId item);
  // One step of a job; true when the job needs another step at once.
  bool step(LocalItemId item);
  void scheduleRetry(LocalItemId item, const std::string& error);
  void scheduleAt(LocalItemId item, Clock::TimePoint when);
  enum class Landing { ended, continues };
  // The contents file `contents` of the job reached the server as `serverItem` (a creation
  // when `created`): the job ends when no newer edit came meanwhile, else the newer edit
  // continues from it.
  Landing landed(const Job& job, const std::string& contents, const ItemPtr& serverItem,
                 bool created);
  // Same, for the conflict copy `copy`.
  Landing landedCopy(const Job& job, const std::string& contents, const ItemPtr& copy);
  void refuse(const Job& job, const ErrorPtr& error);
  void removeKeptAside(const Job& job);
  void collectGarbage();
  void notifyChanged();
  void wakeAll();
  UploadStatus statusLocked() const;
  std::optional<Job> loadJob(LocalItemId item);
  void saveAttempt(LocalItemId item, std::string_view kind, const std::string& parent,
                   const std::string& name, const std::string& contents);
  void clearAttempt(LocalItemId item);
  std::filesystem::path contentsPath(const std::string& name) const;
  bool isIdleLocked() const;
  bool isQuietLocked(Clock::TimePoint now) const;

  // Calls into the plug-in, waiting for their answers.
  Outcome lookup(const ItemIdentifier& identifier);
  Outcome modifyContents(const Job& job, const std::string& contents);
  Outcome create(const ItemIdentifier& parent, const std::string& filename,
                 const std::string& contents);
  // Whether the server's contents of `identifier` equal the file; the item read with them.
  Outcome sameContents(const ItemIdentifier& identifier, const std::string& contents, bool& same);
  Outcome listChildren(const ItemIdentifier& parent, std::vector<ItemPtr>& children);
  ErrorPtr deleteOnServer(const ItemIdentifier& identifier);
  // The step of an item the user deleted while its creation was under way or unsettled: the
  // document it made goes from the server too, retried like an upload.
  bool stepDiscard(LocalItemId item);

  const UploadQueueOptions options_;
  ReplicatedExtension& extension_;
  Clock& clock_;
  UploadListener& listener_;
  const std::filesystem::path uploadsFolder_;

  mutable std::mutex mutex_;                  // guards everything below
  mutable SqliteDatabase db_;                 // reads in const methods prepare statements
  std::map<LocalItemId, Schedule> schedule_;  // every pending job (not the refused ones)
  std::set<std::string> inUse_;               // contents files a running upload reads
  std::map<LocalItemId, int> paused_;         // see pause()
  // Per item, the server versions its last uploads started from, while one edit followed
  // another (the first of them is the base the drive gave). Until the drive takes in what
  // the uploads made, it may still base a new edit on any of them: such an edit continues
  // the queue's own uploads, not someone else's change.
  std::map<LocalItemId, std::set<std::string>> passedVersions_;
  std::map<LocalItemId, std::vector<std::function<void()>>> afterRun_;
  std::int64_t conflicts_ = 0;
  std::optional<std::string> lastError_;
  std::vector<Clock::TimerId> timers_;
  bool stopping_ = false;
  std::condition_variable changed_;        // with mutex_: for waiters, the queue changed
  std::condition_variable workAvailable_;  // with mutex_: for workers, a job may be due

  std::shared_ptr<Wakeup> wakeup_;
  std::vector<std::thread> workers_;  // last: they start once the rest exists
};

}  // namespace folium::platform::drive
