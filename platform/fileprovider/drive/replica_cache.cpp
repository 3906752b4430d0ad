#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "platform/fileprovider/drive/replica.hpp"

namespace folium::platform::drive {

void Replica::createCacheTables() {
  // A pin goes with its item: removed from the server, it is forgotten.
  db_->exec(
      "CREATE TABLE IF NOT EXISTS pins("
      " item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE)");
  auto rows = db_->prepare("SELECT item_id FROM pins");
  while (rows.step()) pinned_.insert(static_cast<std::uint64_t>(rows.int64(0)));
  db_->exec(
      "CREATE TABLE IF NOT EXISTS unsent_edits("
      " item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE,"
      " base_version TEXT NOT NULL)");
  auto edits = db_->prepare("SELECT item_id, base_version FROM unsent_edits");
  while (edits.step()) edited_[static_cast<std::uint64_t>(edits.int64(0))] = edits.text(1);
  db_->exec(
      "CREATE TABLE IF NOT EXISTS local_times("
      " item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE,"
      " seconds INTEGER NOT NULL, nanoseconds INTEGER NOT NULL)");
}

void Replica::keepLocalTime(std::uint64_t id, timespec time) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) return;
  db_->prepare(
         "INSERT OR REPLACE INTO local_times(item_id, seconds, nanoseconds) VALUES (?1, ?2, ?3)")
      .bind(1, static_cast<std::int64_t>(id))
      .bind(2, static_cast<std::int64_t>(time.tv_sec))
      .bind(3, static_cast<std::int64_t>(time.tv_nsec))
      .run();
}

void Replica::dropLocalTime(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  db_->prepare("DELETE FROM local_times WHERE item_id = ?1")
      .bind(1, static_cast<std::int64_t>(id))
      .run();
}

std::map<std::uint64_t, timespec> Replica::localTimes() const {
  std::lock_guard lock(mutex_);
  std::map<std::uint64_t, timespec> times;
  auto rows = db_->prepare("SELECT item_id, seconds, nanoseconds FROM local_times");
  while (rows.step()) {
    times[static_cast<std::uint64_t>(rows.int64(0))] = {static_cast<time_t>(rows.int64(1)),
                                                        static_cast<long>(rows.int64(2))};
  }
  return times;
}

void Replica::markEdited(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached || edited_.contains(id)) return;
  // The replica syncs lazily; this mark must outlive a power cut as the edit it guards does.
  db_->exec("PRAGMA synchronous=FULL");
  try {
    db_->prepare("INSERT OR REPLACE INTO unsent_edits(item_id, base_version) VALUES (?1, ?2)")
        .bind(1, static_cast<std::int64_t>(id))
        .bind(2, found->second.item.cachedVersion)
        .run();
  } catch (...) {
    db_->exec("PRAGMA synchronous=NORMAL");
    throw;
  }
  db_->exec("PRAGMA synchronous=NORMAL");
  edited_[id] = found->second.item.cachedVersion;
}

void Replica::clearEdited(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (edited_.erase(id) == 0) return;
  db_->prepare("DELETE FROM unsent_edits WHERE item_id = ?1")
      .bind(1, static_cast<std::int64_t>(id))
      .run();
}

bool Replica::edited(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  return edited_.contains(id);
}

std::map<std::uint64_t, std::string> Replica::editedItems() const {
  std::lock_guard lock(mutex_);
  return edited_;
}

void Replica::setPinned(std::uint64_t id, bool pinned) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) {
    throw std::invalid_argument("no item " + std::to_string(id) + " in the drive");
  }
  SqliteTransaction transaction(*db_);
  if (pinned) {
    db_->prepare("INSERT OR IGNORE INTO pins(item_id) VALUES (?1)")
        .bind(1, static_cast<std::int64_t>(id))
        .run();
    transaction.commit();
    pinned_.insert(id);
    return;
  }
  // Everything pinned below the item goes too.
  std::vector<std::uint64_t> gone;
  for (const auto item : pinned_) {
    for (std::uint64_t at = item;;) {
      if (at == id) {
        gone.push_back(item);
        break;
      }
      const auto node = nodes_.find(at);
      if (at == kRootId || node == nodes_.end()) break;
      at = node->second.item.parent;
    }
  }
  auto remove = db_->prepare("DELETE FROM pins WHERE item_id = ?1");
  for (const auto item : gone) {
    remove.reset();
    remove.bind(1, static_cast<std::int64_t>(item)).run();
  }
  transaction.commit();
  for (const auto item : gone) pinned_.erase(item);
}

std::optional<std::uint64_t> Replica::pinnedFrom(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  if (pinned_.empty()) return std::nullopt;
  for (std::uint64_t at = id, depth = 0; depth <= nodes_.size(); ++depth) {
    const auto node = nodes_.find(at);
    if (node == nodes_.end() || node->second.detached) return std::nullopt;
    if (pinned_.contains(at)) return at;
    if (at == kRootId) return std::nullopt;
    at = node->second.item.parent;
  }
  return std::nullopt;
}

std::vector<std::uint64_t> Replica::pinnedItems() const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint64_t> items;
  for (const auto id : pinned_) {
    const auto node = nodes_.find(id);
    if (node != nodes_.end() && !node->second.detached) items.push_back(id);
  }
  return items;
}

std::vector<Replica::CachedContents> Replica::cachedContents() const {
  std::lock_guard lock(mutex_);
  std::vector<CachedContents> entries;
  for (const auto& [id, node] : nodes_) {
    // A file not on the server yet could not be fetched again, nor an edit not handed over.
    if (node.detached || !node.item.contentFile || !node.item.identifier || edited_.contains(id)) {
      continue;
    }
    entries.push_back({id, *node.item.contentFile, node.item.lastUsed, node.item.size});
  }
  // Contents files are numbered in fetch order.
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.lastUsed != b.lastUsed ? a.lastUsed < b.lastUsed : a.contentFile < b.contentFile;
  });
  return entries;
}

bool Replica::evict(const CachedContents& entry) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(entry.id);
  if (found == nodes_.end() || found->second.detached || edited_.contains(entry.id)) return false;
  ReplicaItem& item = found->second.item;
  if (item.contentFile != entry.contentFile || item.lastUsed != entry.lastUsed) return false;
  item.contentFile.reset();
  item.cachedVersion.clear();
  save(found->second);
  // A descriptor still open on it keeps reading what it opened.
  ::unlink(contentsPath(entry.contentFile).c_str());
  return true;
}

}  // namespace folium::platform::drive
