#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sqlite/sqlite_database.hpp"
#include "devserver/temp_file.hpp"

namespace folium::devserver {

using platform::SqliteDatabase;
using platform::SqliteError;
using platform::SqliteStatement;
using platform::SqliteTransaction;

// Workspaces, folders and documents share one sequence of identifiers, so an identifier
// names at most one entity of any kind: a document link built from a folder's id finds
// nothing instead of an unrelated document.
using EntityId = std::int64_t;

struct WorkspaceRow {
  EntityId id = 0;
  std::string label;
  std::optional<std::string> description;
  std::string createdAt;
  std::string updatedAt;
};

struct FolderRow {
  EntityId id = 0;
  std::string name;
  std::optional<EntityId> parentId;  // absent: top level of its workspace
  EntityId workspaceId = 0;
  std::string createdAt;
  std::string updatedAt;
};

struct DocumentRow {
  EntityId id = 0;
  std::string name;
  std::optional<EntityId> folderId;  // absent: top level of its workspace
  EntityId workspaceId = 0;
  std::string contentType;
  std::int64_t size = 0;
  std::string createdAt;
  std::string updatedAt;
};

// Entity kinds as the change feed and search name them.
inline constexpr std::string_view kWorkspaceEntity = "Workspace";
inline constexpr std::string_view kFolderEntity = "DocumentsFolder";
inline constexpr std::string_view kDocumentEntity = "Document";

struct ChangeRow {
  std::int64_t id = 0;
  std::string entityType;
  EntityId entityId = 0;
  std::string action;  // "created", "updated", "moved", "deleted"
  std::optional<EntityId> workspaceId;
  std::string occurredAt;
};

struct SearchRow {
  std::string entityType;  // as in the change feed: kWorkspaceEntity, kFolderEntity...
  EntityId entityId = 0;
  std::string name;
  std::optional<std::string> excerpt;
  EntityId workspaceId = 0;
  std::optional<EntityId> folderId;
  std::string updatedAt;
};

template <typename Row>
struct Page {
  std::vector<Row> rows;
  bool hasMore = false;
};

struct SearchResult {
  std::vector<SearchRow> rows;
  std::int64_t total = 0;
};

// Listing scope: both absent lists everything; a workspace alone lists all of it, nested
// items included; a folder lists its direct children.
struct ListFilter {
  std::optional<EntityId> workspaceId;
  std::optional<EntityId> folderId;
};

// A request the tree cannot honour: an unknown entity, or a change that would break it.
class StoreError : public std::runtime_error {
 public:
  enum class Kind { notFound, unprocessable };
  StoreError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The contents of a document on their way in: a complete file in `Store::tempDir()`.
struct IncomingContent {
  TempFile file;
  std::string contentType;
  std::string indexText;  // the words search finds in the contents (may be empty)
};

// A document's contents opened for reading, consistent with its record.
struct OpenBlob {
  DocumentRow document;
  int fd = -1;  // owned by the caller
  std::int64_t size = 0;
};

// The server's tree: SQLite (WAL) in `dataDir`/folium.sqlite3, contents as files named by
// document id in `dataDir`/blobs. Every public function may be called from any thread; one
// mutex serialises all use of the connection and of the blob folder's renames, so a reader
// never sees a record and contents that disagree.
class Store {
 public:
  // Creates the folder (0700) if needed. Throws std::runtime_error naming what is wrong.
  explicit Store(const std::filesystem::path& dataDir);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::filesystem::path& tempDir() const { return tempDir_; }
  bool isEmpty();

  WorkspaceRow createWorkspace(const std::string& label,
                               const std::optional<std::string>& description);
  std::optional<WorkspaceRow> findWorkspace(EntityId id);
  Page<WorkspaceRow> listWorkspaces(std::int64_t offset, std::int64_t limit);

  FolderRow createFolder(EntityId workspaceId, std::optional<EntityId> parentId,
                         const std::string& name);
  std::optional<FolderRow> findFolder(EntityId id);
  Page<FolderRow> listFolders(const ListFilter& filter, std::int64_t offset, std::int64_t limit);
  // `parent`: absent leaves the folder where it is; holding nullopt moves it to the top level.
  FolderRow updateFolder(EntityId id, const std::optional<std::string>& name,
                         const std::optional<std::optional<EntityId>>& parent);
  // Removes the folder and everything it holds.
  void deleteFolder(EntityId id);

  DocumentRow createDocument(EntityId workspaceId, std::optional<EntityId> folderId,
                             const std::string& name, IncomingContent content);
  DocumentRow replaceContent(EntityId id, IncomingContent content);
  std::optional<DocumentRow> findDocument(EntityId id);
  Page<DocumentRow> listDocuments(const ListFilter& filter, std::int64_t offset,
                                  std::int64_t limit);
  DocumentRow updateDocument(EntityId id, const std::optional<std::string>& name,
                             const std::optional<std::optional<EntityId>>& parent);
  void deleteDocument(EntityId id);
  std::optional<OpenBlob> openBlob(EntityId id);

  // Changes after `cursor`, at most `limit`, oldest first.
  Page<ChangeRow> changes(std::int64_t cursor, std::int64_t limit);

  // Full-text search over names and indexed contents. `query` is free text: its words are
  // all required, the last one may be the start of a word; nothing in it is query syntax.
  SearchResult search(std::string_view query, std::int64_t limit);

  // Creates `count` small text documents in a new workspace, in one transaction (benchmarks).
  void seedBulk(const std::string& workspaceLabel, std::int64_t count);

 private:
  EntityId nextId();
  std::string nextStamp();
  void appendChange(std::string_view entityType, EntityId entityId, std::string_view action,
                    std::optional<EntityId> workspaceId, const std::string& at);
  void saveCounters();
  std::optional<WorkspaceRow> findWorkspaceLocked(EntityId id);
  std::optional<FolderRow> findFolderLocked(EntityId id);
  std::optional<DocumentRow> findDocumentLocked(EntityId id);
  FolderRow requireFolder(EntityId id);
  DocumentRow requireDocument(EntityId id);
  // Checks that `parent` may hold an item of `workspaceId`; throws otherwise.
  void checkParent(EntityId workspaceId, std::optional<EntityId> parent);
  // Writes a folder's or document's new name and parent, its searchable name and its feed
  // record ("moved" or "updated") in one transaction; returns the new time stamp. Lock held.
  std::string saveNameAndParent(std::string_view table, std::string_view parentColumn,
                                std::string_view entityType, EntityId id, const std::string& name,
                                std::optional<EntityId> parent, EntityId workspaceId, bool moved);
  std::filesystem::path blobPath(EntityId id) const;
  // One page of folders or documents: the filter's workspace and folder must exist, then one
  // indexed query. Takes the lock.
  template <typename Row, typename Reader>
  Page<Row> listFiltered(const ListFilter& filter, std::int64_t offset, std::int64_t limit,
                         std::string_view columns, std::string_view table,
                         std::string_view folderColumn, Reader reader);

  std::filesystem::path dataDir_;
  std::filesystem::path blobDir_;
  std::filesystem::path tempDir_;

  std::mutex mutex_;  // guards everything below
  SqliteDatabase db_;
  std::unique_ptr<SqliteStatement> appendChange_;  // prepared once; destroyed before db_
  EntityId lastId_ = 0;
  std::int64_t lastStampMicros_ = 0;
};

}  // namespace folium::devserver
