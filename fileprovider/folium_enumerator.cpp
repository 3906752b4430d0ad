#include "fileprovider/folium_enumerator.hpp"

#include <charconv>
#include <exception>
#include <utility>

#include "fileprovider/error_bridge.hpp"
#include "fileprovider/folium_fp_item.hpp"
#include "fileprovider/folium_node.hpp"

namespace folium::fp {

using platform::ErrorPtr;
using platform::ItemIdentifier;
using platform::ItemPtr;

namespace {

constexpr std::string_view kAnchorVersion = "v4";

// Folders and documents of one container. The two lists are requested at the same time
// (the document list on the pool; when no pool thread is free, this thread lists it after
// the folders); the folder list is taken first. When it fails, the document request is
// cancelled and waited for, and the folder list's error is the listing's, whatever became
// of the other.
std::pair<std::vector<Folder>, std::vector<FoliumDocument>> listFoldersAndDocuments(
    const FoliumClient& client, const TaskGroup& tasks,
    const std::optional<std::string>& workspaceID, const std::optional<std::string>& folderID) {
  platform::CancellationToken cancellation;
  auto documents =
      tasks.async([documentClient = client.withCancellation(cancellation), workspaceID, folderID] {
        return documentClient.listDocuments(workspaceID, folderID);
      });
  std::vector<Folder> folders;
  try {
    folders = client.listFolders(workspaceID, folderID);
  } catch (...) {
    const std::exception_ptr folderFailure = std::current_exception();
    cancellation.cancel();
    documents.wait();
    std::rethrow_exception(folderFailure);
  }
  return {std::move(folders), documents.get()};
}

// Feed records name their entity by a type text: any text containing "Folder" is a folder,
// else any containing "Workspace" a workspace, anything else a document.
Kind entityKind(std::string_view entityType) {
  if (entityType.find("Folder") != std::string_view::npos) return Kind::folder;
  if (entityType.find("Workspace") != std::string_view::npos) return Kind::workspace;
  return Kind::document;
}

// The entry a feed record names.
FoliumNode nodeOf(const ChangeRecord& record) {
  switch (entityKind(record.entityType)) {
    case Kind::folder:
      return FoliumNode::folder(record.entityId);
    case Kind::workspace:
      return FoliumNode::workspace(record.entityId);
    case Kind::document:
    case Kind::root:  // never the kind of a feed record
      break;
  }
  return FoliumNode::document(record.entityId);
}

// Whether reading an entity failed in a way that may pass: the network, a time-out, the
// server's trouble (5xx), an expired token (401), or "come back later" (408, 429). The change
// is then tried again by the next enumeration. Anything else (a body that does not decode,
// a reply that is not HTTP, any other 4xx) would fail the same way every time, so the
// change is passed over rather than holding back every later change of the drive.
bool mayPass(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const FoliumError& error) {
    if (error.kind() != FoliumError::Kind::http) return false;
    const int status = error.status();
    return status >= 500 || status == 401 || status == 408 || status == 429;
  } catch (const DecodingError&) {
    return false;
  } catch (...) {
    return true;
  }
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars takes a minus sign but no plus sign.
  const std::string_view number = text.front() == '-' ? text : digits;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

std::vector<ItemPtr> listChildren(const FoliumClient& client, const TaskGroup& tasks,
                                  const ItemIdentifier& forContainer) {
  std::vector<ItemPtr> items;
  if (forContainer == platform::NSFileProviderWorkingSetContainerItemIdentifier ||
      forContainer == platform::NSFileProviderTrashContainerItemIdentifier) {
    return items;
  }
  const FoliumNode node(forContainer);
  switch (node.kind) {
    case Kind::root:
      for (const Workspace& workspace : client.listWorkspaces()) {
        items.push_back(FoliumFPItem::workspaceItem(workspace));
      }
      break;
    case Kind::workspace:
    case Kind::folder: {
      const bool inWorkspace = node.kind == Kind::workspace;
      // A workspace is listed with its id and keeps only its top level (records without
      // a folder); a folder is listed by its own id.
      auto [folders, documents] =
          inWorkspace ? listFoldersAndDocuments(client, tasks, node.id, std::nullopt)
                      : listFoldersAndDocuments(client, tasks, std::nullopt, node.id);
      for (const Folder& folder : folders) {
        if (inWorkspace && folder.documentsFolderId) continue;
        items.push_back(FoliumFPItem::folderItem(folder, forContainer));
      }
      for (const FoliumDocument& document : documents) {
        if (inWorkspace && document.documentsFolderId) continue;
        items.push_back(FoliumFPItem::documentItem(document, forContainer, document.size));
      }
      break;
    }
    case Kind::document:
      break;
  }
  return items;
}

platform::SyncAnchor makeAnchor(std::int64_t cursor) {
  return std::string(kAnchorVersion) + ":" + std::to_string(cursor);
}

// The cursor of an anchor, or none when the bytes are not a readable anchor.
std::optional<std::int64_t> parseAnchor(std::string_view anchor) {
  // Bytes that are not UTF-8 could only turn into replacement characters, which match
  // neither the version nor a digit, and never into a colon: the bytes can be read as is.
  // Colons that end empty pieces at the start are skipped; the first non-empty piece ends
  // at the next colon, and all that follows is the cursor.
  const auto start = anchor.find_first_not_of(':');
  if (start == std::string_view::npos) return std::nullopt;
  anchor.remove_prefix(start);
  const auto colon = anchor.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  if (anchor.substr(0, colon) != kAnchorVersion) return std::nullopt;
  return parseDecimal(anchor.substr(colon + 1));
}

}  // namespace

FoliumEnumerator::FoliumEnumerator(ItemIdentifier container, FoliumClient client, TaskGroup tasks)
    : container_(std::move(container)), client_(std::move(client)), tasks_(std::move(tasks)) {}

void FoliumEnumerator::enumerateItems(std::shared_ptr<platform::EnumerationObserver> observer,
                                      platform::EnumerationPage) {
  // Copies, not this enumerator: the service may drop it while the listing runs.
  tasks_.start(
      [client = client_, container = container_, observer = std::move(observer), tasks = tasks_] {
        bool finished = false;
        try {
          std::vector<ItemPtr> items = listChildren(client, tasks, container);
          observer->didEnumerateItems(std::move(items));
          finished = true;
          observer->finishEnumeratingUpToPage(std::nullopt);
        } catch (...) {
          if (!finished)
            observer->finishEnumeratingWithError(toErrorObject(std::current_exception()));
        }
      });
}

void FoliumEnumerator::currentSyncAnchor(SyncAnchorHandler completionHandler) {
  tasks_.start([client = client_, handler = OnceHandler<std::optional<platform::SyncAnchor>>(
                                      std::move(completionHandler))]() mutable {
    platform::SyncAnchor anchor;
    try {
      std::int64_t cursor = 0;
      for (;;) {
        const ChangePage page = client.changes(cursor, kChangeBatchSize);
        // A feed that says more is coming but does not move would be read forever.
        const bool moved = page.cursor != cursor;
        cursor = page.cursor;
        if (!page.hasMore || !moved) break;
      }
      anchor = makeAnchor(cursor);
    } catch (...) {
      anchor = makeAnchor(0);
    }
    handler(std::move(anchor));
  });
}

void FoliumEnumerator::enumerateChanges(std::shared_ptr<platform::ChangeObserver> observer,
                                        platform::SyncAnchor fromSyncAnchor) {
  const std::optional<std::int64_t> start = parseAnchor(fromSyncAnchor);
  if (!start) {
    observer->finishEnumeratingWithError(std::make_shared<const platform::ErrorObject>(
        platform::fileProviderError(platform::FileProviderErrorCode::syncAnchorExpired,
                                    "cannot read the sync anchor \"" + fromSyncAnchor + "\"")));
    return;
  }
  tasks_.start([client = client_, observer = std::move(observer), cursor = *start]() mutable {
    bool finished = false;
    auto finishAt = [&](std::int64_t at) {
      finished = true;
      observer->finishEnumeratingChangesUpToSyncAnchor(makeAnchor(at), false);
    };
    try {
      for (;;) {
        ChangePage page;
        try {
          page = client.changes(cursor, kChangeBatchSize);
        } catch (...) {
          return finishAt(cursor);
        }
        std::vector<ItemIdentifier> deleted;
        std::vector<ItemPtr> updated;
        for (const ChangeRecord& record : page.changes) {
          if (record.action == "deleted") {
            deleted.push_back(nodeOf(record).identifier());
            continue;
          }
          try {
            updated.push_back(FoliumFPItem::readFromServer(client, nodeOf(record)));
          } catch (...) {
            // Nothing of this page is reported, so the next enumeration reads it again.
            if (mayPass(std::current_exception())) return finishAt(cursor);
          }
        }
        if (!deleted.empty()) observer->didDeleteItemsWithIdentifiers(std::move(deleted));
        if (!updated.empty()) observer->didUpdateItems(std::move(updated));
        const bool moved = page.cursor != cursor;
        if (!page.hasMore || !moved) return finishAt(page.cursor);
        cursor = page.cursor;
      }
    } catch (...) {
      if (!finished) observer->finishEnumeratingWithError(toErrorObject(std::current_exception()));
    }
  });
}

}  // namespace folium::fp
