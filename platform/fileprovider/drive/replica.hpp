#pragma once

#include <time.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/fileprovider/enumerator.hpp"
#include "platform/fileprovider/item.hpp"
#include "platform/sqlite/sqlite_database.hpp"

namespace folium::platform::drive {

enum class ItemKind : std::int64_t { root = 0, workspace = 1, folder = 2, document = 3 };

// One entry of the drive as the replica holds it. `id` is the local id, which the mount
// uses as the inode number: it never changes for the item and is never given to another
// one (ids are never reused, across restarts too).
struct ReplicaItem {
  std::uint64_t id = 0;
  std::optional<std::string> identifier;  // the server's; none until a local item is created
  std::uint64_t parent = 0;
  std::string serverName;
  std::string shownName;  // the file name in the mount (see shown_names.hpp)
  ItemKind kind = ItemKind::document;
  std::string contentVersion;
  std::string metadataVersion;
  std::int64_t size = 0;  // the real size when the contents are current, else the plug-in's
  ItemCapabilities capabilities = 0;
  FileSystemFlags flags = 0;
  bool childrenListed = false;
  std::optional<std::int64_t> contentFile;  // number of the cached file in contents/
  std::string cachedVersion;                // the content version that file holds
  std::int64_t lastUsed = 0;                // seconds since the epoch of the last open

  bool isContainer() const { return kind != ItemKind::document; }
  bool contentsCurrent() const {
    return contentFile.has_value() && cachedVersion == contentVersion;
  }
};

// What the kernel must be told after the replica changed: attributes and contents of
// inodes, and names in folders.
struct Invalidations {
  std::vector<std::uint64_t> inodes;
  std::vector<std::pair<std::uint64_t, std::string>> entries;  // (folder inode, name)

  bool empty() const { return inodes.empty() && entries.empty(); }
};

// One change of the server's feed, in feed order.
struct ReplicaChange {
  std::optional<ItemIdentifier> deleted;  // set for a deletion
  ItemPtr updated;                        // set for an update
};

// The drive's local copy of the tree: a SQLite database (WAL) in the state folder, with the
// cached contents beside it in contents/ (files named by number), and the same tree in
// memory so that file-system requests never wait on the disk for metadata.
//
// Tables: `items` (one row per item, keyed by the local id, which other tables of the same
// database may reference, e.g. pending uploads), `state` (the sync anchor, counters).
//
// Threading: every method may be called from any thread; one mutex guards the memory and
// the database, held for the length of one call. Nothing calls out while holding it.
class Replica {
 public:
  static constexpr std::uint64_t kRootId = 1;

  // Opens or creates the replica in `stateDirectory` (created 0700, with contents/ and
  // staging/). Throws std::runtime_error naming what cannot be used.
  Replica(const std::filesystem::path& stateDirectory, std::string rootName);
  ~Replica();
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  const std::filesystem::path& stagingDirectory() const { return staging_; }
  std::filesystem::path contentsPath(std::int64_t contentFile) const;

  std::optional<ReplicaItem> item(std::uint64_t id) const;
  std::optional<ReplicaItem> itemWithIdentifier(std::string_view identifier) const;
  std::optional<ReplicaItem> child(std::uint64_t parent, std::string_view shownName) const;
  // In shown-name order.
  std::vector<ReplicaItem> children(std::uint64_t parent) const;
  // Each child in shown-name order as `convert` makes it, under the replica's lock (so
  // `convert` must not call the replica): what a large folder's listing needs of its items,
  // without a copy of each.
  template <typename Convert>
  auto mapChildren(std::uint64_t parent, Convert convert) const {
    std::vector<std::invoke_result_t<Convert&, const ReplicaItem&>> out;
    std::lock_guard lock(mutex_);
    const auto found = nodes_.find(parent);
    if (found == nodes_.end()) return out;
    out.reserve(found->second.children.size());
    for (const auto& [name, id] : found->second.children) {
      out.push_back(convert(nodes_.at(id).item));
    }
    return out;
  }
  // Every container whose children were listed.
  std::vector<ItemIdentifier> listedContainers() const;
  // The item's path below the mount's root ("" for the root); none when it is not in the
  // tree.
  std::optional<std::filesystem::path> relativePath(std::uint64_t id) const;
  std::size_t itemCount() const;

