#include "platform/fileprovider/drive/upload_queue.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "fileprovider/error_bridge.hpp"
#include "platform/fileprovider/drive/errno_mapping.hpp"
#include "platform/fileprovider/drive/upload_notifier.hpp"
#include "platform/fileprovider/item_fields.hpp"
#include "platform/files/file_descriptor.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::platform::drive {

namespace {

using namespace std::chrono_literals;

[[noreturn]] void failWith(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void syncPath(const std::filesystem::path& path, int flags) {
  FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC));
  if (fd.get() < 0) failWith(errno, "cannot open " + path.string());
  if (::fsync(fd.get()) != 0) failWith(errno, "cannot write " + path.string() + " to disk");
}

// Copies `from` to a new file `to` (0600), through the kernel where it can.
void copyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) failWith(errno, "cannot read " + from.string());
  FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) failWith(errno, "cannot create " + to.string());
  for (;;) {
    ssize_t copied = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
    if (copied > 0) continue;
    if (copied == 0) break;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      failWith(errno, "cannot copy " + from.string() + " to " + to.string());
    }
    // No kernel copy between these file systems: through a buffer.
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(in.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failWith(errno, "cannot read " + from.string());
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(out.get(), buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) failWith(errno, "cannot write " + to.string());
        done += w;
      }
    }
    break;
  }
  if (::fsync(out.get()) != 0) failWith(errno, "cannot write " + to.string() + " to disk");
}

bool sameFileContents(const std::filesystem::path& a, const std::filesystem::path& b) {
  FileDescriptor fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
  if (fa.get() < 0) failWith(errno, "cannot read " + a.string());
  FileDescriptor fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
  if (fb.get() < 0) failWith(errno, "cannot read " + b.string());
  struct stat sa {
  }, sb{};
  if (::fstat(fa.get(), &sa) != 0 || ::fstat(fb.get(), &sb) != 0) {
    failWith(errno, "cannot inspect " + a.string());
  }
  if (sa.st_size != sb.st_size) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  auto fill = [](int fd, char* buffer, size_t size, const std::filesystem::path& path) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::read(fd, buffer + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failWith(errno, "cannot read " + path.string());
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  };
  for (;;) {
    size_t na = fill(fa.get(), ba.data(), ba.size(), a);
    size_t nb = fill(fb.get(), bb.data(), bb.size(), b);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) return false;
    if (na == 0) return true;
  }
}

std::string randomName() {
  std::random_device random;
  std::uint64_t bits = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(bits));
  return name;
}

std::optional<std::int64_t> httpStatus(const ErrorObject& error) {
  if (error.domain() != fp::kFoliumErrorDomain || error.code() != 0) return std::nullopt;
  auto it = error.userInfo().find(fp::kStatusUserInfoKey);
  if (it == error.userInfo().end()) return std::nullopt;
  if (const auto* status = std::get_if<std::int64_t>(&it->second)) return *status;
  return std::nullopt;
}

// The server no longer has the item (or its parent, for a creation).
bool isGone(const ErrorPtr& error) {
  return error->is(NSFileProviderErrorDomain,
                   static_cast<std::int64_t>(FileProviderErrorCode::noSuchItem)) ||
         httpStatus(*error) == 404;
}

// A refusal that sending the same again cannot change. 401 (a token to renew), 408 and 429
// (come back later) are not.
bool isRefusal(const ErrorPtr& error) {
  const auto status = httpStatus(*error);
  if (!status || *status < 400 || *status > 499) return false;
  return *status != 401 && *status != 408 && *status != 429;
}

std::string relativeText(const std::filesystem::path& path) {
  // Only plain names below the root: a path from the drive never climbs out of the folder
  // it is kept aside in.
  std::filesystem::path clean;
  for (const auto& part : path.relative_path()) {
    std::string name = part.string();
    if (name.empty() || name == ".") continue;
    if (name == "..") name = "_..";
    clean /= name;
  }
  return clean.string();
}

}  // namespace

struct UploadQueue::Job {
  LocalItemId item = 0;
  std::optional<std::string> identifier;
  std::optional<std::string> baseVersion;
  std::string parent;
  std::string filename;
  std::string path;
  std::string contents;
  std::int64_t generation = 0;
  std::optional<std::string> copyParent;
  std::optional<std::string> copyName;
  std::optional<std::string> attemptKind;  // "modify" or "create"
  std::optional<std::string> attemptParent;
  std::optional<std::string> attemptName;
  std::optional<std::string> attemptContents;
  bool refused = false;
  std::optional<std::string> asidePath;
};

struct UploadQueue::Outcome {
  ItemPtr item;
  ErrorPtr error;
};

namespace {

// Takes contents files out of the queue's in-use set when it goes, under the queue's lock.
struct InUseRelease {
  std::mutex& mutex;
  std::set<std::string>& inUse;
  std::vector<std::string> names;
  ~InUseRelease() {
    std::lock_guard lock(mutex);
    for (const auto& name : names) inUse.erase(name);
  }
};

constexpr std::string_view kJobColumns =
    "item_id, identifier, base_version, parent, filename, path, contents, generation, "
    "copy_parent, copy_name, attempt_kind, attempt_parent, attempt_name, attempt_contents, "
    "refused, aside_path";

}  // namespace

UploadQueue::UploadQueue(UploadQueueOptions options, ReplicatedExtension& extension, Clock& clock,
                         UploadListener& listener)
    : options_(std::move(options)),
      extension_(extension),
      clock_(clock),
      listener_(listener),
      uploadsFolder_(options_.stateDirectory / "uploads"),
      db_((makePrivateFolder(options_.stateDirectory), options_.stateDirectory / "replica.sqlite")),
      wakeup_(std::make_shared<Wakeup>()) {
  makePrivateFolder(uploadsFolder_);
  createTables();
  loadJobs();
  collectGarbage();
  wakeup_->queue = this;
}

UploadQueue::~UploadQueue() { stop(); }

void UploadQueue::start() {
  const int threads = std::max(1, options_.concurrentUploads);
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { workerLoop(); });
}

void UploadQueue::stop() {
  {
    std::lock_guard lock(wakeup_->mutex);
    wakeup_->queue = nullptr;
  }
  std::vector<Clock::TimerId> timers;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    timers.swap(timers_);
  }
  wakeAll();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  for (auto timer : timers) clock_.cancel(timer);
}

