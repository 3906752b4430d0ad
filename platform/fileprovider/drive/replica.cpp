#include "platform/fileprovider/drive/replica.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_set>

#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::platform::drive {
namespace {

constexpr int kSchemaVersion = 1;

// An item leaving its folder for another: the kernel must forget the name it had there.
void leaveName(const ReplicaItem& item, Invalidations& out) {
  if (!item.shownName.empty() && item.shownName.front() != '\x01') {
    out.entries.emplace_back(item.parent, item.shownName);
  }
}

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

ItemKind kindOf(const FileProviderItem& item) {
  if (item.itemIdentifier() == NSFileProviderRootContainerItemIdentifier) return ItemKind::root;
  // Files always carry a size (a provisional one until fetched), containers none; this costs
  // less than working out a content type for every entry of a large listing.
  if (item.documentSize().has_value()) return ItemKind::document;
  return item.parentItemIdentifier() == NSFileProviderRootContainerItemIdentifier
             ? ItemKind::workspace
             : ItemKind::folder;
}

// Copies `from` to a new file `to` (0600); used when a fetched file lies on another file
// system and cannot be renamed in.
void copyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) fail(errno, "cannot read " + from.string());
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    fail(error, "cannot create " + to.string());
  }
  char buffer[1 << 16];
  int error = 0;
  for (;;) {
    const ssize_t count = ::read(in, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    for (ssize_t done = 0; done < count && error == 0;) {
      const ssize_t written = ::write(out, buffer + done, static_cast<size_t>(count - done));
      if (written < 0 && errno != EINTR) error = errno;
      if (written > 0) done += written;
    }
    if (error != 0) break;
  }
  ::close(in);
  if (::close(out) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(to.c_str());
    fail(error, "cannot copy " + from.string() + " to " + to.string());
  }
}

}  // namespace

Replica::Replica(const std::filesystem::path& stateDirectory, std::string rootName)
    : contents_(stateDirectory / "contents"), staging_(stateDirectory / "staging") {
  makePrivateFolder(stateDirectory);
  makePrivateFolder(contents_);
  makePrivateFolder(staging_);
  const auto path = stateDirectory / "replica.sqlite";
  // The database and its WAL files are created private, whatever the umask.
  const mode_t previous = ::umask(077);
  try {
    db_ = std::make_unique<SqliteDatabase>(path);
  } catch (...) {
    ::umask(previous);
    throw;
  }
  ::umask(previous);
  createSchema();
  load();
  createCacheTables();
  if (!nodes_.contains(kRootId)) {
    ReplicaItem root;
    root.id = kRootId;
    root.identifier = std::string(NSFileProviderRootContainerItemIdentifier);
    root.parent = kRootId;
    root.kind = ItemKind::root;
    root.serverName = rootName;
    root.shownName = std::move(rootName);
    root.capabilities = ItemCapability::allowsReading;
    root.flags = FileSystemFlag::userReadable | FileSystemFlag::userExecutable |
                 FileSystemFlag::userWritable;
    Node node{root, {}, 0, false};
    save(node);
    byIdentifier_.emplace(*root.identifier, kRootId);
    nodes_.emplace(kRootId, std::move(node));
  }
}

Replica::~Replica() = default;

void Replica::createSchema() {
  db_->exec("PRAGMA journal_mode=WAL");
  db_->exec("PRAGMA synchronous=NORMAL");
  db_->exec("PRAGMA foreign_keys=ON");
  auto version = db_->prepare("PRAGMA user_version");
  version.step();
  const auto current = version.int64(0);
  if (current > kSchemaVersion) {
    throw std::runtime_error("the drive's replica was written by a newer Folium (schema " +
                             std::to_string(current) + "); update Folium or remove the drive");
  }
  // An index of parents the replica never reads by (it loads the whole table): dropped, so
  // that a listing writes one index less per row.
  db_->exec("DROP INDEX IF EXISTS items_parent");
  if (current == kSchemaVersion) return;
  db_->exec(R"(
CREATE TABLE IF NOT EXISTS items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  identifier TEXT UNIQUE,
  parent INTEGER NOT NULL,
  server_name TEXT NOT NULL,
  shown_name TEXT NOT NULL,
  kind INTEGER NOT NULL,
  content_version TEXT NOT NULL,
  metadata_version TEXT NOT NULL,
  size INTEGER NOT NULL,
  capabilities INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  children_listed INTEGER NOT NULL DEFAULT 0,
  content_file INTEGER,
  cached_version TEXT NOT NULL DEFAULT '',
  last_used INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS state(key TEXT PRIMARY KEY, value TEXT NOT NULL);
)");
  db_->exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
}

