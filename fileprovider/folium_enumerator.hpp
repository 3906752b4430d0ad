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
// Sync anchors are the text "v4:" followed by a change-feed cursor in decimal.
class FoliumEnumerator final : public platform::FileProviderEnumerator {
 public:
  // Change-feed records asked for per request.
  static constexpr std::int64_t kChangeBatchSize = 500;

  // Work runs as tasks of `tasks`, on its pool.
  FoliumEnumerator(platform::ItemIdentifier container, FoliumClient client, TaskGroup tasks);

  const platform::ItemIdentifier& container() const { return container_; }
  const FoliumClient& client() const { return client_; }

  // The children of `forContainer`, in the server's order: the workspaces for the root,
  // folders then documents for a workspace (its top level only) or a folder, nothing for
  // a document or the service's working-set and trash containers. The folder and document
  // lists are requested at the same time; the folder list's failure wins, cancelling the
  // document request. Throws the client's errors; never returns part of a list.
  std::vector<platform::ItemPtr> items(const platform::ItemIdentifier& forContainer) const;

  static platform::SyncAnchor makeAnchor(std::int64_t cursor);
  // The cursor of an anchor, or none when the bytes are not a readable anchor.
  static std::optional<std::int64_t> parseAnchor(std::string_view anchor);

  void invalidate() override {}
  void enumerateItems(std::shared_ptr<platform::EnumerationObserver> observer,
                      platform::EnumerationPage startingAtPage) override;
  // Reads the whole feed from its start to find its end. A failure gives the anchor of
  // cursor 0, never an error: the next change enumeration then replays the whole feed.
  void currentSyncAnchor(SyncAnchorHandler completionHandler) override;
  // Reports the feed's records after the anchor: per page, deletions, then the entities
  // read again. An unreadable anchor is refused with the sync-anchor-expired error before
  // this returns. When the feed cannot be read, or an entity cannot be read for a reason
  // other than its being gone (HTTP 403, 404, 410), the enumeration finishes with the
  // anchor of the last page fully reported, so the next one tries again from there.
  void enumerateChanges(std::shared_ptr<platform::ChangeObserver> observer,
                        platform::SyncAnchor fromSyncAnchor) override;

 private:
  static std::vector<platform::ItemPtr> listChildren(const FoliumClient& client,
                                                     const TaskGroup& tasks,
                                                     const platform::ItemIdentifier& forContainer);

  const platform::ItemIdentifier container_;
  const FoliumClient client_;
  const TaskGroup tasks_;
};

}  // namespace folium::fp