void UploadQueue::createTables() {
  // The jobs outlive the process: a commit is on disk before enqueue() returns.
  db_.exec("PRAGMA journal_mode=WAL");
  db_.exec("PRAGMA synchronous=FULL");
  db_.exec(
      "CREATE TABLE IF NOT EXISTS upload_jobs ("
      " item_id INTEGER PRIMARY KEY,"
      " identifier TEXT,"    // the server's item, once there is one
      " base_version TEXT,"  // the server version the edit continues
      " parent TEXT NOT NULL,"
      " filename TEXT NOT NULL,"
      " path TEXT NOT NULL,"
      " contents TEXT NOT NULL,"  // file name in uploads/
      " generation INTEGER NOT NULL,"
      " copy_parent TEXT,"  // set: the edit goes to a conflict copy of this name
      " copy_name TEXT,"
      " attempt_kind TEXT,"  // an attempt whose outcome is not known yet
      " attempt_parent TEXT,"
      " attempt_name TEXT,"
      " attempt_contents TEXT,"
      " refused INTEGER NOT NULL DEFAULT 0,"
      " last_error TEXT,"
      " aside_path TEXT)");  // copy kept aside when the drive was removed
  // The last upload of each item, until the drive is known to have caught up with it: an
  // edit handed over before the drive heard of that upload continues from it instead of
  // looking like someone else's change (or, for a new file, creating it a second time).
  db_.exec(
      "CREATE TABLE IF NOT EXISTS upload_landed ("
      " item_id INTEGER PRIMARY KEY,"
      " from_version TEXT,"  // none: the upload created the item
      " identifier TEXT NOT NULL,"
      " to_version TEXT NOT NULL)");
  // Creations the user undid by deleting the file while they were under way: the document
  // made (by identifier once known, else by parent, name and contents) is deleted.
  db_.exec(
      "CREATE TABLE IF NOT EXISTS upload_discards ("
      " item_id INTEGER PRIMARY KEY,"
      " identifier TEXT,"
      " parent TEXT NOT NULL,"
      " name TEXT NOT NULL,"
      " contents TEXT NOT NULL)");
}

void UploadQueue::loadJobs() {
  auto s = db_.prepare("SELECT item_id, refused, filename, identifier FROM upload_jobs");
  const auto now = clock_.now();
  while (s.step()) {
    if (s.int64(1) != 0) continue;
    // Whatever waited before the restart is due now, grace periods included.
    Schedule& entry = schedule_[s.int64(0)];
    entry.notBefore = now;
    entry.held = s.isNull(3) && staysLocal(s.text(2));
  }
  auto discards = db_.prepare("SELECT item_id FROM upload_discards");
  while (discards.step()) schedule_[discards.int64(0)].notBefore = now;
}

void UploadQueue::refreshEntry(LocalItemId item) {
  auto s = db_.prepare("SELECT refused, filename, identifier FROM upload_jobs WHERE item_id = ?1");
  s.bind(1, item);
  auto it = schedule_.find(item);
  const bool found = s.step();
  if (!found) {
    auto discard = db_.prepare("SELECT 1 FROM upload_discards WHERE item_id = ?1");
    discard.bind(1, item);
    if (discard.step()) {
      if (it == schedule_.end()) it = schedule_.emplace(item, Schedule{}).first;
      it->second.held = false;
      return;
    }
  }
  if (!found || s.int64(0) != 0) {
    // Uploaded, discarded or refused: nothing left to send until the item changes.
    if (it != schedule_.end() && !it->second.running) schedule_.erase(it);
    return;
  }
  if (it == schedule_.end()) it = schedule_.emplace(item, Schedule{}).first;
  it->second.held = s.isNull(2) && staysLocal(s.text(1));
}

std::optional<UploadQueue::Job> UploadQueue::loadJob(LocalItemId item) {
  auto s =
      db_.prepare("SELECT " + std::string(kJobColumns) + " FROM upload_jobs WHERE item_id = ?1");
  s.bind(1, item);
  if (!s.step()) return std::nullopt;
  Job job;
  job.item = s.int64(0);
  job.identifier = s.optionalText(1);
  job.baseVersion = s.optionalText(2);
  job.parent = s.text(3);
  job.filename = s.text(4);
  job.path = s.text(5);
  job.contents = s.text(6);
  job.generation = s.int64(7);
  job.copyParent = s.optionalText(8);
  job.copyName = s.optionalText(9);
  job.attemptKind = s.optionalText(10);
  job.attemptParent = s.optionalText(11);
  job.attemptName = s.optionalText(12);
  job.attemptContents = s.optionalText(13);
  job.refused = s.int64(14) != 0;
  job.asidePath = s.optionalText(15);
  return job;
}

std::filesystem::path UploadQueue::contentsPath(const std::string& name) const {
  return uploadsFolder_ / name;
}

void UploadQueue::enqueue(const LocalEdit& edit) {
  const std::string what = "edit of item " + std::to_string(edit.item);
  if (edit.parent.empty()) throw std::invalid_argument(what + ": no parent identifier");
  if (edit.filename.empty()) throw std::invalid_argument(what + ": no file name");
  if (edit.identifier && edit.identifier->empty()) {
    throw std::invalid_argument(what + ": an empty server identifier");
  }
  // The edit's bytes first: a job is only committed once they are on the disk. Until then
  // the file is marked in use, or a worker cleaning up would take it for a leftover.
  const std::string name = randomName();
  const std::filesystem::path kept = contentsPath(name);
  {
    std::lock_guard lock(mutex_);
    inUse_.insert(name);
  }
  const InUseRelease unmark{mutex_, inUse_, {name}};
  syncPath(edit.contents, O_RDONLY);
  if (::link(edit.contents.c_str(), kept.c_str()) != 0) {
    if (errno != EXDEV && errno != EPERM && errno != EMLINK) {
      failWith(errno, "cannot keep the edit of " + edit.contents.string());
    }
    copyFile(edit.contents, kept);
  }
  try {
    syncPath(uploadsFolder_, O_RDONLY | O_DIRECTORY);
  } catch (...) {
    std::filesystem::remove(kept);
    throw;
  }

  const bool newFile = !edit.identifier;
  {
    std::lock_guard lock(mutex_);
    try {
      SqliteTransaction tx(db_);
      auto existing = loadJob(edit.item);
      if (existing) {
        // The waiting edit is continued: its base and identifier stand.
        db_.prepare(
               "UPDATE upload_jobs SET contents = ?2, generation = generation + 1, parent = ?3, "
               "filename = ?4, path = ?5, refused = 0, identifier = COALESCE(identifier, ?6) "
               "WHERE item_id = ?1")
            .bind(1, edit.item)
            .bind(2, name)
            .bind(3, edit.parent)
            .bind(4, edit.filename)
            .bind(5, relativeText(edit.path))
            .bind(6, edit.identifier)
            .run();
      } else {
        std::optional<std::string> identifier = edit.identifier;
        std::optional<std::string> base;
        if (identifier) base = edit.baseVersion;
        auto last = db_.prepare(
            "SELECT from_version, identifier, to_version FROM upload_landed WHERE item_id = ?1");
        last.bind(1, edit.item);
        if (last.step()) {
          const auto from = last.optionalText(0);
          const auto passed = passedVersions_.find(edit.item);
          const bool ours = base == from || (base && passed != passedVersions_.end() &&
                                             passed->second.contains(*base));
          if (!identifier || (*identifier == last.text(1) && ours)) {
            identifier = last.text(1);
            base = last.text(2);
          } else if (*identifier == last.text(1) && base == last.text(2)) {
            db_.prepare("DELETE FROM upload_landed WHERE item_id = ?1").bind(1, edit.item).run();
            passedVersions_.erase(edit.item);
          }
        }
        db_.prepare(
               "INSERT INTO upload_jobs(item_id, identifier, base_version, parent, filename, "
               "path, contents, generation) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 1)")
            .bind(1, edit.item)
            .bind(2, identifier)
            .bind(3, base)
            .bind(4, edit.parent)
            .bind(5, edit.filename)
            .bind(6, relativeText(edit.path))
            .bind(7, name)
            .run();
      }
      tx.commit();
    } catch (...) {
      std::filesystem::remove(kept);
      throw;
    }
    Schedule& entry = schedule_[edit.item];
    auto now = clock_.now();
    if (!entry.running) {
      // A new file waits out its grace period (counted from its first close); an edit is
      // due now, and so is the next one after a refusal.
      auto due = newFile ? now + options_.gracePeriod : now;
      if (newFile && entry.notBefore > now) due = std::max(entry.notBefore, now);
      entry.notBefore = due;
      entry.failures = 0;
      if (due > now) scheduleAt(edit.item, due);
    }
    refreshEntry(edit.item);
    collectGarbage();
  }
  wakeAll();
  notifyChanged();
}