void Replica::load() {
  auto rows = db_->prepare(
      "SELECT id, identifier, parent, server_name, shown_name, kind, content_version, "
      "metadata_version, size, capabilities, flags, children_listed, content_file, "
      "cached_version, last_used FROM items");
  while (rows.step()) {
    ReplicaItem item;
    item.id = static_cast<std::uint64_t>(rows.int64(0));
    item.identifier = rows.optionalText(1);
    item.parent = static_cast<std::uint64_t>(rows.int64(2));
    item.serverName = rows.text(3);
    item.shownName = rows.text(4);
    item.kind = static_cast<ItemKind>(rows.int64(5));
    item.contentVersion = rows.text(6);
    item.metadataVersion = rows.text(7);
    item.size = rows.int64(8);
    item.capabilities = static_cast<ItemCapabilities>(rows.int64(9));
    item.flags = static_cast<FileSystemFlags>(rows.int64(10));
    item.childrenListed = rows.int64(11) != 0;
    item.contentFile = rows.optionalInt64(12);
    item.cachedVersion = rows.text(13);
    item.lastUsed = rows.int64(14);
    if (item.identifier) byIdentifier_.emplace(*item.identifier, item.id);
    nodes_.emplace(item.id, Node{std::move(item), {}, 0, false});
  }
  for (auto& [id, node] : nodes_) {
    if (id == kRootId) continue;
    const auto parent = nodes_.find(node.item.parent);
    if (parent != nodes_.end()) parent->second.children.emplace(node.item.shownName, id);
  }
}

namespace {

// Binds every column of the item but its id, in the order of the table, from `first` on.
void bindColumns(SqliteStatement& statement, int first, const ReplicaItem& item) {
  statement.bind(first, item.identifier)
      .bind(first + 1, static_cast<std::int64_t>(item.parent))
      .bind(first + 2, item.serverName)
      .bind(first + 3, item.shownName)
      .bind(first + 4, static_cast<std::int64_t>(item.kind))
      .bind(first + 5, item.contentVersion)
      .bind(first + 6, item.metadataVersion)
      .bind(first + 7, item.size)
      .bind(first + 8, static_cast<std::int64_t>(item.capabilities))
      .bind(first + 9, static_cast<std::int64_t>(item.flags))
      .bind(first + 10, std::int64_t{item.childrenListed})
      .bind(first + 11, item.contentFile)
      .bind(first + 12, item.cachedVersion)
      .bind(first + 13, item.lastUsed);
}

}  // namespace

void Replica::save(const Node& node) {
  const ReplicaItem& item = node.item;
  if (!saveStatement_)
    saveStatement_.emplace(db_->prepare(
        "INSERT INTO items(id, identifier, parent, server_name, shown_name, kind, content_version, "
        "metadata_version, size, capabilities, flags, children_listed, content_file, "
        "cached_version, last_used) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
        "?13, ?14, ?15) ON CONFLICT(id) DO UPDATE SET identifier = ?2, parent = ?3, "
        "server_name = ?4, shown_name = ?5, kind = ?6, content_version = ?7, "
        "metadata_version = ?8, size = ?9, capabilities = ?10, flags = ?11, "
        "children_listed = ?12, content_file = ?13, cached_version = ?14, last_used = ?15"));
  SqliteStatement& statement = *saveStatement_;
  statement.reset();
  statement.bind(1, static_cast<std::int64_t>(item.id));
  bindColumns(statement, 2, item);
  statement.run();
}

Replica::Node& Replica::insert(ReplicaItem item) {
  // The id comes from the database, which never hands one out twice. The whole row is
  // written, so that an item known in full takes one statement.
  if (!insertStatement_) {
    insertStatement_.emplace(db_->prepare(
        "INSERT INTO items(identifier, parent, server_name, shown_name, kind, content_version, "
        "metadata_version, size, capabilities, flags, children_listed, content_file, "
        "cached_version, last_used) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
        "?13, ?14)"));
  }
  SqliteStatement& statement = *insertStatement_;
  statement.reset();
  bindColumns(statement, 1, item);
  statement.run();
  item.id = static_cast<std::uint64_t>(db_->lastInsertRowid());
  if (item.identifier) byIdentifier_[*item.identifier] = item.id;
  auto [it, inserted] = nodes_.emplace(item.id, Node{std::move(item), {}, 0, false});
  return it->second;
}

