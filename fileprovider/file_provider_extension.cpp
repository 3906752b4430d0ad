#include "fileprovider/file_provider_extension.hpp"

#include <stdexcept>
#include <utility>

#include "fileprovider/error_bridge.hpp"
#include "fileprovider/folium_enumerator.hpp"
#include "fileprovider/folium_fp_item.hpp"
#include "fileprovider/folium_node.hpp"
#include "fileprovider/local_files.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::fp {

using platform::ErrorPtr;
using platform::ItemPtr;
using platform::Progress;

FileProviderExtension::FileProviderExtension(platform::FileProviderDomain domain, SharedStore store,
                                             std::shared_ptr<platform::HttpSession> session,
                                             platform::ThreadPool& pool,
                                             std::filesystem::path downloadFolder)
    : services_{std::move(domain), std::move(store), std::move(session), std::move(downloadFolder)},
      tasks_(pool) {
  if (!services_.session) throw std::invalid_argument("the file provider needs an HTTP session");
  if (!services_.downloadFolder.is_absolute()) {
    throw std::invalid_argument(
        "the file provider's download folder must be an absolute path, not \"" +
        services_.downloadFolder.string() + "\"");
  }
}

FoliumClient FileProviderExtension::Services::makeClient() const {
  const std::optional<FoliumProvisioning> profile = store.provisioning(domain.identifier);
  if (!profile) {
    // Still "not authenticated", but a store that cannot be read is worth telling apart
    // from one that lacks the profile.
    const StoreContents contents = store.contents();
    throw platform::fileProviderError(platform::FileProviderErrorCode::notAuthenticated,
                                      contents.state == StoreContents::State::unreadable
                                          ? "the profile store cannot be read: " + contents.message
                                          : "no profile is stored for " + domain.identifier);
  }
  return FoliumClient(profile->config(), session);
}

std::string FileProviderExtension::Services::domainDisplayName() const {
  if (const auto profile = store.provisioning(domain.identifier)) return profile->displayName;
  return domain.displayName;
}

const ErrorPtr& FileProviderExtension::unsupportedError() {
  static const ErrorPtr error = std::make_shared<const platform::ErrorObject>(
      std::string(platform::NSCocoaErrorDomain), platform::kFeatureUnsupportedErrorCode,
      "the drive does not support this operation here");
  return error;
}

std::shared_ptr<Progress> FileProviderExtension::itemForIdentifier(
    const platform::ItemIdentifier& identifier, const platform::Request&,
    ItemHandler completionHandler) {
  auto progress = Progress::withTotalUnitCount(1);
  OnceHandler<ItemPtr, ErrorPtr> handler(std::move(completionHandler));

  // The root and the service's own containers are answered here, without a client, so
  // they come even when the drive has no profile.
  const bool isRoot = identifier == platform::NSFileProviderRootContainerItemIdentifier;
  if (isRoot || identifier == platform::NSFileProviderWorkingSetContainerItemIdentifier ||
      identifier == platform::NSFileProviderTrashContainerItemIdentifier) {
    try {
      handler(isRoot ? FoliumFPItem::rootItem(domainDisplayName())
                     : FoliumFPItem::containerItem(identifier),
              nullptr);
    } catch (...) {
      handler(nullptr, toErrorObject(std::current_exception()));
    }
    progress->setCompletedUnitCount(1);
    return progress;
  }

  tasks_.start([services = services_, identifier, progress, handler]() mutable {
    try {
      const FoliumClient client = services.makeClient();
      const FoliumNode node(identifier);
      // The root has no record of its own: it is named after the drive.
      ItemPtr item = node.kind == FoliumNode::Case::root
                         ? FoliumFPItem::rootItem(services.domainDisplayName())
                         : FoliumFPItem::readFromServer(client, node);
      handler(std::move(item), nullptr);
    } catch (...) {
      handler(nullptr, toErrorObject(std::current_exception()));
    }
    progress->setCompletedUnitCount(1);
  });
  return progress;
}

std::shared_ptr<Progress> FileProviderExtension::fetchContentsForItemWithIdentifier(
    const platform::ItemIdentifier& identifier, const std::optional<platform::ItemVersion>&,
    const platform::Request&, FetchHandler completionHandler) {
  auto progress = Progress::withTotalUnitCount(100);
  using Path = std::optional<std::filesystem::path>;
  OnceHandler<Path, ItemPtr, ErrorPtr> handler(std::move(completionHandler));

  tasks_.start([services = services_, identifier, progress, handler]() mutable {
    try {
      const FoliumNode node(identifier);
      if (node.kind != FoliumNode::Case::document) {
        handler(std::nullopt, nullptr,
                std::make_shared<const platform::ErrorObject>(
                    platform::fileProviderError(platform::FileProviderErrorCode::noSuchItem,
                                                "\"" + identifier + "\" is not a document")));
        return;
      }
      const FoliumClient client = services.makeClient();
      const FoliumDocument document = client.getDocument(node.id);
      // Written to its file as it arrives: a large document never sits in memory. A failed
      // download leaves no file behind.
      platform::makePrivateFolder(services.downloadFolder);
      PartialFile file(services.downloadFolder);
      const std::uint64_t size = client.downloadDocument(
          document.id, [&file](std::string_view bytes) { file.write(bytes); });
      std::filesystem::path location = file.keep();
      ItemPtr item = FoliumFPItem::documentItem(
          document,
          FoliumFPItem::parentIdentifier(document.documentsFolderId, document.workspaceId),
          static_cast<std::int64_t>(size));
      progress->setCompletedUnitCount(100);
      handler(std::move(location), std::move(item), nullptr);
    } catch (...) {
      handler(std::nullopt, nullptr, toErrorObject(std::current_exception()));
    }
  });
  return progress;
}

std::shared_ptr<platform::FileProviderEnumerator>
FileProviderExtension::enumeratorForContainerItemIdentifier(
    const platform::ItemIdentifier& containerItemIdentifier, const platform::Request&,
    ErrorPtr& error) {
  try {
    return std::make_shared<FoliumEnumerator>(containerItemIdentifier, makeClient(), tasks_);
  } catch (...) {
    error = toErrorObject(std::current_exception());
    return nullptr;
  }
}

}  // namespace folium::fp