void UploadQueue::moved(LocalItemId item, const ItemIdentifier& parent, const std::string& filename,
                        const std::filesystem::path& path, const std::string& versionBefore,
                        const std::string& versionAfter) {
  {
    std::lock_guard lock(mutex_);
    db_.prepare(
           "UPDATE upload_jobs SET parent = ?2, filename = ?3, path = ?4, refused = 0, "
           "base_version = CASE WHEN ?5 != '' AND ?6 != '' AND base_version = ?5 THEN ?6 "
           "ELSE base_version END WHERE item_id = ?1")
        .bind(1, item)
        .bind(2, parent)
        .bind(3, filename)
        .bind(4, relativeText(path))
        .bind(5, versionBefore)
        .bind(6, versionAfter)
        .run();
    if (db_.changes() == 0) return;
    // A new file keeps its grace period (a scratch file renamed into place, then deleted,
    // never reaches the server); an edit waiting out a back-off or refused goes now.
    auto job = db_.prepare("SELECT identifier FROM upload_jobs WHERE item_id = ?1");
    job.bind(1, item);
    const bool newFile = job.step() && job.isNull(0);
    Schedule& entry = schedule_[item];
    if (!entry.running && !newFile) {
      entry.notBefore = std::min(entry.notBefore, clock_.now());
      entry.failures = 0;
    }
    refreshEntry(item);
  }
  wakeAll();
  notifyChanged();
}

void UploadQueue::discard(LocalItemId item) {
  {
    std::lock_guard lock(mutex_);
    SqliteTransaction tx(db_);
    const auto job = loadJob(item);
    // A document the queue created, which the drive may not have heard of yet.
    std::optional<std::string> created;
    {
      auto landed = db_.prepare(
          "SELECT identifier FROM upload_landed WHERE item_id = ?1 AND from_version IS NULL");
      landed.bind(1, item);
      if (landed.step()) created = landed.text(0);
    }
    db_.prepare("DELETE FROM upload_landed WHERE item_id = ?1").bind(1, item).run();
    passedVersions_.erase(item);
    if (!job && !created) {
      tx.commit();
      return;
    }
    // The document the file stands for on the server (the drive deleted it already, unless
    // it never heard of it: then it goes now).
    const std::optional<std::string> doomed =
        job && job->identifier && !job->copyName ? job->identifier : created;
    // A creation under way, or about to start on a worker that read the job already.
    const auto running = schedule_.find(item);
    const bool mayCreate = job && !job->identifier && !job->copyName &&
                           running != schedule_.end() && running->second.running;
    const bool creating = job && !job->copyName && (job->attemptKind == "create" || mayCreate);
    if (doomed) {
      db_.prepare(
             "INSERT OR REPLACE INTO upload_discards(item_id, identifier, parent, name, "
             "contents) VALUES (?1, ?2, '', '', '')")
          .bind(1, item)
          .bind(2, *doomed)
          .run();
    } else if (creating) {
      // The document this attempt may have made goes too, once found.
      db_.prepare(
             "INSERT OR REPLACE INTO upload_discards(item_id, identifier, parent, name, "
             "contents) VALUES (?1, NULL, ?2, ?3, ?4)")
          .bind(1, item)
          .bind(2, job->attemptParent.value_or(job->parent))
          .bind(3, job->attemptName.value_or(job->filename))
          .bind(4, job->attemptContents.value_or(job->contents))
          .run();
    }
    db_.prepare("DELETE FROM upload_jobs WHERE item_id = ?1").bind(1, item).run();
    tx.commit();
    auto it = schedule_.find(item);
    if (creating || doomed) {
      if (it == schedule_.end()) it = schedule_.emplace(item, Schedule{}).first;
      it->second.held = false;
      if (!it->second.running) it->second.notBefore = clock_.now();
    } else if (it != schedule_.end() && !it->second.running) {
      schedule_.erase(it);
    }
    collectGarbage();
  }
  wakeAll();
  notifyChanged();
}

bool UploadQueue::holds(LocalItemId item) const {
  std::lock_guard lock(mutex_);
  auto s = db_.prepare("SELECT 1 FROM upload_jobs WHERE item_id = ?1");
  s.bind(1, item);
  return s.step();
}

std::optional<UploadQueue::LastUpload> UploadQueue::lastUpload(LocalItemId item) const {
  std::lock_guard lock(mutex_);
  auto s = db_.prepare("SELECT identifier, to_version FROM upload_landed WHERE item_id = ?1");
  s.bind(1, item);
  if (!s.step()) return std::nullopt;
  return LastUpload{s.text(0), s.text(1)};
}

