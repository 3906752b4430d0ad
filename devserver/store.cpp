#include "devserver/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>
#include <utility>

#include "devserver/search_query.hpp"

namespace folium::devserver {

namespace fs = std::filesystem;

namespace {

constexpr int kSchemaVersion = 1;

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS counters(
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS workspaces(
  id INTEGER PRIMARY KEY,
  label TEXT NOT NULL,
  description TEXT,
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS folders(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  parent_id INTEGER,
  workspace_id INTEGER NOT NULL,
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS folders_by_workspace ON folders(workspace_id, id);
CREATE INDEX IF NOT EXISTS folders_by_parent ON folders(parent_id, id);
CREATE TABLE IF NOT EXISTS documents(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  folder_id INTEGER,
  workspace_id INTEGER NOT NULL,
  content_type TEXT NOT NULL,
  size INTEGER NOT NULL,
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS documents_by_workspace ON documents(workspace_id, id);
CREATE INDEX IF NOT EXISTS documents_by_folder ON documents(folder_id, id);
CREATE TABLE IF NOT EXISTS changes(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  entity_type TEXT NOT NULL,
  entity_id INTEGER NOT NULL,
  action TEXT NOT NULL,
  workspace_id INTEGER,
  occurred_at TEXT NOT NULL
);
CREATE VIRTUAL TABLE IF NOT EXISTS search_index USING fts5(
  name, body, kind UNINDEXED,
  tokenize = 'unicode61 remove_diacritics 2'
);
)sql";

constexpr std::string_view kWorkspaceColumns = "id, label, description, created_at, updated_at";
constexpr std::string_view kFolderColumns =
    "id, name, parent_id, workspace_id, created_at, updated_at";
constexpr std::string_view kDocumentColumns =
    "id, name, folder_id, workspace_id, content_type, size, created_at, updated_at";

// The kind of entity each search index row stands for, as stored in existing data folders
// and as reported in hits. A folder hit is a "Folder": its type names neither a file nor a
// document, so a client draws it as a folder. (The change feed says "DocumentsFolder", which
// classifies as a folder all the same.)
constexpr std::string_view kSearchWorkspace = "Workspace";
constexpr std::string_view kSearchFolder = "Folder";
constexpr std::string_view kSearchDocument = "Document";

std::string entityTypeOfKind(std::string_view kind) {
  if (kind == kSearchFolder || kind == kSearchWorkspace) return std::string(kind);
  return std::string(kSearchDocument);
}

WorkspaceRow readWorkspace(const SqliteStatement& s) {
  return WorkspaceRow{s.int64(0), s.text(1), s.optionalText(2), s.text(3), s.text(4)};
}

FolderRow readFolder(const SqliteStatement& s) {
  return FolderRow{s.int64(0), s.text(1), s.optionalInt64(2), s.int64(3), s.text(4), s.text(5)};
}

DocumentRow readDocument(const SqliteStatement& s) {
  return DocumentRow{s.int64(0), s.text(1),  s.optionalInt64(2), s.int64(3),
                     s.text(4),  s.int64(5), s.text(6),          s.text(7)};
}

std::string select(std::string_view columns, std::string_view table, std::string_view rest) {
  std::string sql = "SELECT ";
  sql += columns;
  sql += " FROM ";
  sql += table;
  sql += ' ';
  sql += rest;
  return sql;
}

// "2026-12-06T20:31:07.123456Z"
std::string formatStamp(std::int64_t micros) {
  std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long long>(micros % 1000000));
  return buffer;
}

void makePrivateDir(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + dir.string());
  }
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    throw std::runtime_error(dir.string() + " exists and is not a folder");
  }
  if (::access(dir.c_str(), R_OK | W_OK | X_OK) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot use " + dir.string());
  }
  // A folder made by hand may be open to others; it holds every user's documents.
  struct stat status {};
  if (::stat(dir.c_str(), &status) == 0 && (status.st_mode & 0777) != 0700 &&
      ::chmod(dir.c_str(), 0700) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot make " + dir.string() + " private");
  }
}

const fs::path& prepared(const fs::path& dataDir) {
  makePrivateDir(dataDir);
  makePrivateDir(dataDir / "blobs");
  makePrivateDir(dataDir / "tmp");
  // SQLite gives its journal files the database file's mode; creating that file first makes
  // them all private.
  int fd = ::open((dataDir / "folium.sqlite3").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot open " + (dataDir / "folium.sqlite3").string());
  }
  ::close(fd);
  // Leftovers of uploads cut short by a crash.
  for (const auto& entry : fs::directory_iterator(dataDir / "tmp")) {
    std::error_code ec;
    fs::remove(entry.path(), ec);
  }
  return dataDir;
}

void removeBlob(const fs::path& path) {
  // A blob that cannot be removed only wastes space; the record is gone either way.
  ::unlink(path.c_str());
}

}  // namespace

