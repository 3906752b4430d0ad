#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/folium_client.hpp"
#include "core/shared_store.hpp"
#include "fileprovider/task_group.hpp"
#include "platform/fileprovider/domain.hpp"
#include "platform/fileprovider/replicated_extension.hpp"
#include "platform/http/http_session.hpp"
#include "platform/threads/thread_pool.hpp"

namespace folium::fp {

// The plug-in's object for one drive. It keeps no state of its own: every request looks the
// drive's profile up in the store again and builds a fresh client, so a profile that the
// application replaces or removes takes effect with the next request.
//
// Threading: every method may be called from any thread, concurrently. Each callback with a
// completion handler returns at once and does its work on a task thread (answers that need
// no server come before it returns); its handler is called exactly once on every path, a
// failure of any kind becoming an error object. Tasks run on the host's thread pool and
// hold copies of what they need, never the extension, so the extension may go while they
// run; a host that exits must first waitForRunningTasks(), and destroy its pool after.
class FileProviderExtension final : public platform::ReplicatedExtension {
 public:
  // Where a new item goes on the server.
  struct Location {
    std::optional<std::string> workspaceID;
    std::optional<std::string> folderID;
  };

  // The host hands in the drive, the profile store, the process's HTTP session, the pool
  // that runs the plug-in's tasks (it must outlive them) and the folder where fetched
  // contents are written (created 0700 when missing; the host takes the files from
  // there, moving them where they belong). Makes no request and reads nothing.
  FileProviderExtension(platform::FileProviderDomain domain, SharedStore store,
                        std::shared_ptr<platform::HttpSession> session, platform::ThreadPool& pool,
                        std::filesystem::path downloadFolder);

  const platform::FileProviderDomain& domain() const { return services_.domain; }

  // A client for the drive's instance, from the profile stored under the domain's
  // identifier. Throws the not-authenticated error (-1000) when there is none. Sends nothing.
  FoliumClient makeClient() const { return services_.makeClient(); }
  // The display name of the drive's profile, or the domain's own when there is no profile.
  std::string domainDisplayName() const { return services_.domainDisplayName(); }

  // The "feature unsupported" error (3328): one object for the whole process.
  static const platform::ErrorPtr& unsupportedError();

  // The workspace and folder under which an item created in `forParent` goes: a workspace
  // gives its id; a folder gives its record's workspace (read from the server) and its own
  // id, or neither when the record names no workspace; anything else gives neither.
  // Throws the client's errors.
  static Location location(const FoliumClient& client, const platform::ItemIdentifier& forParent);

  // Blocks until every task started by this extension and its enumerators has ended.
  void waitForRunningTasks() const { tasks_.wait(); }
  // Same, for at most `timeout`; true when no task is left.
  bool waitForRunningTasks(std::chrono::milliseconds timeout) const {
    return tasks_.waitFor(timeout);
  }

  void invalidate() override {}

  std::shared_ptr<platform::Progress> itemForIdentifier(const platform::ItemIdentifier& identifier,
                                                        const platform::Request& request,
                                                        ItemHandler completionHandler) override;
  std::shared_ptr<platform::Progress> fetchContentsForItemWithIdentifier(
      const platform::ItemIdentifier& identifier,
      const std::optional<platform::ItemVersion>& requestedVersion,
      const platform::Request& request, FetchHandler completionHandler) override;
  std::shared_ptr<platform::FileProviderEnumerator> enumeratorForContainerItemIdentifier(
      const platform::ItemIdentifier& containerItemIdentifier, const platform::Request& request,
      platform::ErrorPtr& error) override;
  std::shared_ptr<platform::Progress> createItemBasedOnTemplate(
      platform::ItemPtr itemTemplate, platform::ItemFields fields,
      std::optional<std::filesystem::path> contents, platform::CreateItemOptions options,
      const platform::Request& request, ItemChangeHandler completionHandler) override;
  std::shared_ptr<platform::Progress> modifyItem(platform::ItemPtr item,
                                                 const platform::ItemVersion& baseVersion,
                                                 platform::ItemFields changedFields,
                                                 std::optional<std::filesystem::path> contents,
                                                 platform::ModifyItemOptions options,
                                                 const platform::Request& request,
                                                 ItemChangeHandler completionHandler) override;
  std::shared_ptr<platform::Progress> deleteItemWithIdentifier(
      const platform::ItemIdentifier& identifier, const platform::ItemVersion& baseVersion,
      platform::DeleteItemOptions options, const platform::Request& request,
      DeleteHandler completionHandler) override;

 private:
  // What a request needs from the host; copied into each task.
  struct Services {
    platform::FileProviderDomain domain;
    SharedStore store;
    std::shared_ptr<platform::HttpSession> session;
    std::filesystem::path downloadFolder;

    FoliumClient makeClient() const;
    std::string domainDisplayName() const;
  };

  const Services services_;
  const TaskGroup tasks_;
};

}  // namespace folium::fp