UploadStatus UploadQueue::status() const {
  std::lock_guard lock(mutex_);
  return statusLocked();
}

UploadStatus UploadQueue::statusLocked() const {
  UploadStatus status;
  for (const auto& [item, entry] : schedule_) {
    if (!entry.held) ++status.pendingUploads;
  }
  auto s = db_.prepare("SELECT COUNT(*) FROM upload_jobs WHERE refused != 0");
  if (s.step()) status.refusedUploads = s.int64(0);
  status.conflicts = conflicts_;
  status.lastError = lastError_;
  return status;
}

void UploadQueue::notifyChanged() {
  UploadStatus now = status();
  try {
    listener_.statusChanged(now);
  } catch (...) {
    // The drive's bookkeeping failed; the queue's own state stands.
  }
}

void UploadQueue::retryNow(bool newFilesToo) {
  {
    std::lock_guard lock(mutex_);
    const auto now = clock_.now();
    for (auto& [item, entry] : schedule_) {
      if (!entry.running && (newFilesToo || entry.failures > 0)) entry.notBefore = now;
    }
  }
  wakeAll();
}

void UploadQueue::wakeAll() {
  workAvailable_.notify_all();
  changed_.notify_all();
}

bool UploadQueue::isIdleLocked() const {
  for (const auto& [item, entry] : schedule_) {
    if (entry.running || !entry.held) return false;
  }
  return true;
}

bool UploadQueue::isQuietLocked(Clock::TimePoint now) const {
  for (const auto& [item, entry] : schedule_) {
    if (entry.running || (!entry.held && entry.notBefore <= now)) return false;
  }
  return true;
}

bool UploadQueue::waitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return isIdleLocked(); });
}

bool UploadQueue::waitUntilQuiet(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return isQuietLocked(clock_.now()); });
}

void UploadQueue::scheduleAt(LocalItemId, Clock::TimePoint when) {
  // Called under mutex_. The timer only wakes the workers; they read the schedule again.
  auto delay = when - clock_.now();
  std::weak_ptr<Wakeup> weak = wakeup_;
  timers_.push_back(clock_.schedule(delay, [weak] {
    auto wakeup = weak.lock();
    if (!wakeup) return;
    std::lock_guard guard(wakeup->mutex);
    if (UploadQueue* queue = wakeup->queue) {
      {
        // Taken so that a worker between looking at the schedule and waiting cannot miss it.
        std::lock_guard lock(queue->mutex_);
      }
      queue->wakeAll();
    }
  }));
  // Timers that fired are forgotten now and then; cancelling one of them does nothing.
  if (timers_.size() > 4096) timers_.erase(timers_.begin(), timers_.begin() + 2048);
}

std::optional<LocalItemId> UploadQueue::nextDueJob(Clock::TimePoint now) {
  // Called under mutex_.
  for (auto& [item, entry] : schedule_) {
    if (entry.running || entry.held || entry.notBefore > now || paused_.contains(item)) continue;
    return item;
  }
  return std::nullopt;
}

void UploadQueue::workerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::optional<LocalItemId> item = nextDueJob(clock_.now());
    if (!item) {
      changed_.notify_all();  // waitUntilQuiet() and waitUntilIdle() look again
      workAvailable_.wait(lock);
      continue;
    }
    schedule_[*item].running = true;
    lock.unlock();
    process(*item);
    lock.lock();
    auto it = schedule_.find(*item);
    if (it != schedule_.end()) it->second.running = false;
    try {
      refreshEntry(*item);
      collectGarbage();
    } catch (const std::exception& e) {
      // The database is busy or failing: the job is tried again later.
      lastError_ = e.what();
      if (auto again = schedule_.find(*item); again != schedule_.end()) {
        again->second.notBefore = clock_.now() + options_.maxRetryDelay;
        scheduleAt(*item, again->second.notBefore);
      }
    }
    // Whoever waited for this upload to end (pause()) goes on now.
    std::vector<std::function<void()>> waiting;
    if (auto after = afterRun_.find(*item); after != afterRun_.end()) {
      waiting = std::move(after->second);
      afterRun_.erase(after);
    }
    changed_.notify_all();
    if (!waiting.empty()) {
      lock.unlock();
      for (auto& then : waiting) then();
      lock.lock();
    }
  }
}

void UploadQueue::pause(LocalItemId item, std::function<void()> then) {
  {
    std::lock_guard lock(mutex_);
    ++paused_[item];
    const auto it = schedule_.find(item);
    if (it != schedule_.end() && it->second.running) {
      afterRun_[item].push_back(std::move(then));
      return;
    }
  }
  then();
}

void UploadQueue::resume(LocalItemId item) {
  {
    std::lock_guard lock(mutex_);
    const auto it = paused_.find(item);
    if (it == paused_.end()) return;
    if (--it->second <= 0) paused_.erase(it);
  }
  wakeAll();
}

void UploadQueue::process(LocalItemId item) {
  // A job takes several steps at once (settle, look up, upload); each is bounded, and a
  // job that keeps finding more to do is given back to the schedule.
  for (int steps = 0; steps < 16; ++steps) {
    bool more = false;
    try {
      more = step(item);
    } catch (const std::exception& e) {
      scheduleRetry(item, e.what());
      more = false;
    }
    if (!more) break;
  }
  notifyChanged();
}

void UploadQueue::scheduleRetry(LocalItemId item, const std::string& error) {
  {
    std::lock_guard lock(mutex_);
    lastError_ = error;
    try {
      db_.prepare("UPDATE upload_jobs SET last_error = ?2 WHERE item_id = ?1")
          .bind(1, item)
          .bind(2, error)
          .run();
    } catch (...) {
      // Only a description.
    }
    Schedule& entry = schedule_[item];
    entry.failures = std::min(entry.failures + 1, 30);
    auto delay = options_.firstRetryDelay;
    for (int i = 1; i < entry.failures && delay < options_.maxRetryDelay; ++i) delay *= 2;
    delay = std::min(delay, options_.maxRetryDelay);
    entry.notBefore = clock_.now() + delay;
    scheduleAt(item, entry.notBefore);
  }
}

void UploadQueue::saveAttempt(LocalItemId item, std::string_view kind, const std::string& parent,
                              const std::string& name, const std::string& contents) {
  std::lock_guard lock(mutex_);
  db_.prepare(
         "UPDATE upload_jobs SET attempt_kind = ?2, attempt_parent = ?3, attempt_name = ?4, "
         "attempt_contents = ?5 WHERE item_id = ?1")
      .bind(1, item)
      .bind(2, kind)
      .bind(3, parent)
      .bind(4, name)
      .bind(5, contents)
      .run();
}

