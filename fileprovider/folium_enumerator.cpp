#include "fileprovider/folium_enumerator.hpp"

#include <charconv>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
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

using Report = std::function<void(std::vector<ItemPtr> items)>;

// A page of documents as items, and the request of the page after it, sent as soon as this
// one came.
struct DocumentPage;
using PendingPage = platform::ThreadPool::Future<DocumentPage>;
struct DocumentPage {
  std::vector<ItemPtr> items;
  std::shared_ptr<PendingPage> following;
};

// Requests the documents of `container` from page `number` on, one page after the other, on
// the pool (when no pool thread is free, the thread that waits for a page requests it), and
// makes their items there too. The pages come back to back, whatever their reader does
// meanwhile. A workspace keeps only its top level (records without a folder).
std::shared_ptr<PendingPage> requestDocuments(const TaskGroup& tasks, const FoliumClient& client,
                                              const ItemIdentifier& container,
                                              const std::optional<std::string>& workspaceID,
                                              const std::optional<std::string>& folderID,
                                              std::int64_t number) {
  return std::make_shared<PendingPage>(
      tasks.async([tasks, client, container, workspaceID, folderID, number] {
        ListPage<FoliumDocument> page = client.listDocumentsPage(workspaceID, folderID, number);
        DocumentPage result;
        if (page.hasMore) {
          result.following =
              requestDocuments(tasks, client, container, workspaceID, folderID, number + 1);
        }
        result.items.reserve(page.records.size());
        for (const FoliumDocument& document : page.records) {
          if (workspaceID && document.documentsFolderId) continue;
          result.items.push_back(FoliumFPItem::documentItem(document, container, document.size));
        }
        return result;
      }));
}

// Folders and documents of one container, handed to `report` a page at a time as the
// documents come (the folders with the last page), so that what `report` does overlaps the
// network. The folder list and the documents are requested at the same time, on the pool.
// When the folder list fails, the document requests are cancelled and its failure is the
// listing's; else the first failure is. A workspace keeps only its top level (records
// without a folder).
void listFoldersAndDocuments(const FoliumClient& client, const TaskGroup& tasks,
                             const ItemIdentifier& container,
                             const std::optional<std::string>& workspaceID,
                             const std::optional<std::string>& folderID, const Report& report) {
  platform::CancellationToken cancellation;
  auto folders = tasks.async([client, cancellation, workspaceID, folderID]() mutable {
    try {
      return client.listFolders(workspaceID, folderID);
    } catch (...) {
      cancellation.cancel();
      throw;
    }
  });
  std::shared_ptr<PendingPage> next = requestDocuments(tasks, client.withCancellation(cancellation),
                                                       container, workspaceID, folderID, 1);
  bool foldersTaken = false;
  try {
    while (next) {
      DocumentPage page = next->get();
      next = std::move(page.following);
      if (next) {
        report(std::move(page.items));
        continue;
      }
      foldersTaken = true;
      std::vector<ItemPtr> items;
      for (const Folder& folder : folders.get()) {
        if (workspaceID && folder.documentsFolderId) continue;
        items.push_back(FoliumFPItem::folderItem(folder, container));
      }
      items.insert(items.end(), std::make_move_iterator(page.items.begin()),
                   std::make_move_iterator(page.items.end()));
      report(std::move(items));
    }
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    // The folder list's failure wins (it cancelled the rest).
    if (!foldersTaken) {
      try {
        folders.get();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    cancellation.cancel();
    while (next) {
      try {
        next = next->get().following;
      } catch (...) {
        next.reset();
      }
    }
    std::rethrow_exception(failure);
  }
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

void listChildren(const FoliumClient& client, const TaskGroup& tasks,
                  const ItemIdentifier& forContainer, const Report& report) {
  if (forContainer == platform::NSFileProviderWorkingSetContainerItemIdentifier ||
      forContainer == platform::NSFileProviderTrashContainerItemIdentifier) {
    return;
  }
  const FoliumNode node(forContainer);
  switch (node.kind) {
    case Kind::root: {
      std::vector<ItemPtr> items;
      for (const Workspace& workspace : client.listWorkspaces()) {
        items.push_back(FoliumFPItem::workspaceItem(workspace));
      }
      report(std::move(items));
      break;
    }
    case Kind::workspace:
      // Listed with its id: its top level only.
      listFoldersAndDocuments(client, tasks, forContainer, node.id, std::nullopt, report);
      break;
    case Kind::folder:
      listFoldersAndDocuments(client, tasks, forContainer, std::nullopt, node.id, report);
      break;
    case Kind::document:
      break;
  }
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
          // Parts as they come; an empty listing is still reported, as one empty part.
          bool reported = false;
          listChildren(client, tasks, container, [&](std::vector<ItemPtr> items) {
            if (items.empty()) return;
            reported = true;
            observer->didEnumerateItems(std::move(items));
          });
          if (!reported) observer->didEnumerateItems({});
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
        const ChangePage page = client.changes(cursor, kAnchorBatchSize);
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