bool Replica::update(Node& node, const FileProviderItem& from) {
  ReplicaItem& item = node.item;
  const ItemVersion version = from.itemVersion();
  const bool wasCurrent = item.contentsCurrent();
  bool changed = false;
  auto set = [&changed](auto& field, auto value) {
    if (field != value) {
      field = std::move(value);
      changed = true;
    }
  };
  set(item.serverName, from.filename());
  set(item.contentVersion, version.contentVersion);
  set(item.metadataVersion, version.metadataVersion);
  set(item.capabilities, from.capabilities());
  set(item.flags, from.fileSystemFlags());
  if (item.kind != ItemKind::root) set(item.kind, kindOf(from));
  // A real size learnt by fetching stands for as long as the contents are current.
  if (!item.contentsCurrent()) {
    set(item.size, from.documentSize().value_or(0));
  } else if (!wasCurrent) {
    // Current again (the server came back to the version the cached file holds): its size.
    struct stat cached {};
    const bool known = ::stat(contentsPath(*item.contentFile).c_str(), &cached) == 0;
    set(item.size,
        known ? static_cast<std::int64_t>(cached.st_size) : from.documentSize().value_or(0));
  }
  return changed;
}

std::optional<std::uint64_t> Replica::idOf(const ItemIdentifier& identifier) const {
  const auto it = byIdentifier_.find(identifier);
  if (it == byIdentifier_.end()) return std::nullopt;
  return it->second;
}

void Replica::move(Node& node, std::uint64_t newParent, std::vector<std::uint64_t>& touched) {
  if (node.item.parent == newParent) return;
  auto& oldParent = nodes_.at(node.item.parent);
  const auto entry = oldParent.children.find(node.item.shownName);
  if (entry != oldParent.children.end() && entry->second == node.item.id) {
    oldParent.children.erase(entry);
  }
  touched.push_back(node.item.parent);
  node.item.parent = newParent;
  // A provisional name, unique among the new siblings, until they are named again.
  node.item.shownName = "\x01" + std::to_string(node.item.id);
  nodes_.at(newParent).children.emplace(node.item.shownName, node.item.id);
  touched.push_back(newParent);
}

void Replica::removeTree(std::uint64_t id, Invalidations& out) {
  auto found = nodes_.find(id);
  if (found == nodes_.end() || id == kRootId) return;
  Node& node = found->second;
  std::vector<std::uint64_t> children;
  for (const auto& [name, child] : node.children) children.push_back(child);
  for (const auto child : children) removeTree(child, out);
  node.children.clear();

  if (!node.detached) {
    auto& parent = nodes_.at(node.item.parent);
    const auto entry = parent.children.find(node.item.shownName);
    if (entry != parent.children.end() && entry->second == id) parent.children.erase(entry);
    out.entries.emplace_back(node.item.parent, node.item.shownName);
  }
  out.inodes.push_back(id);
  if (node.item.contentFile) {
    // An open descriptor keeps reading what it opened.
    ::unlink(contentsPath(*node.item.contentFile).c_str());
  }
  db_->prepare("DELETE FROM items WHERE id = ?1").bind(1, static_cast<std::int64_t>(id)).run();
  edited_.erase(id);  // its row went with the item's
  if (node.item.identifier) byIdentifier_.erase(*node.item.identifier);
  if (node.lookups > 0) {
    node.detached = true;
    node.item.contentFile.reset();
  } else {
    nodes_.erase(found);
  }
}

void Replica::renameSiblings(std::uint64_t parentId, Invalidations& out) {
  auto found = nodes_.find(parentId);
  if (found == nodes_.end() || found->second.detached) return;
  Node& parent = found->second;
  std::vector<std::uint64_t> ids;
  std::vector<NamedSibling> siblings;
  ids.reserve(parent.children.size());
  siblings.reserve(parent.children.size());
  for (const auto& [name, id] : parent.children) {
    const Node& child = nodes_.at(id);
    ids.push_back(id);
    siblings.push_back({child.item.identifier, child.item.serverName});
  }
  std::vector<std::string> names = shownNames(siblings);
  // Only the siblings whose name changes are touched: all of them out of the map first, so
  // that two may swap names.
  std::vector<std::size_t> renamed;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Node& child = nodes_.at(ids[i]);
    if (child.item.shownName == names[i]) continue;
    renamed.push_back(i);
    parent.children.erase(child.item.shownName);
  }
  for (const std::size_t i : renamed) {
    Node& child = nodes_.at(ids[i]);
    if (child.item.shownName.front() != '\x01') {
      out.entries.emplace_back(parentId, child.item.shownName);
    }
    child.item.shownName = std::move(names[i]);
    save(child);
    parent.children.emplace(child.item.shownName, ids[i]);
  }
}

