#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/folium_client.hpp"
#include "fileprovider/task_group.hpp"
#include "platform/fileprovider/enumerator.hpp"

namespace folium::fp {

// Lists one container of the drive and follows the server's change feed (for the whole
// instance, whatever the container). Holds only its container and the client it was built
// with; every call runs as a task on the host's pool and answers its observer or completion
// handler exactly once, so any thread may call anything, concurrently.
//
// Listings hold the children of a container: the workspaces for the root, folders and
// documents for a workspace (its top level only) or a folder, nothing for a document or the
// service's working-set and trash containers. They are reported as the server's pages
// arrive (one didEnumerateItems call per page of documents, the folders first in the last
// call; one empty call for an empty listing), the next page already requested while the
// observer handles one. Documents carry the size the server lists, where it lists one (else the
// provisional 1). The folder and document lists are requested at the same time; the folder
// list's failure wins, cancelling the other. Sync anchors are the text "v4:" followed by a
// change-feed cursor in decimal.
class FoliumEnumerator final : public platform::FileProviderEnumerator {
 public:
  // Change-feed records asked for per request.
  static constexpr std::int64_t kChangeBatchSize = 500;
  // Records asked for per request when only the feed's end is wanted (nothing is read
  // again per record): fewer, larger pages.
  static constexpr std::int64_t kAnchorBatchSize = 1000;

  // Work runs as tasks of `tasks`, on its pool.
  FoliumEnumerator(platform::ItemIdentifier container, FoliumClient client, TaskGroup tasks);

  const platform::ItemIdentifier& container() const { return container_; }
  const FoliumClient& client() const { return client_; }

  void invalidate() override {}
  void enumerateItems(std::shared_ptr<platform::EnumerationObserver> observer,
                      platform::EnumerationPage startingAtPage) override;
  // Reads the whole feed from its start to find its end. A failure gives the anchor of
  // cursor 0, never an error: the next change enumeration then replays the whole feed.
  void currentSyncAnchor(SyncAnchorHandler completionHandler) override;
  // Reports the feed's records after the anchor: per page, deletions, then the entities
  // read again. An unreadable anchor is refused with the sync-anchor-expired error before
  // this returns. When the feed cannot be read, or an entity cannot be read for a reason
  // that may pass (transport, 5xx, 401, 408, 429), the enumeration finishes with the anchor
  // of the last page fully reported, so the next one tries again from there. An entity
  // that fails any other way (gone, refused, undecodable) is passed over.
  void enumerateChanges(std::shared_ptr<platform::ChangeObserver> observer,
                        platform::SyncAnchor fromSyncAnchor) override;

 private:
  const platform::ItemIdentifier container_;
  const FoliumClient client_;
  const TaskGroup tasks_;
};

}  // namespace folium::fp
