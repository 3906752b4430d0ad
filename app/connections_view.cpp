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
    AppServices services, std::vector<FoliumProvisioning> connections, UiText status) {
  return std::shared_ptr<ConnectionsView>(
      new ConnectionsView(std::move(services), std::move(connections), std::move(status)));
}

ConnectionsView::ConnectionsView(AppServices services, std::vector<FoliumProvisioning> connections,
                                 UiText status)
    : services_(std::move(services)),
      connections_(std::move(connections)),
      status_(std::move(status)) {}

void ConnectionsView::changed() {
  if (onChange_) onChange_();
}

void ConnectionsView::setStatus(UiText status) {
  status_ = std::move(status);
  changed();
}

void ConnectionsView::reloadConnections() {
  connections_ = services_.store.all();
  changed();
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
  const auto file = services_.openPanel->chooseFile(
      {QT_TRANSLATE_NOOP("folium", "Choisis un fichier de provisioning folium (.foliumprofile).")});
  if (!file) return finish(done, false);
  app::importProfile(services_, *file, [weak = weak_from_this(), done](ImportOutcome outcome) {
    auto self = weak.lock();
    if (!self) return;
    self->showImportOutcome(outcome);
    finish(done, std::holds_alternative<FoliumProvisioning>(outcome));
  });
}

void ConnectionsView::showImportOutcome(const ImportOutcome& outcome) {
  if (const auto* profile = std::get_if<FoliumProvisioning>(&outcome)) {
    status_ = {QT_TRANSLATE_NOOP("folium", "Connecté à %1 — disponible dans le Finder."),
               {profile->displayName}};
    return reloadConnections();
  }
  const auto& failure = std::get<ImportFailure>(outcome);
  const char* text = nullptr;
  switch (failure.stage) {
    case ImportFailure::Stage::read:
      text = QT_TRANSLATE_NOOP("folium", "Fichier de provisioning illisible : %1");
      break;
    case ImportFailure::Stage::decode:
      text = QT_TRANSLATE_NOOP("folium", "Fichier de provisioning invalide : %1");
      break;
    case ImportFailure::Stage::store:
      text = QT_TRANSLATE_NOOP("folium", "Profil non enregistré : %1");
      break;
    case ImportFailure::Stage::register_:
      // The profile is stored: the list shows it, and a repair registers it again.
      text = QT_TRANSLATE_NOOP("folium", "Domaine non enregistré : %1");
      break;
  }
  status_ = {text, {failure.message}};
  reloadConnections();
}

// Completions arrive on the service's threads. They hold the view and the manager only
// weakly and hand their results to the main thread at once, so that the last reference to
// either is never dropped on a thread of the manager's own.

void ConnectionsView::refreshAll(Done done) {
  app::refreshAll(services_, [done] { finish(done, true); });
}

void ConnectionsView::repairDisk(Done done) {
  // Removing every drive while the store cannot be read would leave none to register again.
  const StoreContents stored = services_.store.contents();
  if (stored.state == StoreContents::State::unreadable) {
    setStatus({QT_TRANSLATE_NOOP("folium", "Réparation impossible : %1"), {stored.message}});
    return finish(done, false);
  }
  setStatus({QT_TRANSLATE_NOOP("folium", "Réparation du disque…")});
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  services_.manager->removeAllDomains([store = services_.store, main = services_.mainThread,
                                       weakManager, weak = weak_from_this(),
                                       done](platform::ErrorPtr) {
    auto group = DispatchGroup::make(main);
    if (auto manager = weakManager.lock()) {
      for (const auto& profile : store.all()) {
        group->enter();
        manager->addDomain(makeDomain(profile), [group](platform::ErrorPtr) { group->leave(); });
      }
    }
    group->notify([weak, done] {
      auto self = weak.lock();
      if (!self) return;
      self->status_ = {QT_TRANSLATE_NOOP("folium", "Disque réparé — ouvre le Finder.")};
      self->reloadConnections();
      finish(done, true);
    });
  });
}

void ConnectionsView::openInFinder(const FoliumProvisioning& provisioning, Done done) {
  services_.manager->getDomains([main = services_.mainThread, weak = weak_from_this(),
                                 identifier = provisioning.domainIdentifier(),
                                 done](std::vector<platform::FileProviderDomain> domains,
                                       platform::ErrorPtr) {
    main->post([weak, main, identifier, done, domains = std::move(domains)] {
      auto self = weak.lock();
      if (!self) return;
      const auto domain = findDomain(domains, identifier);
      auto domainManager = domain ? self->services_.manager->managerForDomain(*domain) : nullptr;
      if (!domainManager) return finish(done, false);
      domainManager->getUserVisibleURL(
          std::string(platform::NSFileProviderRootContainerItemIdentifier),
          [main, weak, done](std::optional<std::filesystem::path> url, platform::ErrorPtr) {
            main->post([weak, done, url] {
              auto self = weak.lock();
              if (!self) return;
              if (!url) return finish(done, false);
              finish(done, self->services_.workspace->openPath(*url).ok);
            });
          });
    });
  });
}

void ConnectionsView::disconnect(const FoliumProvisioning& provisioning, Done done) {
  auto conclude = [weak = weak_from_this(), provisioning, done] {
    auto self = weak.lock();
    if (!self) return;
    const StoreResult removed = self->services_.store.remove(provisioning.domainIdentifier());
    if (!removed) {
      self->setStatus({QT_TRANSLATE_NOOP("folium", "Impossible de déconnecter %1 : %2"),
                       {provisioning.displayName, removed.message}});
      return finish(done, false);
    }
    self->status_ = {QT_TRANSLATE_NOOP("folium", "%1 déconnectée."), {provisioning.displayName}};
    self->reloadConnections();
    finish(done, true);
  };
  std::weak_ptr<platform::FileProviderManager> weakManager = services_.manager;
  services_.manager->getDomains(
      [weakManager, main = services_.mainThread, identifier = provisioning.domainIdentifier(),
       conclude](std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) {
        const auto domain = findDomain(domains, identifier);
        auto manager = domain ? weakManager.lock() : nullptr;
        if (!manager) return main->post(conclude);
        manager->removeDomain(*domain,
                              [main, conclude](platform::ErrorPtr) { main->post(conclude); });
      });
}

}  // namespace folium::app