std::filesystem::path Replica::contentsPath(std::int64_t contentFile) const {
  return contents_ / std::to_string(contentFile);
}

std::optional<ReplicaItem> Replica::item(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end()) return std::nullopt;
  return found->second.item;
}

std::optional<ReplicaItem> Replica::itemWithIdentifier(std::string_view identifier) const {
  std::lock_guard lock(mutex_);
  const auto id = idOf(std::string(identifier));
  if (!id) return std::nullopt;
  return nodes_.at(*id).item;
}

std::optional<ReplicaItem> Replica::child(std::uint64_t parent, std::string_view shownName) const {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(parent);
  if (found == nodes_.end()) return std::nullopt;
  const auto entry = found->second.children.find(shownName);
  if (entry == found->second.children.end()) return std::nullopt;
  return nodes_.at(entry->second).item;
}

std::vector<ReplicaItem> Replica::children(std::uint64_t parent) const {
  std::lock_guard lock(mutex_);
  std::vector<ReplicaItem> items;
  const auto found = nodes_.find(parent);
  if (found == nodes_.end()) return items;
  items.reserve(found->second.children.size());
  for (const auto& [name, id] : found->second.children) items.push_back(nodes_.at(id).item);
  return items;
}

std::vector<ItemIdentifier> Replica::listedContainers() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::uint64_t, ItemIdentifier>> listed;
  for (const auto& [id, node] : nodes_) {
    if (node.item.childrenListed && !node.detached && node.item.identifier) {
      listed.emplace_back(id, *node.item.identifier);
    }
  }
  // Parents were listed before their children: keep that order.
  std::sort(listed.begin(), listed.end());
  std::vector<ItemIdentifier> identifiers;
  for (auto& [id, identifier] : listed) identifiers.push_back(std::move(identifier));
  return identifiers;
}

std::optional<std::filesystem::path> Replica::relativePath(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  std::vector<const std::string*> names;
  for (std::uint64_t at = id; at != kRootId;) {
    const auto found = nodes_.find(at);
    if (found == nodes_.end() || found->second.detached) return std::nullopt;
    names.push_back(&found->second.item.shownName);
    at = found->second.item.parent;
    if (names.size() > nodes_.size()) return std::nullopt;
  }
  std::filesystem::path path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) path /= **name;
  return path;
}

std::size_t Replica::itemCount() const {
  std::lock_guard lock(mutex_);
  return byIdentifier_.size();
}

std::string Replica::stateValue(std::string_view key) const {
  auto statement = db_->prepare("SELECT value FROM state WHERE key = ?1");
  statement.bind(1, key);
  return statement.step() ? statement.text(0) : std::string();
}

void Replica::setStateValue(std::string_view key, std::string_view value) {
  db_->prepare(
         "INSERT INTO state(key, value) VALUES (?1, ?2) "
         "ON CONFLICT(key) DO UPDATE SET value = ?2")
      .bind(1, key)
      .bind(2, value)
      .run();
}

std::optional<SyncAnchor> Replica::anchor() const {
  std::lock_guard lock(mutex_);
  std::string value = stateValue("anchor");
  if (value.empty()) return std::nullopt;
  return value;
}

void Replica::setAnchor(const SyncAnchor& anchor) {
  std::lock_guard lock(mutex_);
  setStateValue("anchor", anchor);
}

void Replica::storeListed(std::uint64_t container, const FileProviderItem& entry, Listing& listing,
                          Invalidations& out) {
  const ItemIdentifier identifier = entry.itemIdentifier();
  if (identifier == NSFileProviderRootContainerItemIdentifier) return;
  if (const auto id = idOf(identifier)) {
    if (*id == container || listing.listed.contains(*id)) return;
    listing.named = false;
    Node& node = nodes_.at(*id);
    const bool moved = node.item.parent != container;
    if (moved) leaveName(node.item, out);
    move(node, container, listing.touched);
    const bool changed = update(node, entry);
    // The row is written only when something changed: listing an unchanged folder again
    // writes nothing.
    if (changed) out.inodes.push_back(node.item.id);
    if (changed || moved) save(node);
    listing.listed.insert(node.item.id);
    return;
  }
  // New here: the kernel cannot know it yet, and its row is written once, under the name
  // it keeps unless a sibling shares it (siblings are named again at the end).
  Node fresh{{}, {}, 0, false};
  fresh.item.identifier = identifier;
  fresh.item.parent = container;
  fresh.item.kind = kindOf(entry);
  update(fresh, entry);
  auto& siblings = nodes_.at(container).children;
  std::string name = escapeName(fresh.item.serverName);
  if (siblings.contains(name)) {
    fresh.item.shownName = "\x01" + identifier;
    listing.named = false;
  } else {
    fresh.item.shownName = std::move(name);
  }
  const Node& node = insert(std::move(fresh.item));
  nodes_.at(container).children.emplace(node.item.shownName, node.item.id);
  listing.listed.insert(node.item.id);
}