void UploadQueue::clearAttempt(LocalItemId item) {
  std::lock_guard lock(mutex_);
  db_.prepare(
         "UPDATE upload_jobs SET attempt_kind = NULL, attempt_parent = NULL, attempt_name = NULL, "
         "attempt_contents = NULL WHERE item_id = ?1")
      .bind(1, item)
      .run();
}

bool UploadQueue::step(LocalItemId itemId) {
  std::optional<Job> loaded;
  {
    std::lock_guard lock(mutex_);
    loaded = loadJob(itemId);
    if (loaded && loaded->refused) return false;
    if (loaded) {
      inUse_.insert(loaded->contents);
      if (loaded->attemptContents) inUse_.insert(*loaded->attemptContents);
    }
  }
  if (!loaded) return stepDiscard(itemId);
  const Job& job = *loaded;
  InUseRelease release{mutex_, inUse_, {job.contents}};
  if (job.attemptContents) release.names.push_back(*job.attemptContents);

  auto updateJob = [&](std::string_view sql, auto&&... values) {
    std::lock_guard lock(mutex_);
    auto s = db_.prepare(sql);
    s.bind(1, itemId);
    int index = 2;
    ((s.bind(index++, values)), ...);
    s.run();
  };

  // 1. An attempt whose answer was lost is settled before anything else is sent.
  if (job.attemptKind == "modify" && job.identifier) {
    Outcome found = lookup(*job.identifier);
    if (found.error && isGone(found.error)) {
      clearAttempt(itemId);
      return true;
    }
    if (found.error) {
      scheduleRetry(itemId, describeFailure(found.error));
      return false;
    }
    if (found.item->itemVersion().contentVersion == job.baseVersion) {
      clearAttempt(itemId);  // it never reached the server
      return true;
    }
    bool same = false;
    Outcome read = sameContents(*job.identifier, *job.attemptContents, same);
    if (read.error) {
      if (isGone(read.error)) {
        clearAttempt(itemId);
        return true;
      }
      scheduleRetry(itemId, describeFailure(read.error));
      return false;
    }
    if (same) {
      // Our own upload: its version is the base of whatever follows.
      return landed(job, *job.attemptContents, read.item, false) == Landing::continues;
    }
    clearAttempt(itemId);  // someone else's version: the steps below make a conflict copy
    return true;
  }
  if (job.attemptKind == "create") {
    std::vector<ItemPtr> children;
    Outcome listed = listChildren(*job.attemptParent, children);
    if (listed.error && !isGone(listed.error)) {
      scheduleRetry(itemId, describeFailure(listed.error));
      return false;
    }
    // Newest first: a document the queue created has the highest identifier of its name.
    std::sort(children.begin(), children.end(), [](const ItemPtr& a, const ItemPtr& b) {
      auto ia = a->itemIdentifier(), ib = b->itemIdentifier();
      return ia.size() != ib.size() ? ia.size() > ib.size() : ia > ib;
    });
    for (const auto& child : children) {
      if (child->filename() != *job.attemptName || !child->itemIdentifier().starts_with("do:")) {
        continue;
      }
      bool same = false;
      Outcome read = sameContents(child->itemIdentifier(), *job.attemptContents, same);
      if (read.error && isGone(read.error)) continue;
      if (read.error) {
        scheduleRetry(itemId, describeFailure(read.error));
        return false;
      }
      if (!same) continue;
      // Ours: the creation went through.
      if (job.copyName) {
        return landedCopy(job, *job.attemptContents, read.item) == Landing::continues;
      }
      return landed(job, *job.attemptContents, read.item, true) == Landing::continues;
    }
    clearAttempt(itemId);  // it never reached the server
    return true;
  }

  // 2. A conflict copy, a creation, or new contents for the server's document.
  if (job.copyName) {
    const std::string parent = job.copyParent.value_or(job.parent);
    saveAttempt(itemId, "create", parent, *job.copyName, job.contents);
    Outcome created = create(parent, *job.copyName, job.contents);
    if (created.error) {
      if (isRefusal(created.error)) {
        clearAttempt(itemId);
        refuse(job, created.error);
      } else {
        scheduleRetry(itemId, describeFailure(created.error));
      }
      return false;
    }
    return landedCopy(job, job.contents, created.item) == Landing::continues;
  }
  if (!job.identifier) {
    saveAttempt(itemId, "create", job.parent, job.filename, job.contents);
    Outcome created = create(job.parent, job.filename, job.contents);
    if (created.error) {
      if (isRefusal(created.error)) {
        clearAttempt(itemId);
        refuse(job, created.error);
      } else {
        scheduleRetry(itemId, describeFailure(created.error));
      }
      return false;
    }
    return landed(job, job.contents, created.item, true) == Landing::continues;
  }

  Outcome found = lookup(*job.identifier);
  if (found.error && isGone(found.error)) {
    // Deleted on the server while edited here: created again from the edit.
    updateJob("UPDATE upload_jobs SET identifier = NULL, base_version = NULL WHERE item_id = ?1");
    return true;
  }
  if (found.error) {
    scheduleRetry(itemId, describeFailure(found.error));
    return false;
  }
  const std::string serverVersion = found.item->itemVersion().contentVersion;
  if (serverVersion != job.baseVersion) {
    bool same = false;
    Outcome read = sameContents(*job.identifier, job.contents, same);
    if (read.error) {
      scheduleRetry(itemId, describeFailure(read.error));
      return false;
    }
    if (same) return landed(job, job.contents, read.item, false) == Landing::continues;
    // Changed by someone else: the edit becomes a copy beside the document.
    updateJob("UPDATE upload_jobs SET copy_parent = ?2, copy_name = ?3 WHERE item_id = ?1",
              found.item->parentItemIdentifier(), conflictCopyName(job.filename, clock_.wallNow()));
    return true;
  }
  saveAttempt(itemId, "modify", job.parent, job.filename, job.contents);
  Outcome modified = modifyContents(job, job.contents);
  if (modified.error) {
    if (isGone(modified.error)) {
      clearAttempt(itemId);
      return true;  // the lookup above tells whether it went
    }
    if (isRefusal(modified.error)) {
      clearAttempt(itemId);
      refuse(job, modified.error);
    } else {
      scheduleRetry(itemId, describeFailure(modified.error));
    }
    return false;
  }
  return landed(job, job.contents, modified.item, false) == Landing::continues;
}