Store::Store(const fs::path& dataDir)
    : dataDir_(dataDir),
      blobDir_(dataDir / "blobs"),
      tempDir_(dataDir / "tmp"),
      db_(prepared(dataDir) / "folium.sqlite3") {
  db_.exec("PRAGMA journal_mode = WAL");
  db_.exec("PRAGMA synchronous = NORMAL");
  auto version = db_.prepare("PRAGMA user_version");
  version.step();
  if (version.int64(0) > kSchemaVersion) {
    throw std::runtime_error("the database in " + dataDir.string() +
                             " was written by a newer server (schema " +
                             std::to_string(version.int64(0)) + ")");
  }
  db_.exec(kSchema);
  db_.exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
  auto counters = db_.prepare("SELECT name, value FROM counters");
  while (counters.step()) {
    if (counters.text(0) == "last_id") lastId_ = counters.int64(1);
    if (counters.text(0) == "last_stamp") lastStampMicros_ = counters.int64(1);
  }
}

bool Store::isEmpty() {
  std::lock_guard lock(mutex_);
  auto s = db_.prepare(
      "SELECT NOT EXISTS(SELECT 1 FROM workspaces) AND NOT EXISTS(SELECT 1 FROM changes)");
  s.step();
  return s.int64(0) != 0;
}

EntityId Store::nextId() { return ++lastId_; }

std::string Store::nextStamp() {
  using namespace std::chrono;
  std::int64_t now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  // Strictly increasing, even within one microsecond or when the clock steps back, so every
  // change gives its entity a new "updated_at".
  lastStampMicros_ = std::max(now, lastStampMicros_ + 1);
  return formatStamp(lastStampMicros_);
}