Invalidations Replica::applyListing(std::uint64_t container, const std::vector<ItemPtr>& items) {
  Listing listing;
  listing.started = listing.whole = true;
  listing.held = items;
  return endListing(container, listing);
}

Invalidations Replica::addToListing(std::uint64_t container, std::vector<ItemPtr> items,
                                    Listing& listing) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(container);
  if (found == nodes_.end() || found->second.detached) return out;
  if (!listing.started) {
    listing.started = true;
    listing.whole = found->second.item.childrenListed;
  }
  if (listing.whole) {
    if (listing.held.empty()) {
      listing.held = std::move(items);
    } else {
      listing.held.insert(listing.held.end(), std::make_move_iterator(items.begin()),
                          std::make_move_iterator(items.end()));
    }
    return out;
  }
  // No reserve() here: one per part would rehash the whole tree each time.
  SqliteTransaction transaction(*db_);
  for (const ItemPtr& entry : items) {
    if (entry) storeListed(container, *entry, listing, out);
  }
  transaction.commit();
  return out;
}

Invalidations Replica::endListing(std::uint64_t container, Listing& listing) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(container);
  if (found == nodes_.end() || found->second.detached) return out;
  SqliteTransaction transaction(*db_);
  nodes_.reserve(nodes_.size() + listing.held.size());
  byIdentifier_.reserve(byIdentifier_.size() + listing.held.size());
  listing.listed.reserve(listing.listed.size() + listing.held.size());
  for (const ItemPtr& entry : listing.held) {
    if (entry) storeListed(container, *entry, listing, out);
  }
  listing.held.clear();
  // What the server no longer lists is gone (items not yet on the server stay).
  std::vector<std::uint64_t> gone;
  for (const auto& [name, id] : nodes_.at(container).children) {
    if (!listing.listed.contains(id) && nodes_.at(id).item.identifier) gone.push_back(id);
  }
  for (const auto id : gone) removeTree(id, out);
  // A folder listed for the first time, whose items all came new under names of their own,
  // is named already (the common case, which spares a pass over every sibling).
  if (!listing.named || !gone.empty()) listing.touched.push_back(container);
  std::sort(listing.touched.begin(), listing.touched.end());
  listing.touched.erase(std::unique(listing.touched.begin(), listing.touched.end()),
                        listing.touched.end());
  for (const auto id : listing.touched) renameSiblings(id, out);
  Node& node = nodes_.at(container);
  if (!node.item.childrenListed) {
    node.item.childrenListed = true;
    save(node);
  }
  transaction.commit();
  return out;
}

Invalidations Replica::applyChanges(const std::vector<ReplicaChange>& changes,
                                    const SyncAnchor& anchor) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  SqliteTransaction transaction(*db_);
  std::vector<std::uint64_t> touched;
  for (const ReplicaChange& change : changes) {
    if (change.deleted) {
      if (const auto id = idOf(*change.deleted)) {
        touched.push_back(nodes_.at(*id).item.parent);
        removeTree(*id, out);
      }
      continue;
    }
    if (!change.updated) continue;
    const FileProviderItem& entry = *change.updated;
    const ItemIdentifier identifier = entry.itemIdentifier();
    if (identifier == NSFileProviderRootContainerItemIdentifier) continue;
    const auto parentId = idOf(entry.parentItemIdentifier());
    const bool parentListed = parentId && nodes_.at(*parentId).item.childrenListed;
    const auto id = idOf(identifier);
    // Moved out of sight, into a folder never listed: it is listed again when that folder
    // is opened. One a listing of that folder under way has stored there already follows the
    // change, since that listing will not report it again.
    const bool stored = id && parentId && nodes_.at(*id).item.parent == *parentId;
    if (!parentListed && !stored) {
      if (id) {
        touched.push_back(nodes_.at(*id).item.parent);
        removeTree(*id, out);
      }
      continue;
    }
    Node* node = nullptr;
    if (id) {
      node = &nodes_.at(*id);
      // A folder cannot move into itself or below itself.
      bool cycle = false;
      for (std::uint64_t at = *parentId; at != kRootId; at = nodes_.at(at).item.parent) {
        if (at == *id) {
          cycle = true;
          break;
        }
      }
      if (cycle) continue;
      if (node->item.parent != *parentId) leaveName(node->item, out);
      move(*node, *parentId, touched);
    } else {
      ReplicaItem fresh;
      fresh.identifier = identifier;
      fresh.parent = *parentId;
      fresh.kind = kindOf(entry);
      node = &insert(std::move(fresh));
      node->item.shownName = "\x01" + std::to_string(node->item.id);
      nodes_.at(*parentId).children.emplace(node->item.shownName, node->item.id);
      touched.push_back(*parentId);
    }
    const std::string oldName = node->item.serverName;
    if (update(*node, entry)) out.inodes.push_back(node->item.id);
    if (node->item.serverName != oldName) touched.push_back(node->item.parent);
    save(*node);
  }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const auto id : touched) renameSiblings(id, out);
  setStateValue("anchor", anchor);
  transaction.commit();
  return out;
}