UploadQueue::Landing UploadQueue::landed(const Job& job, const std::string& contents,
                                         const ItemPtr& serverItem, bool created) {
  std::optional<Job> ended;
  bool discarded = false;
  {
    std::lock_guard lock(mutex_);
    SqliteTransaction tx(db_);
    auto current = loadJob(job.item);
    if (!current) {
      discarded = true;
    } else if (current->contents == contents) {
      if (current->baseVersion) passedVersions_[job.item].insert(*current->baseVersion);
      db_.prepare("DELETE FROM upload_jobs WHERE item_id = ?1").bind(1, job.item).run();
      db_.prepare(
             "INSERT OR REPLACE INTO upload_landed(item_id, from_version, identifier, "
             "to_version) VALUES (?1, ?2, ?3, ?4)")
          .bind(1, job.item)
          .bind(2, created ? std::optional<std::string>() : current->baseVersion)
          .bind(3, serverItem->itemIdentifier())
          .bind(4, serverItem->itemVersion().contentVersion)
          .run();
      ended = std::move(current);
    } else {
      // A newer edit came meanwhile: it continues from what the server now has.
      if (current->baseVersion) passedVersions_[job.item].insert(*current->baseVersion);
      db_.prepare(
             "UPDATE upload_jobs SET identifier = ?2, base_version = ?3, attempt_kind = NULL, "
             "attempt_parent = NULL, attempt_name = NULL, attempt_contents = NULL "
             "WHERE item_id = ?1")
          .bind(1, job.item)
          .bind(2, serverItem->itemIdentifier())
          .bind(3, serverItem->itemVersion().contentVersion)
          .run();
    }
    tx.commit();
    lastError_.reset();
    if (ended) schedule_[job.item].failures = 0;
  }
  if (discarded) {
    // The user deleted the file while it was being created: so goes the new document (the
    // next step deletes it, retried until the server answers).
    if (created) {
      std::lock_guard lock(mutex_);
      db_.prepare(
             "INSERT OR REPLACE INTO upload_discards(item_id, identifier, parent, name, contents) "
             "VALUES (?1, ?2, ?3, ?4, '')")
          .bind(1, job.item)
          .bind(2, serverItem->itemIdentifier())
          .bind(3, serverItem->parentItemIdentifier())
          .bind(4, serverItem->filename())
          .run();
    }
    return Landing::ended;
  }
  if (ended) removeKeptAside(*ended);
  try {
    listener_.uploaded(job.item, serverItem);
  } catch (...) {
    // The drive's bookkeeping; the server has the edit either way.
  }
  return ended ? Landing::ended : Landing::continues;
}

UploadQueue::Landing UploadQueue::landedCopy(const Job& job, const std::string& contents,
                                             const ItemPtr& copy) {
  std::optional<Job> ended;
  bool discarded = false;
  {
    std::lock_guard lock(mutex_);
    SqliteTransaction tx(db_);
    auto current = loadJob(job.item);
    if (!current) {
      discarded = true;
    } else if (current->contents == contents) {
      db_.prepare("DELETE FROM upload_jobs WHERE item_id = ?1").bind(1, job.item).run();
      // The item follows the server's version now, not an upload of ours.
      db_.prepare("DELETE FROM upload_landed WHERE item_id = ?1").bind(1, job.item).run();
      passedVersions_.erase(job.item);
      ended = std::move(current);
    } else {
      // A newer edit continues the one now in the copy: it goes to the copy.
      db_.prepare(
             "UPDATE upload_jobs SET identifier = ?2, base_version = ?3, parent = ?4, "
             "filename = ?5, copy_parent = NULL, copy_name = NULL, attempt_kind = NULL, "
             "attempt_parent = NULL, attempt_name = NULL, attempt_contents = NULL "
             "WHERE item_id = ?1")
          .bind(1, job.item)
          .bind(2, copy->itemIdentifier())
          .bind(3, copy->itemVersion().contentVersion)
          .bind(4, copy->parentItemIdentifier())
          .bind(5, copy->filename())
          .run();
    }
    tx.commit();
    lastError_.reset();
    ++conflicts_;
  }
  if (discarded) return Landing::ended;
  if (ended) removeKeptAside(*ended);
  try {
    listener_.conflictCopyMade(job.item, copy, contentsPath(contents));
  } catch (...) {
  }
  if (options_.notifier) {
    options_.notifier->notify("Copie de conflit créée",
                              "« " + job.filename +
                                  " » a été modifié ailleurs pendant que vous le modifiiez. Vos "
                                  "modifications sont dans « " +
                                  copy->filename() + " », à côté.");
  }
  return ended ? Landing::ended : Landing::continues;
}

void UploadQueue::refuse(const Job& job, const ErrorPtr& error) {
  {
    std::lock_guard lock(mutex_);
    db_.prepare("UPDATE upload_jobs SET refused = 1, last_error = ?2 WHERE item_id = ?1")
        .bind(1, job.item)
        .bind(2, describeFailure(error))
        .run();
    lastError_ = describeFailure(error);
  }
  try {
    listener_.refused(job.item, error);
  } catch (...) {
  }
  if (options_.notifier) {
    options_.notifier->notify("Envoi refusé",
                              "Le serveur refuse « " + job.path + " » (" + describeFailure(error) +
                                  "). Vos modifications restent sur cet ordinateur.");
  }
}

void UploadQueue::removeKeptAside(const Job& job) {
  if (!job.asidePath) return;
  // Only the copy as it was kept: one the user has changed meanwhile is theirs.
  const std::filesystem::path aside = *job.asidePath;
  std::error_code error;
  try {
    if (!sameFileContents(aside, contentsPath(job.contents))) return;
  } catch (...) {
    return;
  }
  std::filesystem::remove(aside, error);
  // Folders left empty go too, up to the drive's own folder.
  const auto root = unsyncedFolder(options_.driveName);
  for (auto folder = aside.parent_path();
       folder != root && folder.string().starts_with(root.string());
       folder = folder.parent_path()) {
    if (!std::filesystem::is_empty(folder, error) || error) break;
    std::filesystem::remove(folder, error);
  }
  if (std::filesystem::is_empty(root, error) && !error) std::filesystem::remove(root, error);
}

void UploadQueue::collectGarbage() {
  // Called under mutex_. Files of edits that were replaced, uploaded or discarded, and of
  // jobs a crash left uncommitted.
  std::set<std::string> kept = inUse_;
  auto s = db_.prepare("SELECT contents, attempt_contents FROM upload_jobs");
  while (s.step()) {
    kept.insert(s.text(0));
    if (!s.isNull(1)) kept.insert(s.text(1));
  }
  auto discards = db_.prepare("SELECT contents FROM upload_discards");
  while (discards.step()) kept.insert(discards.text(0));
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(uploadsFolder_, error)) {
    if (!kept.count(entry.path().filename().string())) std::filesystem::remove(entry.path(), error);
  }
}