void Store::saveCounters() {
  auto s = db_.prepare(
      "INSERT INTO counters(name, value) VALUES ('last_id', ?1), ('last_stamp', ?2) "
      "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  s.bind(1, lastId_).bind(2, lastStampMicros_).run();
}

void Store::appendChange(std::string_view entityType, EntityId entityId, std::string_view action,
                         std::optional<EntityId> workspaceId, const std::string& at) {
  if (!appendChange_) {
    appendChange_ = std::make_unique<SqliteStatement>(db_.prepare(
        "INSERT INTO changes(entity_type, entity_id, action, workspace_id, occurred_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5)"));
  }
  SqliteStatement& s = *appendChange_;
  s.reset();
  s.bind(1, entityType).bind(2, entityId).bind(3, action).bind(4, workspaceId).bind(5, at).run();
}

fs::path Store::blobPath(EntityId id) const { return blobDir_ / std::to_string(id); }

std::optional<WorkspaceRow> Store::findWorkspaceLocked(EntityId id) {
  auto s = db_.prepare(select(kWorkspaceColumns, "workspaces", "WHERE id = ?1"));
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readWorkspace(s);
}

std::optional<FolderRow> Store::findFolderLocked(EntityId id) {
  auto s = db_.prepare(select(kFolderColumns, "folders", "WHERE id = ?1"));
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readFolder(s);
}

std::optional<DocumentRow> Store::findDocumentLocked(EntityId id) {
  auto s = db_.prepare(select(kDocumentColumns, "documents", "WHERE id = ?1"));
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readDocument(s);
}

FolderRow Store::requireFolder(EntityId id) {
  auto row = findFolderLocked(id);
  if (!row) {
    throw StoreError(StoreError::Kind::notFound, "no folder with id " + std::to_string(id));
  }
  return *row;
}

DocumentRow Store::requireDocument(EntityId id) {
  auto row = findDocumentLocked(id);
  if (!row) {
    throw StoreError(StoreError::Kind::notFound, "no document with id " + std::to_string(id));
  }
  return *row;
}

void Store::checkParent(EntityId workspaceId, std::optional<EntityId> parent) {
  if (!parent) return;
  auto folder = findFolderLocked(*parent);
  if (!folder) {
    throw StoreError(StoreError::Kind::unprocessable,
                     "no folder with id " + std::to_string(*parent));
  }
  if (folder->workspaceId != workspaceId) {
    throw StoreError(StoreError::Kind::unprocessable,
                     "folder " + std::to_string(*parent) + " belongs to another workspace");
  }
}

WorkspaceRow Store::createWorkspace(const std::string& label,
                                    const std::optional<std::string>& description) {
  std::lock_guard lock(mutex_);
  SqliteTransaction tx(db_);
  WorkspaceRow row{nextId(), label, description, nextStamp(), {}};
  row.updatedAt = row.createdAt;
  auto s = db_.prepare(
      "INSERT INTO workspaces(id, label, description, created_at, updated_at) "
      "VALUES (?1, ?2, ?3, ?4, ?5)");
  s.bind(1, row.id).bind(2, row.label).bind(3, row.description).bind(4, row.createdAt);
  s.bind(5, row.updatedAt).run();
  auto index =
      db_.prepare("INSERT INTO search_index(rowid, name, body, kind) VALUES (?1, ?2, ?3, ?4)");
  index.bind(1, row.id).bind(2, row.label).bind(3, description.value_or(""));
  index.bind(4, kSearchWorkspace).run();
  appendChange(kWorkspaceEntity, row.id, "created", row.id, row.createdAt);
  saveCounters();
  tx.commit();
  return row;
}

std::optional<WorkspaceRow> Store::findWorkspace(EntityId id) {
  std::lock_guard lock(mutex_);
  return findWorkspaceLocked(id);
}

Page<WorkspaceRow> Store::listWorkspaces(std::int64_t offset, std::int64_t limit) {
  std::lock_guard lock(mutex_);
  // One row more than asked tells whether another page follows.
  auto s = db_.prepare(select(kWorkspaceColumns, "workspaces", "ORDER BY id LIMIT ?1 OFFSET ?2"));
  s.bind(1, limit + 1).bind(2, offset);
  Page<WorkspaceRow> page;
  while (s.step()) page.rows.push_back(readWorkspace(s));
  if (static_cast<std::int64_t>(page.rows.size()) > limit) {
    page.rows.pop_back();
    page.hasMore = true;
  }
  return page;
}

FolderRow Store::createFolder(EntityId workspaceId, std::optional<EntityId> parentId,
                              const std::string& name) {
  std::lock_guard lock(mutex_);
  if (!findWorkspaceLocked(workspaceId)) {
    throw StoreError(StoreError::Kind::unprocessable,
                     "no workspace with id " + std::to_string(workspaceId));
  }
  checkParent(workspaceId, parentId);
  SqliteTransaction tx(db_);
  FolderRow row{nextId(), name, parentId, workspaceId, nextStamp(), {}};
  row.updatedAt = row.createdAt;
  auto s = db_.prepare(
      "INSERT INTO folders(id, name, parent_id, workspace_id, created_at, updated_at) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  s.bind(1, row.id).bind(2, row.name).bind(3, row.parentId).bind(4, row.workspaceId);
  s.bind(5, row.createdAt).bind(6, row.updatedAt).run();
  auto index =
      db_.prepare("INSERT INTO search_index(rowid, name, body, kind) VALUES (?1, ?2, '', ?3)");
  index.bind(1, row.id).bind(2, row.name).bind(3, kSearchFolder).run();
  appendChange(kFolderEntity, row.id, "created", workspaceId, row.createdAt);
  saveCounters();
  tx.commit();
  return row;
}

std::optional<FolderRow> Store::findFolder(EntityId id) {
  std::lock_guard lock(mutex_);
  return findFolderLocked(id);
}

namespace {

// The WHERE clause for a listing; each combination has its own index.
std::string filterClause(const ListFilter& filter, std::string_view folderColumn) {
  std::string clause;
  if (filter.workspaceId) clause = "WHERE workspace_id = ?3";
  if (filter.folderId) {
    clause += clause.empty() ? "WHERE " : " AND ";
    clause += folderColumn;
    clause += " = ?4";
  }
  return clause;
}

template <typename Row, typename Reader>
Page<Row> readPage(SqliteStatement& s, std::int64_t limit, Reader reader) {
  Page<Row> page;
  page.rows.reserve(static_cast<size_t>(std::min<std::int64_t>(limit, 1000)));
  while (s.step()) page.rows.push_back(reader(s));
  if (static_cast<std::int64_t>(page.rows.size()) > limit) {
    page.rows.pop_back();
    page.hasMore = true;
  }
  return page;
}

}  // namespace

template <typename Row, typename Reader>
Page<Row> Store::listFiltered(const ListFilter& filter, std::int64_t offset, std::int64_t limit,
                              std::string_view columns, std::string_view table,
                              std::string_view folderColumn, Reader reader) {
  std::lock_guard lock(mutex_);
  if (filter.workspaceId && !findWorkspaceLocked(*filter.workspaceId)) {
    throw StoreError(StoreError::Kind::notFound,
                     "no workspace with id " + std::to_string(*filter.workspaceId));
  }
  if (filter.folderId) requireFolder(*filter.folderId);
  auto s = db_.prepare(select(columns, table,
                              filterClause(filter, folderColumn) + " ORDER BY id LIMIT ?1 OFFSET ?2"));
  s.bind(1, limit + 1).bind(2, offset);
  if (filter.workspaceId) s.bind(3, *filter.workspaceId);
  if (filter.folderId) s.bind(4, *filter.folderId);
  return readPage<Row>(s, limit, reader);
}

Page<FolderRow> Store::listFolders(const ListFilter& filter, std::int64_t offset,
                                   std::int64_t limit) {
  return listFiltered<FolderRow>(filter, offset, limit, kFolderColumns, "folders", "parent_id",
                                 readFolder);
}

std::string Store::saveNameAndParent(std::string_view table, std::string_view parentColumn,
                                     std::string_view entityType, EntityId id,
                                     const std::string& name, std::optional<EntityId> parent,
                                     EntityId workspaceId, bool moved) {
  SqliteTransaction tx(db_);
  const std::string updatedAt = nextStamp();
  auto s = db_.prepare("UPDATE " + std::string(table) + " SET name = ?2, " +
                       std::string(parentColumn) + " = ?3, updated_at = ?4 WHERE id = ?1");
  s.bind(1, id).bind(2, name).bind(3, parent).bind(4, updatedAt).run();
  auto index = db_.prepare("UPDATE search_index SET name = ?2 WHERE rowid = ?1");
  index.bind(1, id).bind(2, name).run();
  appendChange(entityType, id, moved ? "moved" : "updated", workspaceId, updatedAt);
  saveCounters();
  tx.commit();
  return updatedAt;
}

FolderRow Store::updateFolder(EntityId id, const std::optional<std::string>& name,
                              const std::optional<std::optional<EntityId>>& parent) {
  std::lock_guard lock(mutex_);
  FolderRow row = requireFolder(id);
  bool renamed = name && *name != row.name;
  bool moved = parent && *parent != row.parentId;
  if (moved && *parent) {
    checkParent(row.workspaceId, *parent);
    // The target must not be the folder itself or lie inside it.
    auto ancestors = db_.prepare(
        "WITH RECURSIVE up(id) AS (SELECT ?1 UNION ALL "
        "SELECT f.parent_id FROM folders f JOIN up ON f.id = up.id WHERE f.parent_id IS NOT NULL) "
        "SELECT 1 FROM up WHERE id = ?2");
    ancestors.bind(1, **parent).bind(2, id);
    if (ancestors.step()) {
      throw StoreError(StoreError::Kind::unprocessable, "cannot move folder " + std::to_string(id) +
                                                            " into itself or a folder it holds");
    }
  }
  if (!renamed && !moved) return row;
  if (renamed) row.name = *name;
  if (moved) row.parentId = *parent;
  row.updatedAt = saveNameAndParent("folders", "parent_id", kFolderEntity, id, row.name,
                                    row.parentId, row.workspaceId, moved);
  return row;
}

void Store::deleteFolder(EntityId id) {
  std::vector<EntityId> documents;
  {
    std::lock_guard lock(mutex_);
    FolderRow row = requireFolder(id);
    SqliteTransaction tx(db_);
    std::vector<EntityId> folders;
    auto sub = db_.prepare(
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
        "SELECT f.id FROM folders f JOIN sub ON f.parent_id = sub.id) "
        "SELECT id FROM sub ORDER BY id");
    sub.bind(1, id);
    while (sub.step()) folders.push_back(sub.int64(0));
    db_.exec("CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY)");
    db_.exec("DELETE FROM temp.doomed");
    auto mark = db_.prepare("INSERT INTO temp.doomed(id) VALUES (?1)");
    for (EntityId folder : folders) {
      mark.bind(1, folder).run();
      mark.reset();
    }
    auto held = db_.prepare(
        "SELECT id FROM documents WHERE folder_id IN (SELECT id FROM temp.doomed) ORDER BY id");
    while (held.step()) documents.push_back(held.int64(0));

    // One record for the folder, then one for everything it held.
    std::string at = nextStamp();
    appendChange(kFolderEntity, id, "deleted", row.workspaceId, at);
    for (EntityId folder : folders) {
      if (folder != id) appendChange(kFolderEntity, folder, "deleted", row.workspaceId, at);
    }
    for (EntityId document : documents) {
      appendChange(kDocumentEntity, document, "deleted", row.workspaceId, at);
    }
    db_.exec(
        "DELETE FROM search_index WHERE rowid IN (SELECT id FROM temp.doomed) OR rowid IN "
        "(SELECT id FROM documents WHERE folder_id IN (SELECT id FROM temp.doomed))");
    db_.exec("DELETE FROM documents WHERE folder_id IN (SELECT id FROM temp.doomed)");
    db_.exec("DELETE FROM folders WHERE id IN (SELECT id FROM temp.doomed)");
    db_.exec("DELETE FROM temp.doomed");
    saveCounters();
    tx.commit();
  }
  for (EntityId document : documents) removeBlob(blobPath(document));
}

DocumentRow Store::createDocument(EntityId workspaceId, std::optional<EntityId> folderId,
                                  const std::string& name, IncomingContent content) {
  std::lock_guard lock(mutex_);
  if (!findWorkspaceLocked(workspaceId)) {
    throw StoreError(StoreError::Kind::unprocessable,
                     "no workspace with id " + std::to_string(workspaceId));
  }
  checkParent(workspaceId, folderId);
  SqliteTransaction tx(db_);
  DocumentRow row{
      nextId(),    name, folderId, workspaceId, content.contentType, content.file.size(),
      nextStamp(), {}};
  row.updatedAt = row.createdAt;
  auto s = db_.prepare(
      "INSERT INTO documents(id, name, folder_id, workspace_id, content_type, size, created_at, "
      "updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  s.bind(1, row.id).bind(2, row.name).bind(3, row.folderId).bind(4, row.workspaceId);
  s.bind(5, row.contentType).bind(6, row.size).bind(7, row.createdAt).bind(8, row.updatedAt);
  s.run();
  auto index =
      db_.prepare("INSERT INTO search_index(rowid, name, body, kind) VALUES (?1, ?2, ?3, ?4)");
  index.bind(1, row.id).bind(2, row.name).bind(3, content.indexText).bind(4, kSearchDocument).run();
  appendChange(kDocumentEntity, row.id, "created", workspaceId, row.createdAt);
  saveCounters();
  content.file.commitTo(blobPath(row.id));
  try {
    tx.commit();
  } catch (...) {
    removeBlob(blobPath(row.id));
    throw;
  }
  return row;
}

DocumentRow Store::replaceContent(EntityId id, IncomingContent content) {
  std::lock_guard lock(mutex_);
  DocumentRow row = requireDocument(id);
  SqliteTransaction tx(db_);
  row.contentType = content.contentType;
  row.size = content.file.size();
  row.updatedAt = nextStamp();
  auto s = db_.prepare(
      "UPDATE documents SET content_type = ?2, size = ?3, updated_at = ?4 WHERE id = ?1");
  s.bind(1, id).bind(2, row.contentType).bind(3, row.size).bind(4, row.updatedAt).run();
  auto index = db_.prepare("UPDATE search_index SET body = ?2 WHERE rowid = ?1");
  index.bind(1, id).bind(2, content.indexText).run();
  appendChange(kDocumentEntity, id, "updated", row.workspaceId, row.updatedAt);
  saveCounters();
  // The rename is the last step that can fail before the commit, so a failure leaves the old
  // contents and the old record together.
  content.file.commitTo(blobPath(id));
  tx.commit();
  return row;
}

std::optional<DocumentRow> Store::findDocument(EntityId id) {
  std::lock_guard lock(mutex_);
  return findDocumentLocked(id);
}

Page<DocumentRow> Store::listDocuments(const ListFilter& filter, std::int64_t offset,
                                       std::int64_t limit) {
  return listFiltered<DocumentRow>(filter, offset, limit, kDocumentColumns, "documents",
                                   "folder_id", readDocument);
}

DocumentRow Store::updateDocument(EntityId id, const std::optional<std::string>& name,
                                  const std::optional<std::optional<EntityId>>& parent) {
  std::lock_guard lock(mutex_);
  DocumentRow row = requireDocument(id);
  bool renamed = name && *name != row.name;
  bool moved = parent && *parent != row.folderId;
  if (moved) checkParent(row.workspaceId, *parent);
  if (!renamed && !moved) return row;
  if (renamed) row.name = *name;
  if (moved) row.folderId = *parent;
  row.updatedAt = saveNameAndParent("documents", "folder_id", kDocumentEntity, id, row.name,
                                    row.folderId, row.workspaceId, moved);
  return row;
}

void Store::deleteDocument(EntityId id) {
  {
    std::lock_guard lock(mutex_);
    DocumentRow row = requireDocument(id);
    SqliteTransaction tx(db_);
    db_.prepare("DELETE FROM documents WHERE id = ?1").bind(1, id).run();
    db_.prepare("DELETE FROM search_index WHERE rowid = ?1").bind(1, id).run();
    appendChange(kDocumentEntity, id, "deleted", row.workspaceId, nextStamp());
    saveCounters();
    tx.commit();
  }
  removeBlob(blobPath(id));
}

std::optional<OpenBlob> Store::openBlob(EntityId id) {
  std::lock_guard lock(mutex_);
  auto row = findDocumentLocked(id);
  if (!row) return std::nullopt;
  int fd = ::open(blobPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot open the contents of document " + std::to_string(id));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "cannot read " + blobPath(id).string());
  }
  return OpenBlob{std::move(*row), fd, static_cast<std::int64_t>(info.st_size)};
}

Page<ChangeRow> Store::changes(std::int64_t cursor, std::int64_t limit) {
  std::lock_guard lock(mutex_);
  auto s = db_.prepare(
      "SELECT id, entity_type, entity_id, action, workspace_id, occurred_at FROM changes "
      "WHERE id > ?1 ORDER BY id LIMIT ?2");
  s.bind(1, cursor).bind(2, limit + 1);
  return readPage<ChangeRow>(s, limit, [](const SqliteStatement& row) {
    return ChangeRow{row.int64(0), row.text(1),          row.int64(2),
                     row.text(3),  row.optionalInt64(4), row.text(5)};
  });
}

SearchResult Store::search(std::string_view query, std::int64_t limit) {
  SearchResult result;
  auto match = ftsMatchExpression(query);
  if (!match) return result;
  std::lock_guard lock(mutex_);
  auto count = db_.prepare("SELECT count(*) FROM search_index WHERE search_index MATCH ?1");
  count.bind(1, *match);
  count.step();
  result.total = count.int64(0);
  // The excerpt comes from the contents (or a workspace's description) around the match,
  // or their beginning when only the name matched.
  auto s = db_.prepare(R"sql(
    SELECT hit.rowid, hit.kind, COALESCE(d.name, f.name, w.label), hit.excerpt,
           COALESCE(d.workspace_id, f.workspace_id, w.id),
           CASE hit.kind WHEN 'Document' THEN d.folder_id WHEN 'Folder' THEN f.parent_id END,
           COALESCE(d.updated_at, f.updated_at, w.updated_at)
    FROM (SELECT rowid, kind, snippet(search_index, 1, '', '', '…', 24) AS excerpt, rank
          FROM search_index WHERE search_index MATCH ?1 ORDER BY rank LIMIT ?2) AS hit
    LEFT JOIN documents d ON hit.kind = 'Document' AND d.id = hit.rowid
    LEFT JOIN folders f ON hit.kind = 'Folder' AND f.id = hit.rowid
    LEFT JOIN workspaces w ON hit.kind = 'Workspace' AND w.id = hit.rowid
    ORDER BY hit.rank, hit.rowid)sql");
  s.bind(1, *match).bind(2, limit);
  while (s.step()) {
    SearchRow row{entityTypeOfKind(s.text(1)), s.int64(0), s.text(2), s.optionalText(3), s.int64(4),
                  s.optionalInt64(5),          s.text(6)};
    if (row.excerpt && row.excerpt->empty()) row.excerpt.reset();
    result.rows.push_back(std::move(row));
  }
  return result;
}

void Store::seedBulk(const std::string& workspaceLabel, std::int64_t count) {
  WorkspaceRow workspace = createWorkspace(workspaceLabel, "Documents générés en nombre");
  std::lock_guard lock(mutex_);
  SqliteTransaction tx(db_);
  auto insert = db_.prepare(
      "INSERT INTO documents(id, name, folder_id, workspace_id, content_type, size, created_at, "
      "updated_at) VALUES (?1, ?2, NULL, ?3, 'text/plain', ?4, ?5, ?5)");
  auto index = db_.prepare(
      "INSERT INTO search_index(rowid, name, body, kind) VALUES (?1, ?2, ?3, 'Document')");
  std::vector<EntityId> created;
  for (std::int64_t i = 1; i <= count; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "Document %06lld.txt", static_cast<long long>(i));
    std::string body = "Document numéro " + std::to_string(i) + "\n";
    EntityId id = nextId();
    std::string at = nextStamp();
    insert.bind(1, id).bind(2, std::string_view(name)).bind(3, workspace.id);
    insert.bind(4, static_cast<std::int64_t>(body.size())).bind(5, at).run();
    insert.reset();
    index.bind(1, id).bind(2, std::string_view(name)).bind(3, body).run();
    index.reset();
    appendChange(kDocumentEntity, id, "created", workspace.id, at);
    // Plain writes: a bulk seed is a throwaway fixture, not worth an fsync per file.
    created.push_back(id);
    int fd = ::open(blobPath(id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool written =
        fd >= 0 && ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    if (fd >= 0) ::close(fd);
    if (!written) {
      for (EntityId done : created) removeBlob(blobPath(done));
      throw std::runtime_error("cannot write " + blobPath(id).string());
    }
  }
  saveCounters();
  tx.commit();
}

}  // namespace folium::devserver