Invalidations Replica::storeContents(std::uint64_t id, const std::filesystem::path& fetched,
                                     const ItemPtr& item) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) {
    ::unlink(fetched.c_str());
    fail(ENOENT, "the item was removed while its contents were fetched");
  }
  if (edited_.contains(id)) {
    // A local edit is the file's contents until it is handed over.
    ::unlink(fetched.c_str());
    return out;
  }
  Node& node = found->second;
  SqliteTransaction transaction(*db_);
  const std::string next = stateValue("next_content");
  const std::int64_t number = next.empty() ? 1 : std::stoll(next);
  setStateValue("next_content", std::to_string(number + 1));
  const auto target = contentsPath(number);
  if (::rename(fetched.c_str(), target.c_str()) != 0) {
    if (errno != EXDEV) {
      const int error = errno;
      ::unlink(fetched.c_str());
      fail(error, "cannot move " + fetched.string() + " into the cache");
    }
    try {
      copyFile(fetched, target);
    } catch (...) {
      ::unlink(fetched.c_str());
      throw;
    }
    ::unlink(fetched.c_str());
  }
  ::chmod(target.c_str(), 0600);
  struct stat status {};
  if (::stat(target.c_str(), &status) != 0) fail(errno, "cannot inspect " + target.string());

  const std::optional<std::int64_t> previous = node.item.contentFile;
  if (item) {
    const ItemVersion version = item->itemVersion();
    node.item.contentVersion = version.contentVersion;
    node.item.metadataVersion = version.metadataVersion;
  }
  node.item.contentFile = number;
  node.item.cachedVersion = node.item.contentVersion;
  node.item.size = status.st_size;
  save(node);
  transaction.commit();
  if (previous) ::unlink(contentsPath(*previous).c_str());
  out.inodes.push_back(id);
  return out;
}

void Replica::touch(std::uint64_t id, std::int64_t now) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) return;
  found->second.item.lastUsed = now;
  db_->prepare("UPDATE items SET last_used = ?2 WHERE id = ?1")
      .bind(1, static_cast<std::int64_t>(id))
      .bind(2, now)
      .run();
}

void Replica::remember(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found != nodes_.end()) ++found->second.lookups;
}

void Replica::forget(std::uint64_t id, std::uint64_t count) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end()) return;
  Node& node = found->second;
  node.lookups = count >= node.lookups ? 0 : node.lookups - count;
  if (node.lookups == 0 && node.detached) nodes_.erase(found);
}

}  // namespace folium::platform::drive

namespace folium::platform::drive {

// --- Local changes -----------------------------------------------------------------------

std::int64_t Replica::takeContentNumber() {
  const std::string next = stateValue("next_content");
  const std::int64_t number = next.empty() ? 1 : std::stoll(next);
  setStateValue("next_content", std::to_string(number + 1));
  return number;
}

namespace {

void makeEmptyFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) fail(errno, "cannot create " + path.string());
  ::close(fd);
}

std::int64_t fileSize(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

}  // namespace