  std::optional<SyncAnchor> anchor() const;
  void setAnchor(const SyncAnchor& anchor);

  // Replaces the children of `container` with `items` (the plug-in's whole listing):
  // known items are updated and moved here, new ones added, those no longer listed removed
  // with all they hold. Marks the container listed. One transaction.
  Invalidations applyListing(std::uint64_t container, const std::vector<ItemPtr>& items);
  // The same, for a listing that arrives in parts: addToListing() for each part, then
  // endListing(). The parts of a container never listed are written as they come (one
  // transaction each), since nothing shows its children before it is marked listed; those of
  // a container listed before are kept until endListing() applies them in one transaction,
  // so that what it shows changes at once.
  struct Listing {
    bool started = false;
    bool whole = false;  // the container was listed before: applied at the end
    bool named = true;   // only new items so far, each under the name it keeps
    std::vector<ItemPtr> held;
    std::unordered_set<std::uint64_t> listed;
    std::vector<std::uint64_t> touched;
  };
  Invalidations addToListing(std::uint64_t container, std::vector<ItemPtr> items, Listing& listing);
  Invalidations endListing(std::uint64_t container, Listing& listing);
  // Applies a run of changes and stores `anchor`, in one transaction. Items that land in a
  // folder never listed are left out (or removed, when they move there).
  Invalidations applyChanges(const std::vector<ReplicaChange>& changes, const SyncAnchor& anchor);
  // Moves a fetched file into the cache as the contents of `id`, described by `item` (the
  // plug-in's fresh item: its version and real size). Throws std::system_error when the file
  // cannot be moved in.
  Invalidations storeContents(std::uint64_t id, const std::filesystem::path& fetched,
                              const ItemPtr& item);
  void touch(std::uint64_t id, std::int64_t now);

  // Kernel lookup counts: an item removed from the tree keeps answering for its inode
  // until the kernel forgot it.
  void remember(std::uint64_t id);
  void forget(std::uint64_t id, std::uint64_t count);

  // --- Local changes (the drive's writing) ---
  // A new file made here, not on the server yet: no identifier, an empty cached file.
  // `serverName` is the name the server will get. Throws std::system_error when the file
  // cannot be made.
  std::pair<ReplicaItem, Invalidations> createLocal(std::uint64_t parent,
                                                    const std::string& serverName);
  // Gives the item a cached file of its own to write in: a copy of the current one, or an
  // empty one when `empty` (or when it has none, then based on the server's version). The
  // previous file is left to whoever holds it (open descriptors, the upload queue). Returns
  // the new file's path.
  std::filesystem::path freshContents(std::uint64_t id, bool empty);
  // The cached file was written: its size as the drive shows it.
  void setSize(std::uint64_t id, std::int64_t size);
  // `source` was renamed over `target`: the target keeps its identity and takes the
  // source's contents, based on the server's version it had; the source goes.
  Invalidations replaceContents(std::uint64_t target, std::uint64_t source);
  // Renames or moves an item here (a file not on the server yet, or after the server did it).
  Invalidations moveLocal(std::uint64_t id, std::uint64_t newParent, const std::string& serverName);
  // Removes an item with all it holds (after the server deleted it, or a local file).
  Invalidations remove(std::uint64_t id);
  // An item the server made or changed at the drive's request (a folder, a conflict copy, a
  // rename): added under its parent or updated there. None when its parent is not known.
  // `sameContents`: the change left the contents alone, so cached ones stay current.
  std::pair<std::optional<std::uint64_t>, Invalidations> applyItem(const ItemPtr& item,
                                                                   bool sameContents = false);
  // An upload of the item reached the server as `serverItem`: the item takes its identifier
  // (a new file keeps its path) and version; `contentsAreServers`: the cached file holds
  // exactly that version. A duplicate the change feed added for the same document merges in.
  Invalidations adoptUpload(std::uint64_t id, const ItemPtr& serverItem, bool contentsAreServers);
  // An editor renamed the document to a backup name before writing it anew: `backup` (a new
  // local file) takes its cached contents, and the document leaves its folder's listing
  // (not the server) until show() brings it back.
  Invalidations setAside(std::uint64_t document, std::uint64_t backup);
  Invalidations show(std::uint64_t id);
  // The cached file no longer stands for the server's contents: the next open fetches them.
  Invalidations followServer(std::uint64_t id);
  // The item's cached file holds a local edit the upload queue does not have yet (marked
  // before the first change to a file, cleared once the edit is handed over or gone), so
  // that a worker killed meanwhile hands it over at its next start. A marked item keeps its
  // contents: they are neither evicted nor replaced by the server's. The mark is synced to
  // the disk before markEdited() returns.
  void markEdited(std::uint64_t id);
  void clearEdited(std::uint64_t id);
  bool edited(std::uint64_t id) const;
  // Every marked item, with the server's version its edit is based on.
  std::map<std::uint64_t, std::string> editedItems() const;
  // Modification times set here (by writes, `touch`, `cp -p`) that the server does not keep,
  // so that those of edits still waiting outlive a restart; gone with their item.
  void keepLocalTime(std::uint64_t id, timespec time);
  void dropLocalTime(std::uint64_t id);
  std::map<std::uint64_t, timespec> localTimes() const;