namespace {

// Waits for the one answer of a plug-in call.
template <typename T>
class Answer {
 public:
  std::function<void(T)> handler() {
    return [state = state_](T value) {
      std::lock_guard lock(state->mutex);
      if (state->value) return;
      state->value.emplace(std::move(value));
      state->ready.notify_all();
    };
  }
  T wait() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return state_->value.has_value(); });
    return std::move(*state_->value);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<T> value;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using ItemAnswer = std::pair<ItemPtr, ErrorPtr>;

ErrorPtr unexpected(const std::string& what) {
  return std::make_shared<const ErrorObject>(std::string(fp::kUnexpectedErrorDomain), 0, what);
}

}  // namespace

UploadQueue::Outcome UploadQueue::lookup(const ItemIdentifier& identifier) {
  Answer<ItemAnswer> answer;
  auto handler = answer.handler();
  extension_.itemForIdentifier(identifier, Request{}, [handler](ItemPtr item, ErrorPtr error) {
    handler({std::move(item), std::move(error)});
  });
  auto [item, error] = answer.wait();
  if (!error && !item) error = unexpected("no item for " + identifier);
  return {std::move(item), std::move(error)};
}

UploadQueue::Outcome UploadQueue::modifyContents(const Job& job, const std::string& contents) {
  Answer<ItemAnswer> answer;
  auto handler = answer.handler();
  auto item = std::make_shared<TemplateItem>(*job.identifier, job.parent, job.filename);
  extension_.modifyItem(item,
                        ItemVersion{job.baseVersion.value_or(""), job.baseVersion.value_or("")},
                        ItemField::contents, contentsPath(contents), 0, Request{},
                        [handler](ItemPtr item, ItemFields, bool, ErrorPtr error) {
                          handler({std::move(item), std::move(error)});
                        });
  auto [result, error] = answer.wait();
  if (!error && !result) error = unexpected("no item after changing " + *job.identifier);
  return {std::move(result), std::move(error)};
}

UploadQueue::Outcome UploadQueue::create(const ItemIdentifier& parent, const std::string& filename,
                                         const std::string& contents) {
  Answer<ItemAnswer> answer;
  auto handler = answer.handler();
  auto item = std::make_shared<TemplateItem>(ItemIdentifier(), parent, filename);
  extension_.createItemBasedOnTemplate(item, ItemField::contents | ItemField::filename,
                                       contentsPath(contents), 0, Request{},
                                       [handler](ItemPtr item, ItemFields, bool, ErrorPtr error) {
                                         handler({std::move(item), std::move(error)});
                                       });
  auto [result, error] = answer.wait();
  if (!error && !result) error = unexpected("no item after creating " + filename);
  return {std::move(result), std::move(error)};
}

UploadQueue::Outcome UploadQueue::sameContents(const ItemIdentifier& identifier,
                                               const std::string& contents, bool& same) {
  using FetchAnswer = std::tuple<std::optional<std::filesystem::path>, ItemPtr, ErrorPtr>;
  Answer<FetchAnswer> answer;
  auto handler = answer.handler();
  extension_.fetchContentsForItemWithIdentifier(
      identifier, std::nullopt, Request{},
      [handler](std::optional<std::filesystem::path> file, ItemPtr item, ErrorPtr error) {
        handler({std::move(file), std::move(item), std::move(error)});
      });
  auto [file, item, error] = answer.wait();
  if (error) return {nullptr, std::move(error)};
  if (!file || !item) return {nullptr, unexpected("no contents for " + identifier)};
  Outcome outcome{item, nullptr};
  try {
    same = sameFileContents(*file, contentsPath(contents));
  } catch (const std::system_error& e) {
    outcome = {nullptr, std::make_shared<const ErrorObject>(std::string(NSPOSIXErrorDomain),
                                                            e.code().value(), e.what())};
  }
  std::error_code ignored;
  std::filesystem::remove(*file, ignored);
  return outcome;
}

namespace {

class ListingObserver final : public EnumerationObserver {
 public:
  void didEnumerateItems(std::vector<ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) items_.push_back(std::move(item));
  }
  void finishEnumeratingUpToPage(std::optional<EnumerationPage> nextPage) override {
    finish(std::move(nextPage), nullptr);
  }
  void finishEnumeratingWithError(ErrorPtr error) override { finish(std::nullopt, error); }

  // The next page to ask for, or none; the error when the listing failed.
  std::optional<EnumerationPage> wait(ErrorPtr& error) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return done_; });
    done_ = false;
    error = error_;
    return next_;
  }
  std::vector<ItemPtr> take() {
    std::lock_guard lock(mutex_);
    return std::move(items_);
  }

 private:
  void finish(std::optional<EnumerationPage> next, ErrorPtr error) {
    std::lock_guard lock(mutex_);
    next_ = std::move(next);
    error_ = std::move(error);
    done_ = true;
    ready_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<ItemPtr> items_;
  std::optional<EnumerationPage> next_;
  ErrorPtr error_;
  bool done_ = false;
};

}  // namespace

UploadQueue::Outcome UploadQueue::listChildren(const ItemIdentifier& parent,
                                               std::vector<ItemPtr>& children) {
  ErrorPtr error;
  auto enumerator = extension_.enumeratorForContainerItemIdentifier(parent, Request{}, error);
  if (!enumerator) return {nullptr, error ? error : unexpected("cannot list " + parent)};
  auto observer = std::make_shared<ListingObserver>();
  EnumerationPage page(kInitialPageSortedByName);
  for (int pages = 0; pages < 100000; ++pages) {
    enumerator->enumerateItems(observer, page);
    auto next = observer->wait(error);
    if (error) break;
    if (!next) break;
    page = *next;
  }
  enumerator->invalidate();
  if (error) return {nullptr, error};
  children = observer->take();
  return {};
}

ErrorPtr UploadQueue::deleteOnServer(const ItemIdentifier& identifier) {
  Answer<ErrorPtr> answer;
  auto handler = answer.handler();
  extension_.deleteItemWithIdentifier(identifier, ItemVersion{}, 0, Request{},
                                      [handler](ErrorPtr error) { handler(std::move(error)); });
  return answer.wait();
}

