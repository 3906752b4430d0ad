#include "app/domain_operations.hpp"

#include <set>

#include "app/dispatch_group.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::app {

platform::FileProviderDomain makeDomain(const FoliumProvisioning& provisioning) {
  return {provisioning.domainIdentifier(), provisioning.displayName};
}

void reconcileDomains(const AppServices& services, std::function<void()> completion) {
  const StoreContents stored = services.store.contents();
  const bool storeRead = stored.state != StoreContents::State::unreadable;
  std::weak_ptr<platform::FileProviderManager> weakManager = services.manager;
  auto group = DispatchGroup::make(services.mainThread);
  services.manager->getDomains(
      [stored, storeRead, weakManager, group, completion = std::move(completion)](
          std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) mutable {
        std::set<std::string> wanted;
        for (const auto& profile : stored.profiles) wanted.insert(profile.domainIdentifier());
        std::set<std::string> registered;
        for (const auto& domain : domains) registered.insert(domain.identifier);
        // Released before the group can fire: the last reference to the manager must not be
        // dropped on its own thread.
        if (auto manager = weakManager.lock()) {
          for (const auto& domain : domains) {
            if (!storeRead || wanted.contains(domain.identifier)) continue;
            group->enter();
            manager->removeDomain(domain, [group](platform::ErrorPtr) { group->leave(); });
          }
          for (const auto& profile : stored.profiles) {
            if (registered.contains(profile.domainIdentifier())) continue;
            group->enter();
            manager->addDomain(makeDomain(profile),
                               [group](platform::ErrorPtr) { group->leave(); });
          }
        }
        group->notify([completion = std::move(completion)] {
          if (completion) completion();
        });
      });
}

void refreshAll(const AppServices& services, std::function<void()> completion) {
  // Completions arrive on the service's threads: they hold the manager only weakly, so that
  // its last reference is never dropped on a thread of its own.
  std::weak_ptr<platform::FileProviderManager> weakManager = services.manager;
  auto group = DispatchGroup::make(services.mainThread);
  group->enter();
  services.manager->getDomains(
      [weakManager, group](std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) {
        if (auto manager = weakManager.lock()) {
          for (const auto& domain : domains) {
            auto domainManager = manager->managerForDomain(domain);
            if (!domainManager) continue;
            for (auto container : {platform::NSFileProviderWorkingSetContainerItemIdentifier,
                                   platform::NSFileProviderRootContainerItemIdentifier}) {
              group->enter();
              domainManager->signalEnumerator(std::string(container),
                                              [group](platform::ErrorPtr) { group->leave(); });
            }
          }
        }
        group->leave();
      });
  group->notify([completion = std::move(completion)] {
    if (completion) completion();
  });
}

void importProfile(const AppServices& services, const std::filesystem::path& file,
                   std::function<void(ImportOutcome)> completion) {
  auto deliver = [main = services.mainThread, completion](ImportOutcome outcome) {
    main->post([completion, outcome = std::move(outcome)] {
      if (completion) completion(outcome);
    });
  };
  std::string bytes;
  try {
    bytes = services.fileSystem->readWholeFile(file);
  } catch (const std::exception& e) {
    return deliver(ImportFailure{ImportFailure::Stage::read, e.what()});
  }
  std::optional<FoliumProvisioning> decoded;
  try {
    decoded = FoliumProvisioning::decode(bytes);
  } catch (const std::exception& e) {
    return deliver(ImportFailure{ImportFailure::Stage::decode, e.what()});
  }
  const FoliumProvisioning profile = *decoded;
  // A profile the store did not keep must not get a drive: the drive could not find it.
  if (const StoreResult saved = services.store.save(profile); !saved) {
    return deliver(ImportFailure{ImportFailure::Stage::store, saved.message});
  }
  services.manager->addDomain(makeDomain(profile), [deliver, profile](platform::ErrorPtr error) {
    if (error) {
      deliver(ImportFailure{ImportFailure::Stage::register_, error->description()});
    } else {
      deliver(profile);
    }
  });
}

}  // namespace folium::app
