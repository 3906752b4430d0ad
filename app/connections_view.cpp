#include "app/connections_view.hpp"

#include "app/dispatch_group.hpp"
#include "app/domain_operations.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::app {
namespace {

// The first registered domain with the profile's identifier, if any.
std::optional<platform::FileProviderDomain> findDomain(
    const std::vector<platform::FileProviderDomain>& domains, const std::string& identifier) {
  for (const auto& domain : domains) {
    if (domain.identifier == identifier) return domain;
  }
  return std::nullopt;
}

void finish(const ConnectionsView::Done& done, bool succeeded) {
  if (done) done(succeeded);
}

}  // namespace

std::shared_ptr<ConnectionsView> ConnectionsView::create(
    AppServices services, std::vector<FoliumProvisioning> connections, std::string status) {
  return std::shared_ptr<ConnectionsView>(
      new ConnectionsView(std::move(services), std::move(connections), std::move(status)));
}

ConnectionsView::ConnectionsView(AppServices services, std::vector<FoliumProvisioning> connections,
                                 std::string status)
    : services_(std::move(services)),
      connections_(std::move(connections)),
      status_(std::move(status)) {}

void ConnectionsView::changed() {
  if (onChange_) onChange_();
}

void ConnectionsView::setStatus(std::string status) {
  status_ = std::move(status);
  changed();
}

void ConnectionsView::reloadConnections() {
  connections_ = services_.store.all();
  changed();
}

void ConnectionsView::onMain(std::function<void(ConnectionsView&)> task) {
  services_.mainThread->post([weak = weak_from_this(), task = std::move(task)] {
    if (auto self = weak.lock()) task(*self);
  });
}

void ConnectionsView::appear(Done done) {
  reconcileDomains(services_, [weak = weak_from_this(), done] {
    auto self = weak.lock();
    if (!self) return;
    self->reloadConnections();
    finish(done, true);
  });
}

void ConnectionsView::importProfile(Done done) {
  if (!services_.openPanel) return finish(done, false);
  const auto file = services_.openPanel->chooseFile(kOpenPanelMessage);
  if (!file) return finish(done, false);
  app::importProfile(services_, *file, [weak = weak_from_this(), done](ImportOutcome outcome) {
    auto self = weak.lock();
    if (!self) return;
    if (const auto* profile = std::get_if<FoliumProvisioning>(&outcome)) {
      self->status_ = "Connecté à " + profile->displayName + " — disponible dans le Finder.";
      self->reloadConnections();
      return finish(done, true);
    }
    const auto& failure = std::get<ImportFailure>(outcome);
    switch (failure.stage) {
      case ImportFailure::Stage::read:
        self->setStatus("Fichier de provisioning illisible : " + failure.message);
        break;
      case ImportFailure::Stage::decode:
        self->setStatus("Fichier de provisioning invalide : " + failure.message);
        break;
      case ImportFailure::Stage::store:
        self->setStatus("Profil non enregistré : " + failure.message);
        break;
      case ImportFailure::Stage::register_:
        // The profile is stored: the list shows it, and a repair registers it again.
        self->status_ = "Domaine non enregistré : " + failure.message;
        self->reloadConnections();
        break;
    }
    finish(done, false);
  });
}

void ConnectionsView::refreshAll(Done done) {
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  auto group = DispatchGroup::make(services_.mainThread);
  group->enter();
  services_.manager->getDomains(
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
  group->notify([done] { finish(done, true); });
}

void ConnectionsView::repairDisk(Done done) {
  // Removing every drive while the store cannot be read would leave none to register again.
  const StoreContents stored = services_.store.contents();
  if (stored.state == StoreContents::State::unreadable) {
    setStatus("Réparation impossible : " + stored.message);
    return finish(done, false);
  }
  setStatus("Réparation du disque…");
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  services_.manager->removeAllDomains([services = services_, weakManager, weak = weak_from_this(),
                                       done](platform::ErrorPtr) {
    auto group = DispatchGroup::make(services.mainThread);
    if (auto manager = weakManager.lock()) {
      for (const auto& profile : services.store.all()) {
        group->enter();
        manager->addDomain(makeDomain(profile), [group](platform::ErrorPtr) { group->leave(); });
      }
    }
    group->notify([weak, done] {
      auto self = weak.lock();
      if (!self) return;
      self->status_ = "Disque réparé — ouvre le Finder.";
      self->reloadConnections();
      finish(done, true);
    });
  });
}

void ConnectionsView::openInFinder(const FoliumProvisioning& provisioning, Done done) {
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  services_.manager->getDomains(
      [weakManager, identifier = provisioning.domainIdentifier(), weak = weak_from_this(), done](
          std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) {
        auto self = weak.lock();
        if (!self) return;
        auto stop = [&self, done] {
          self->onMain([done](ConnectionsView&) { finish(done, false); });
        };
        const auto domain = findDomain(domains, identifier);
        auto manager = weakManager.lock();
        auto domainManager = domain && manager ? manager->managerForDomain(*domain) : nullptr;
        if (!domainManager) return stop();
        domainManager->getUserVisibleURL(
            std::string(platform::NSFileProviderRootContainerItemIdentifier),
            [weak, done](std::optional<std::filesystem::path> url, platform::ErrorPtr) {
              auto self = weak.lock();
              if (!self) return;
              self->onMain([url, done](ConnectionsView& view) {
                if (!url) return finish(done, false);
                finish(done, view.services_.workspace->openPath(*url).ok);
              });
            });
      });
}

void ConnectionsView::disconnect(const FoliumProvisioning& provisioning, Done done) {
  auto conclude = [provisioning, done](ConnectionsView& view) {
    const StoreResult removed = view.services_.store.remove(provisioning.domainIdentifier());
    if (!removed) {
      view.setStatus("Impossible de déconnecter " + provisioning.displayName + " : " +
                     removed.message);
      return finish(done, false);
    }
    view.status_ = provisioning.displayName + " déconnectée.";
    view.reloadConnections();
    finish(done, true);
  };
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  services_.manager->getDomains(
      [weakManager, identifier = provisioning.domainIdentifier(), weak = weak_from_this(),
       conclude](std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) {
        auto self = weak.lock();
        if (!self) return;
        const auto domain = findDomain(domains, identifier);
        auto manager = weakManager.lock();
        if (!domain || !manager) return self->onMain(conclude);
        manager->removeDomain(*domain, [weak, conclude](platform::ErrorPtr) {
          if (auto self = weak.lock()) self->onMain(conclude);
        });
      });
}

}  // namespace folium::app