bool UploadQueue::stepDiscard(LocalItemId item) {
  std::optional<std::string> identifier;
  std::string parent, name, contents;
  {
    std::lock_guard lock(mutex_);
    auto s = db_.prepare(
        "SELECT identifier, parent, name, contents FROM upload_discards WHERE item_id = ?1");
    s.bind(1, item);
    if (!s.step()) return false;
    identifier = s.optionalText(0);
    parent = s.text(1);
    name = s.text(2);
    contents = s.text(3);
    inUse_.insert(contents);
  }
  const InUseRelease release{mutex_, inUse_, {contents}};
  std::vector<ItemIdentifier> doomed;
  if (identifier) {
    doomed.push_back(*identifier);
  } else {
    // Which document the lost answer was about: the one of that name with those contents.
    std::vector<ItemPtr> children;
    Outcome listed = listChildren(parent, children);
    if (listed.error && !isGone(listed.error)) {
      scheduleRetry(item, describeFailure(listed.error));
      return false;
    }
    for (const auto& child : children) {
      if (child->filename() != name || !child->itemIdentifier().starts_with("do:")) continue;
      bool same = false;
      Outcome read = sameContents(child->itemIdentifier(), contents, same);
      if (read.error && isGone(read.error)) continue;
      if (read.error) {
        scheduleRetry(item, describeFailure(read.error));
        return false;
      }
      if (same) doomed.push_back(child->itemIdentifier());
    }
  }
  for (const auto& document : doomed) {
    if (ErrorPtr error = deleteOnServer(document); error && !isGone(error)) {
      scheduleRetry(item, describeFailure(error));
      return false;
    }
  }
  std::lock_guard lock(mutex_);
  db_.prepare("DELETE FROM upload_discards WHERE item_id = ?1").bind(1, item).run();
  lastError_.reset();
  return false;
}

KeptAside UploadQueue::finishForRemoval(std::chrono::milliseconds bound) {
  retryNow();
  waitUntilIdle(bound);
  KeptAside kept;
  kept.folder = unsyncedFolder(options_.driveName);
  std::vector<Job> left;
  {
    std::lock_guard lock(mutex_);
    auto s = db_.prepare("SELECT item_id FROM upload_jobs");
    std::vector<LocalItemId> items;
    while (s.step()) items.push_back(s.int64(0));
    for (auto item : items) {
      auto job = loadJob(item);
      if (!job || (!job->identifier && staysLocal(job->filename))) continue;
      inUse_.insert(job->contents);
      left.push_back(std::move(*job));
    }
  }
  for (const auto& job : left) {
    std::filesystem::path relative = job.path.empty() ? job.filename : job.path;
    auto target = kept.folder / relativeText(relative);
    // A copy of this edit from an earlier removal is replaced; anything else there (another
    // edit's copy, a file of the user's) is kept, and this one takes a numbered name.
    for (int n = 2; std::filesystem::exists(target) && job.asidePath != target.string(); ++n) {
      const auto original = kept.folder / relativeText(relative);
      target = original.parent_path() / (original.stem().string() + " (" + std::to_string(n) + ")" +
                                         original.extension().string());
    }
    try {
      makePrivateFolder(target.parent_path());
      const auto temporary = target.parent_path() / ("." + target.filename().string() + ".part");
      std::filesystem::remove(temporary);
      copyFile(contentsPath(job.contents), temporary);
      std::filesystem::rename(temporary, target);
      syncPath(target.parent_path(), O_RDONLY | O_DIRECTORY);
      bool stillWaiting = false;
      {
        std::lock_guard lock(mutex_);
        db_.prepare("UPDATE upload_jobs SET aside_path = ?2 WHERE item_id = ?1 AND contents = ?3")
            .bind(1, job.item)
            .bind(2, target.string())
            .bind(3, job.contents)
            .run();
        stillWaiting = db_.changes() > 0;
      }
      if (stillWaiting) {
        ++kept.files;
      } else {
        // It reached the server while it was being copied: no copy to keep.
        Job copied = job;
        copied.asidePath = target.string();
        removeKeptAside(copied);
      }
    } catch (const std::exception& e) {
      // The edit stays in the domain's state all the same.
      std::lock_guard lock(mutex_);
      lastError_ = e.what();
    }
  }
  {
    std::lock_guard lock(mutex_);
    for (const auto& job : left) inUse_.erase(job.contents);
  }
  if (kept.files > 0 && options_.notifier) {
    options_.notifier->notify(
        "Modifications mises de côté",
        std::to_string(kept.files) +
            (kept.files == 1 ? " fichier n'a pas pu être envoyé ; une copie est dans "
                             : " fichiers n'ont pas pu être envoyés ; une copie est dans ") +
            kept.folder.string() + ". Ajouter de nouveau le disque les enverra.");
  }
  return kept;
}

bool UploadQueue::staysLocal(std::string_view name) {
  if (name.starts_with(".~lock.") && name.ends_with("#")) return true;  // office lock files
  if (name.size() > 5 && name.starts_with(".") &&
      (name.ends_with(".swp") || name.ends_with(".swo") || name.ends_with(".swx"))) {
    return true;  // vim swap files
  }
  if (name.size() > 1 && name.ends_with("~")) return true;  // backups
  if (name.starts_with(".goutputstream-")) return true;     // GIO's temporary saves
  return false;
}

std::string UploadQueue::conflictCopyName(std::string_view filename,
                                          std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M-%S", &local);
  // The extension stays last, so the copy opens with the same program. A name that only
  // starts with a dot has none.
  const auto dot = filename.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot != 0;
  std::string_view stem = hasExtension ? filename.substr(0, dot) : filename;
  std::string_view extension = hasExtension ? filename.substr(dot) : std::string_view();
  const std::string suffix = std::string(" (conflit ") + stamp + ")";
  // Names are at most 255 bytes on the server as on the disk: a long name loses the end of
  // its stem (never half a character) rather than have its copy refused.
  constexpr std::size_t kMaxNameBytes = 255;
  if (extension.size() + suffix.size() > kMaxNameBytes) extension = {};
  if (stem.size() + suffix.size() + extension.size() > kMaxNameBytes) {
    std::size_t keep = kMaxNameBytes - suffix.size() - extension.size();
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem = stem.substr(0, keep);
  }
  return std::string(stem) + suffix + std::string(extension);
}

std::filesystem::path UploadQueue::unsyncedFolder(std::string_view driveName) {
  std::filesystem::path state;
  if (const char* value = std::getenv("XDG_STATE_HOME"); value && *value == '/') {
    state = value;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    state = std::filesystem::path(home) / ".local" / "state";
  } else {
    state = "/tmp";
  }
  // One folder per drive, whatever its name holds.
  std::string name(driveName);
  std::replace(name.begin(), name.end(), '/', '_');
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return state / "folium" / "unsynced" / name;
}

}  // namespace folium::platform::drive