  // The cache (replica_cache.cpp): which items are kept offline, and which cached contents
  // may go to make room.
  //
  // Keeps the item (a container: everything under it) downloaded, or lets it go; unpinning
  // also unpins everything under the item. Throws std::invalid_argument when there is no
  // such item.
  void setPinned(std::uint64_t id, bool pinned);
  // The item itself, or its nearest ancestor, when pinned.
  std::optional<std::uint64_t> pinnedFrom(std::uint64_t id) const;
  std::vector<std::uint64_t> pinnedItems() const;
  struct CachedContents {
    std::uint64_t id = 0;
    std::int64_t contentFile = 0;
    std::int64_t lastUsed = 0;
    std::int64_t bytes = 0;  // the item's size, which the cached file has unless stale
  };
  // Every server document whose contents are on the disk, least recently used first (the
  // later fetch first among those last used in the same second).
  std::vector<CachedContents> cachedContents() const;
  // Drops the cached contents of `entry.id`, unless they changed or were opened since
  // `entry` was taken; whether they went. The item is fetched again on its next open.
  bool evict(const CachedContents& entry);

 private:
  struct Node {
    ReplicaItem item;
    std::map<std::string, std::uint64_t, std::less<>> children;  // by shown name
    std::uint64_t lookups = 0;
    bool detached = false;  // removed from the tree; kept while the kernel knows it
  };

  void createSchema();
  void load();
  void save(const Node& node);
  // Gives `to` the cached file of `from`, which is left with none; returns the file `to` had.
  static std::optional<std::int64_t> handOverContents(Node& from, Node& to);
  Node& insert(ReplicaItem item);
  // Updates `node` from a plug-in item; true when anything the kernel caches changed.
  bool update(Node& node, const FileProviderItem& item);
  void move(Node& node, std::uint64_t newParent, std::vector<std::uint64_t>& touched);
  void removeTree(std::uint64_t id, Invalidations& out);
  void renameSiblings(std::uint64_t parent, Invalidations& out);
  // Stores one listed item under `container` (under mutex_, in a transaction).
  void storeListed(std::uint64_t container, const FileProviderItem& entry, Listing& listing,
                   Invalidations& out);
  std::optional<std::uint64_t> idOf(const ItemIdentifier& identifier) const;
  // A new number for a file in contents/ (under mutex_, in or out of a transaction).
  std::int64_t takeContentNumber();
  std::string stateValue(std::string_view key) const;
  void setStateValue(std::string_view key, std::string_view value);
  void createCacheTables();

  mutable std::mutex mutex_;  // guards everything below
  std::filesystem::path contents_;
  std::filesystem::path staging_;
  std::unique_ptr<SqliteDatabase> db_;
  // Prepared once: a listing of thousands of entries writes as many rows.
  std::optional<SqliteStatement> saveStatement_;
  std::optional<SqliteStatement> insertStatement_;
  std::unordered_map<std::uint64_t, Node> nodes_;
  std::unordered_map<std::string, std::uint64_t> byIdentifier_;
  // Pinned items; an id may outlive its item (ids are never reused), and then means nothing.
  std::set<std::uint64_t> pinned_;
  std::map<std::uint64_t, std::string> edited_;  // see markEdited(): item -> base version
};

}  // namespace folium::platform::drive
