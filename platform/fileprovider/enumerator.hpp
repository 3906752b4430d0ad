#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/error_object.hpp"
#include "platform/fileprovider/item.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::platform {

// Opaque bytes that the plug-in hands out and the service stores and passes back unchanged.
using SyncAnchor = std::string;
using EnumerationPage = std::string;

// Where the service starts a listing when it has no page of the plug-in's making.
inline constexpr std::string_view kInitialPageSortedByName = "initialPageSortedByName";

// Receives the children of a container. A listing ends with exactly one of the two finish
// calls. The service's observers accept calls from any thread.
class EnumerationObserver {
 public:
  EnumerationObserver() = default;
  EnumerationObserver(const EnumerationObserver&) = delete;
  EnumerationObserver& operator=(const EnumerationObserver&) = delete;
  virtual ~EnumerationObserver() = default;

  virtual void didEnumerateItems(std::vector<ItemPtr> items) = 0;
  // `nextPage` none: nothing more to list.
  virtual void finishEnumeratingUpToPage(std::optional<EnumerationPage> nextPage) = 0;
  virtual void finishEnumeratingWithError(ErrorPtr error) = 0;
};

// Receives the changes since an anchor. A change enumeration ends with exactly one of the
// two finish calls. The service's observers accept calls from any thread.
class ChangeObserver {
 public:
  ChangeObserver() = default;
  ChangeObserver(const ChangeObserver&) = delete;
  ChangeObserver& operator=(const ChangeObserver&) = delete;
  virtual ~ChangeObserver() = default;

  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  virtual void didUpdateItems(std::vector<ItemPtr> items) = 0;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(ErrorPtr error) = 0;
};

// Lists one container and follows changes, on the service's behalf. The service may call
// any method from any thread, several at once; each call answers through its observer or
// completion handler, exactly once.
class FileProviderEnumerator {
 public:
  // Receives the anchor of the present state, or none.
  using SyncAnchorHandler = std::function<void(std::optional<SyncAnchor> anchor)>;

  FileProviderEnumerator() = default;
  FileProviderEnumerator(const FileProviderEnumerator&) = delete;
  FileProviderEnumerator& operator=(const FileProviderEnumerator&) = delete;
  virtual ~FileProviderEnumerator() = default;

  virtual void invalidate() = 0;
  virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer,
                              EnumerationPage startingAtPage) = 0;
  virtual void currentSyncAnchor(SyncAnchorHandler completionHandler) = 0;
  virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer,
                                SyncAnchor fromSyncAnchor) = 0;
};

}  // namespace folium::platform