std::pair<ReplicaItem, Invalidations> Replica::createLocal(std::uint64_t parent,
                                                           const std::string& serverName) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(parent);
  if (found == nodes_.end() || found->second.detached) fail(ENOENT, "the folder is gone");
  SqliteTransaction transaction(*db_);
  const std::int64_t number = takeContentNumber();
  makeEmptyFile(contentsPath(number));
  ReplicaItem fresh;
  fresh.parent = parent;
  fresh.kind = ItemKind::document;
  fresh.serverName = serverName;
  fresh.shownName = "\x01new";
  Node& node = insert(std::move(fresh));
  node.item.shownName = "\x01" + std::to_string(node.item.id);
  node.item.capabilities = ItemCapability::allowsReading | ItemCapability::allowsWriting |
                           ItemCapability::allowsReparenting | ItemCapability::allowsRenaming |
                           ItemCapability::allowsDeleting;
  node.item.flags = FileSystemFlag::userReadable | FileSystemFlag::userWritable;
  node.item.contentFile = number;
  nodes_.at(parent).children.emplace(node.item.shownName, node.item.id);
  renameSiblings(parent, out);
  save(node);
  transaction.commit();
  return {node.item, out};
}

std::filesystem::path Replica::freshContents(std::uint64_t id, bool empty) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) fail(ENOENT, "the file is gone");
  Node& node = found->second;
  SqliteTransaction transaction(*db_);
  const std::int64_t number = takeContentNumber();
  const auto target = contentsPath(number);
  const std::optional<std::int64_t> previous = node.item.contentFile;
  if (empty || !previous) {
    makeEmptyFile(target);
    node.item.cachedVersion = node.item.contentVersion;
    if (const auto mark = edited_.find(id); mark != edited_.end()) {
      // The edit starts from nothing: it is based on the server's current version.
      db_->prepare("UPDATE unsent_edits SET base_version = ?2 WHERE item_id = ?1")
          .bind(1, static_cast<std::int64_t>(id))
          .bind(2, node.item.cachedVersion)
          .run();
      mark->second = node.item.cachedVersion;
    }
  } else {
    copyFile(contentsPath(*previous), target);
  }
  node.item.contentFile = number;
  node.item.size = fileSize(target);
  save(node);
  transaction.commit();
  // Open descriptors and the upload queue keep what they hold of the previous file.
  if (previous) ::unlink(contentsPath(*previous).c_str());
  return target;
}

void Replica::setSize(std::uint64_t id, std::int64_t size) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(id);
  if (found == nodes_.end()) return;
  found->second.item.size = size;
  if (!found->second.detached) save(found->second);
}

std::optional<std::int64_t> Replica::handOverContents(Node& from, Node& to) {
  const std::optional<std::int64_t> previous = to.item.contentFile;
  to.item.contentFile = from.item.contentFile;
  to.item.size = from.item.size;
  from.item.contentFile.reset();
  return previous;
}

Invalidations Replica::replaceContents(std::uint64_t target, std::uint64_t source) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  Node& to = nodes_.at(target);
  Node& from = nodes_.at(source);
  SqliteTransaction transaction(*db_);
  const std::optional<std::int64_t> previous = handOverContents(from, to);
  to.item.cachedVersion = to.item.contentVersion;
  save(to);
  save(from);
  const std::uint64_t parent = from.item.parent;
  removeTree(source, out);
  renameSiblings(parent, out);
  transaction.commit();
  if (previous && previous != to.item.contentFile) ::unlink(contentsPath(*previous).c_str());
  out.inodes.push_back(target);
  return out;
}

Invalidations Replica::moveLocal(std::uint64_t id, std::uint64_t newParent,
                                 const std::string& serverName) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  Node& node = nodes_.at(id);
  SqliteTransaction transaction(*db_);
  out.entries.emplace_back(node.item.parent, node.item.shownName);
  std::vector<std::uint64_t> touched{node.item.parent};
  move(node, newParent, touched);
  node.item.serverName = serverName;
  // Renamed siblings go back to their own names, and this one takes its new name.
  node.item.shownName = "\x01" + std::to_string(id);
  auto& siblings = nodes_.at(newParent).children;
  for (auto entry = siblings.begin(); entry != siblings.end(); ++entry) {
    if (entry->second == id) {
      siblings.erase(entry);
      break;
    }
  }
  siblings.emplace(node.item.shownName, id);
  touched.push_back(newParent);
  save(node);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const auto parent : touched) renameSiblings(parent, out);
  transaction.commit();
  out.inodes.push_back(id);
  return out;
}

Invalidations Replica::remove(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) return out;
  const std::uint64_t parent = found->second.item.parent;
  SqliteTransaction transaction(*db_);
  removeTree(id, out);
  renameSiblings(parent, out);
  transaction.commit();
  return out;
}

