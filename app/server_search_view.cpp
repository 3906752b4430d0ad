#include "app/server_search_view.hpp"

#include <variant>

#include "core/folium_client.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::app {
namespace {

// Walks the registered domains in order, looking for the one whose drive folder is called
// `drive`; owned by the pending completion of the step under way.
struct DriveWalk : std::enable_shared_from_this<DriveWalk> {
  std::weak_ptr<platform::FileProviderManager> manager;
  std::vector<platform::FileProviderDomain> domains;
  std::string drive;
  std::function<void(const platform::FileProviderDomain&)> found;

  void step(std::size_t index) {
    for (; index < domains.size(); ++index) {
      std::shared_ptr<platform::DomainManager> domainManager;
      if (auto owner = manager.lock()) domainManager = owner->managerForDomain(domains[index]);
      if (!domainManager) continue;
      userVisibleRoot(domainManager, [self = shared_from_this(),
                                      index](std::optional<std::filesystem::path> root) {
        if (root && self->folderName(*root) == self->drive) {
          self->found(self->domains[index]);
        } else {
          self->step(index + 1);
        }
      });
      return;
    }
    found(domains.front());
  }

  static std::string folderName(const std::filesystem::path& root) {
    return root.has_filename() ? root.filename().string() : root.parent_path().filename().string();
  }
};

}  // namespace

void userVisibleRoot(const std::shared_ptr<platform::DomainManager>& manager,
                     std::function<void(std::optional<std::filesystem::path>)> completion) {
  manager->getUserVisibleURL(
      std::string(platform::NSFileProviderRootContainerItemIdentifier),
      [completion = std::move(completion)](std::optional<std::filesystem::path> url,
                                           platform::ErrorPtr) { completion(std::move(url)); });
}

void resolve(const AppServices& services, const std::optional<std::string>& drive,
             std::function<void(std::optional<SearchContext>)> completion) {
  std::weak_ptr<platform::FileProviderManager> weakManager = services.manager;
  services.manager->getDomains(
      [store = services.store, weakManager, drive, completion = std::move(completion)](
          std::vector<platform::FileProviderDomain> domains, platform::ErrorPtr) {
        if (domains.empty()) return completion(std::nullopt);
        auto chosen = [store, completion](const platform::FileProviderDomain& domain) {
          auto profile = store.provisioning(domain.identifier);
          if (!profile) return completion(std::nullopt);
          completion(SearchContext{domain, std::move(*profile)});
        };
        if (!drive) return chosen(domains.front());
        auto walk = std::make_shared<DriveWalk>();
        walk->manager = weakManager;
        walk->domains = std::move(domains);
        walk->drive = *drive;
        walk->found = chosen;
        walk->step(0);
      });
}

std::shared_ptr<ServerSearchView> ServerSearchView::create(AppServices services,
                                                           FoliumSearchRequest request) {
  return std::shared_ptr<ServerSearchView>(
      new ServerSearchView(std::move(services), std::move(request)));
}

ServerSearchView::ServerSearchView(AppServices services, FoliumSearchRequest request)
    : services_(std::move(services)), request_(std::move(request)) {}

ServerSearchView::~ServerSearchView() {
  if (cancellation_) cancellation_->cancel();
  for (auto& thread : searches_) {
    if (thread.joinable()) thread.join();
  }
}

UiText ServerSearchView::windowTitle() const {
  return {QT_TRANSLATE_NOOP("folium", "Recherche : « %1 »"), {request_.query}};
}

UiText ServerSearchView::headline() const {
  return {QT_TRANSLATE_NOOP("folium", "« %1 »"), {request_.query}};
}

UiText ServerSearchView::message() const {
  switch (phase_.kind) {
    case Phase::Kind::loading:
      return {};
    case Phase::Kind::loaded:
      if (!hits_.empty()) return {};
      return {QT_TRANSLATE_NOOP("folium", "Aucun résultat pour « %1 »."), {request_.query}};
    case Phase::Kind::noInstance:
      return {
          QT_TRANSLATE_NOOP("folium", "Aucune instance Folium correspondante n'est connectée.")};
    case Phase::Kind::error:
      return {QT_TRANSLATE_NOOP("folium", "Erreur de recherche : %1"), {phase_.error}};
  }
  return {};
}

std::string ServerSearchView::rowExcerpt(const SearchHit& hit) {
  std::string excerpt = hit.excerpt.value_or("");
  for (char& c : excerpt) {
    if (c == '\n') c = ' ';
  }
  return excerpt;
}

void ServerSearchView::changed() {
  if (onChange_) onChange_();
}

void ServerSearchView::setRequest(FoliumSearchRequest request, std::function<void()> done) {
  request_ = std::move(request);
  start(std::move(done));
}

void ServerSearchView::start(std::function<void()> done) {
  const std::uint64_t run = ++currentRun_;
  if (cancellation_) cancellation_->cancel();
  cancellation_.reset();
  phase_ = Phase::loading();
  changed();
  resolve(services_, request_.drive,
          [weak = weak_from_this(), main = services_.mainThread, run,
           done = std::move(done)](std::optional<SearchContext> context) {
            main->post([weak, run, context = std::move(context), done] {
              if (auto self = weak.lock()) self->finishRun(run, context, done);
            });
          });
}

void ServerSearchView::finishRun(std::uint64_t run, std::optional<SearchContext> context,
                                 std::function<void()> done) {
  if (run != currentRun_) return;  // a newer run owns the window now
  if (!context) {
    phase_ = Phase::noInstance();
    changed();
    if (done) done();
    return;
  }
  instanceName_ = context->provisioning.displayName;
  context_ = context;
  changed();

  platform::CancellationToken token;
  cancellation_ = token;
  const FoliumClient client =
      FoliumClient(context->provisioning.config(), services_.http).withCancellation(token);
  searches_.emplace_back([weak = weak_from_this(), main = services_.mainThread, run, client,
                          query = request_.query, done = std::move(done)] {
    std::variant<std::vector<SearchHit>, std::string> outcome;
    try {
      outcome = client.search(query, kSearchLimit);
    } catch (const std::exception& e) {
      outcome = std::string(e.what());
    } catch (...) {
      outcome = std::string("unexpected failure");
    }
    main->post([weak, run, outcome = std::move(outcome), done] {
      auto self = weak.lock();
      if (!self || run != self->currentRun_) return;
      if (const auto* hits = std::get_if<std::vector<SearchHit>>(&outcome)) {
        self->hits_ = *hits;
        self->phase_ = Phase::loaded();
      } else {
        self->phase_ = Phase::failed(std::get<std::string>(outcome));
      }
      self->changed();
      if (done) done();
    });
  });
}

void ServerSearchView::openHit(const SearchHit& hit, std::function<void(OpenedWith)> done) {
  if (!context_) {
    if (done) done(OpenedWith::nothing);
    return;
  }
  app::openHit(services_, hit, context_->domain, std::move(done));
}

}  // namespace folium::app
