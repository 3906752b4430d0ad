#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/fileprovider/domain.hpp"
#include "platform/fileprovider/error_object.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::platform {

// What the application asks of the file-provider service about one registered domain.
//
// Threading: any thread may call; each completion handler is called exactly once, never on
// the calling thread and never before the call returns.
class DomainManager {
 public:
  using ErrorHandler = std::function<void(ErrorPtr error)>;
  // `url`: the absolute local path of the item in the drive, or none.
  using URLHandler =
      std::function<void(std::optional<std::filesystem::path> url, ErrorPtr error)>;

  DomainManager() = default;
  DomainManager(const DomainManager&) = delete;
  DomainManager& operator=(const DomainManager&) = delete;
  virtual ~DomainManager() = default;

  // Asks the drive to enumerate changes of the container again (the working set or the
  // root).
  virtual void signalEnumerator(const ItemIdentifier& containerItemIdentifier,
                                ErrorHandler completionHandler) = 0;
  // The item's location in the drive's local copy: the root container gives the drive's
  // folder, any other identifier (a document "do:…") the file's path, none when there is no
  // such item.
  virtual void getUserVisibleURL(const ItemIdentifier& itemIdentifier,
                                 URLHandler completionHandler) = 0;
};

// The file-provider service's list of domains, as the application sees it.
//
// Threading: any thread may call; each completion handler is called exactly once, never on
// the calling thread and never before the call returns. A null error means success.
class FileProviderManager {
 public:
  using ErrorHandler = std::function<void(ErrorPtr error)>;
  // Registration order. A failure gives an empty list and the error.
  using DomainsHandler =
      std::function<void(std::vector<FileProviderDomain> domains, ErrorPtr error)>;

  FileProviderManager() = default;
  FileProviderManager(const FileProviderManager&) = delete;
  FileProviderManager& operator=(const FileProviderManager&) = delete;
  virtual ~FileProviderManager() = default;

  // Registers the domain, which makes its drive appear. Adding an identifier that is
  // already registered keeps one domain, in its place, and takes the new display name.
  virtual void addDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) = 0;
  // Unregisters the domain (by identifier); an unknown identifier completes with an error
  // that names it.
  virtual void removeDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) = 0;
  virtual void removeAllDomains(ErrorHandler completionHandler) = 0;
  virtual void getDomains(DomainsHandler completionHandler) = 0;
  // A manager for a registered domain (by identifier); none for one that is not registered.
  // Synchronous.
  virtual std::shared_ptr<DomainManager> managerForDomain(const FileProviderDomain& domain) = 0;
};

}  // namespace folium::platform
