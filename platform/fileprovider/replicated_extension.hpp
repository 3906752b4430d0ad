#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/fileprovider/enumerator.hpp"
#include "platform/fileprovider/error_object.hpp"
#include "platform/fileprovider/item.hpp"
#include "platform/fileprovider/item_fields.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/progress.hpp"

namespace folium::platform {

// Who asked the service for a call, and why. Carried for completeness; Folium reads none
// of it.
struct Request {
  bool isSystemRequest = false;
};

using CreateItemOptions = std::uint64_t;
using ModifyItemOptions = std::uint64_t;
using DeleteItemOptions = std::uint64_t;

// The plug-in side of the file-provider service: one object per registered domain. The
// service calls these methods from threads of its choosing, several at once. Each method
// with a completion handler returns at once (with a progress object where it has one) and
// calls the handler exactly once, on any thread, possibly before it returns. Items and
// errors are passed as shared immutable objects; a null error means success.
class ReplicatedExtension {
 public:
  using ItemHandler = std::function<void(ItemPtr item, ErrorPtr error)>;
  using FetchHandler = std::function<void(std::optional<std::filesystem::path> contents,
                                          ItemPtr item, ErrorPtr error)>;
  // `remainingFields`: changes the plug-in did not apply; `shouldFetchContent`: the service
  // should fetch the contents again.
  using ItemChangeHandler = std::function<void(ItemPtr item, ItemFields remainingFields,
                                               bool shouldFetchContent, ErrorPtr error)>;
  using DeleteHandler = std::function<void(ErrorPtr error)>;

  ReplicatedExtension() = default;
  ReplicatedExtension(const ReplicatedExtension&) = delete;
  ReplicatedExtension& operator=(const ReplicatedExtension&) = delete;
  virtual ~ReplicatedExtension() = default;

  // The service stops using the object; calls already started still complete.
  virtual void invalidate() = 0;

  virtual std::shared_ptr<Progress> itemForIdentifier(const ItemIdentifier& identifier,
                                                      const Request& request,
                                                      ItemHandler completionHandler) = 0;

  // Writes the contents of a file to a new local file, handed to the service.
  virtual std::shared_ptr<Progress> fetchContentsForItemWithIdentifier(
      const ItemIdentifier& identifier, const std::optional<ItemVersion>& requestedVersion,
      const Request& request, FetchHandler completionHandler) = 0;

  // An enumerator for a container, or null with `error` set. Synchronous.
  virtual std::shared_ptr<FileProviderEnumerator> enumeratorForContainerItemIdentifier(
      const ItemIdentifier& containerItemIdentifier, const Request& request, ErrorPtr& error) = 0;

  // Creates the item that `itemTemplate` describes; `contents` is the local file holding a
  // new file's contents, if there is one.
  virtual std::shared_ptr<Progress> createItemBasedOnTemplate(
      ItemPtr itemTemplate, ItemFields fields, std::optional<std::filesystem::path> contents,
      CreateItemOptions options, const Request& request, ItemChangeHandler completionHandler) = 0;

  // Applies the changes named by `changedFields` that the user made to `item`.
  virtual std::shared_ptr<Progress> modifyItem(ItemPtr item, const ItemVersion& baseVersion,
                                               ItemFields changedFields,
                                               std::optional<std::filesystem::path> contents,
                                               ModifyItemOptions options, const Request& request,
                                               ItemChangeHandler completionHandler) = 0;

  virtual std::shared_ptr<Progress> deleteItemWithIdentifier(const ItemIdentifier& identifier,
                                                             const ItemVersion& baseVersion,
                                                             DeleteItemOptions options,
                                                             const Request& request,
                                                             DeleteHandler completionHandler) = 0;
};

}  // namespace folium::platform