std::pair<std::optional<std::uint64_t>, Invalidations> Replica::applyItem(const ItemPtr& entry,
                                                                          bool sameContents) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto parentId = idOf(entry->parentItemIdentifier());
  if (!parentId || nodes_.at(*parentId).detached) return {std::nullopt, out};
  SqliteTransaction transaction(*db_);
  std::vector<std::uint64_t> touched{*parentId};
  Node* node = nullptr;
  if (const auto id = idOf(entry->itemIdentifier())) {
    node = &nodes_.at(*id);
    move(*node, *parentId, touched);
  } else {
    ReplicaItem fresh;
    fresh.identifier = entry->itemIdentifier();
    fresh.parent = *parentId;
    fresh.kind = kindOf(*entry);
    node = &insert(std::move(fresh));
    node->item.shownName = "\x01" + std::to_string(node->item.id);
    // Just made on the server: nothing in it yet.
    node->item.childrenListed = node->item.isContainer();
    nodes_.at(*parentId).children.emplace(node->item.shownName, node->item.id);
  }
  const bool wasCurrent = node->item.contentsCurrent();
  const std::int64_t size = node->item.size;
  update(*node, *entry);
  if (sameContents && wasCurrent) {
    // A rename changes the version, not the contents.
    node->item.cachedVersion = node->item.contentVersion;
    node->item.size = size;
  }
  save(*node);
  const std::uint64_t id = node->item.id;
  for (const auto parent : touched) renameSiblings(parent, out);
  transaction.commit();
  out.inodes.push_back(id);
  return {id, out};
}

Invalidations Replica::adoptUpload(std::uint64_t id, const ItemPtr& serverItem,
                                   bool contentsAreServers) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) return out;
  const ItemIdentifier identifier = serverItem->itemIdentifier();
  if (found->second.item.identifier && *found->second.item.identifier != identifier) {
    return out;  // another document (a conflict copy): the change feed brings it
  }
  SqliteTransaction transaction(*db_);
  std::vector<std::uint64_t> touched{found->second.item.parent};
  if (const auto other = idOf(identifier); other && *other != id) {
    // The change feed told of the new document before its upload ended: one item.
    touched.push_back(nodes_.at(*other).item.parent);
    removeTree(*other, out);
  }
  Node& node = nodes_.at(id);
  node.item.identifier = identifier;
  byIdentifier_[identifier] = id;
  const ItemVersion version = serverItem->itemVersion();
  node.item.contentVersion = version.contentVersion;
  node.item.metadataVersion = version.metadataVersion;
  node.item.capabilities = serverItem->capabilities();
  node.item.flags = serverItem->fileSystemFlags();
  if (contentsAreServers && node.item.contentFile) {
    node.item.cachedVersion = node.item.contentVersion;
    node.item.size = fileSize(contentsPath(*node.item.contentFile));
  }
  save(node);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const auto parent : touched) renameSiblings(parent, out);
  transaction.commit();
  out.inodes.push_back(id);
  return out;
}

Invalidations Replica::setAside(std::uint64_t document, std::uint64_t backup) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  Node& from = nodes_.at(document);
  Node& to = nodes_.at(backup);
  SqliteTransaction transaction(*db_);
  const std::optional<std::int64_t> previous = handOverContents(from, to);
  from.item.cachedVersion.clear();
  save(to);
  save(from);
  auto& siblings = nodes_.at(from.item.parent).children;
  const auto entry = siblings.find(from.item.shownName);
  if (entry != siblings.end() && entry->second == document) siblings.erase(entry);
  out.entries.emplace_back(from.item.parent, from.item.shownName);
  transaction.commit();
  if (previous && previous != to.item.contentFile) ::unlink(contentsPath(*previous).c_str());
  out.inodes.push_back(document);
  out.inodes.push_back(backup);
  return out;
}

Invalidations Replica::show(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached) return out;
  Node& node = found->second;
  auto& siblings = nodes_.at(node.item.parent).children;
  for (const auto& [name, sibling] : siblings) {
    if (sibling == id) return out;
  }
  node.item.shownName = "\x01" + std::to_string(id);
  siblings.emplace(node.item.shownName, id);
  SqliteTransaction transaction(*db_);
  renameSiblings(node.item.parent, out);
  transaction.commit();
  out.inodes.push_back(id);
  return out;
}

Invalidations Replica::followServer(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  Invalidations out;
  const auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.detached || edited_.contains(id)) return out;
  found->second.item.cachedVersion.clear();
  save(found->second);
  out.inodes.push_back(id);
  return out;
}

}  // namespace folium::platform::drive
