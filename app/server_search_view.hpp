#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_services.hpp"
#include "app/folium_search_request.hpp"
#include "app/hit_opening.hpp"
#include "app/ui_text.hpp"
#include "core/folium_provisioning.hpp"
#include "core/records.hpp"
#include "platform/fileprovider/domain.hpp"
#include "platform/http/http_session.hpp"

namespace folium::app {

// What a search window shows.
struct Phase {
  enum class Kind { error, loading, loaded, noInstance };
  Kind kind = Kind::loading;
  std::string error;  // `error` only: the failure's description

  static Phase loading() { return {Kind::loading, {}}; }
  static Phase loaded() { return {Kind::loaded, {}}; }
  static Phase noInstance() { return {Kind::noInstance, {}}; }
  static Phase failed(std::string description) { return {Kind::error, std::move(description)}; }

  bool operator==(const Phase&) const = default;
};

// The instance a search runs against: its domain and its stored profile.
struct SearchContext {
  platform::FileProviderDomain domain;
  FoliumProvisioning provisioning;
};

// The registered domain whose drive folder is called `drive` (the first one when none is,
// or when `drive` is none) and its stored profile; none when no domain is registered or the
// chosen one has no profile. The completion runs on any thread.
void resolve(const AppServices& services, const std::optional<std::string>& drive,
             std::function<void(std::optional<SearchContext>)> completion);

// The local location of a domain's root folder, or none. The completion runs on any thread.
void userVisibleRoot(const std::shared_ptr<platform::DomainManager>& manager,
                     std::function<void(std::optional<std::filesystem::path>)> completion);

// One search window: its request, the phase it shows, the hits, the instance's name and the
// instance itself once resolved.
//
// Threading: create it, call it and read it on the main thread only; the search runs on a
// thread of its own and its results reach the state on the main thread, each change followed
// by the change callback.
//
// Lifetime: owned through shared_ptr. Destroying the view cancels its search and waits for
// the search thread to end.
class ServerSearchView : public std::enable_shared_from_this<ServerSearchView> {
 public:
  static constexpr int kSearchLimit = 50;

  static std::shared_ptr<ServerSearchView> create(AppServices services,
                                                  FoliumSearchRequest request);
  ~ServerSearchView();

  const FoliumSearchRequest& request() const { return request_; }
  const Phase& phase() const { return phase_; }
  // The last successful result, in the server's order.
  const std::vector<SearchHit>& hits() const { return hits_; }
  // The chosen instance's display name; empty until one was resolved.
  const std::string& instanceName() const { return instanceName_; }
  const std::optional<SearchContext>& context() const { return context_; }

  // "Recherche : « query »".
  UiText windowTitle() const;
  // "« query »".
  UiText headline() const;
  // The message shown instead of a list: for no hits, no instance and an error; empty while
  // loading and when there are hits.
  UiText message() const;
  // A hit's excerpt as its row shows it: every line feed replaced by a space; empty when
  // there is none.
  static std::string rowExcerpt(const SearchHit& hit);

  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  // Runs the search: resolves the instance, then asks its server. A run started while
  // another is under way cancels it; only the newest run writes the state. `done` runs on
  // the main thread when this run has written its outcome (never for a run replaced first).
  void start(std::function<void()> done = {});
  // Replaces the request and runs the search again.
  void setRequest(FoliumSearchRequest request, std::function<void()> done = {});
  // Pressing a hit's row: nothing while no instance is resolved; otherwise opens the hit.
  void openHit(const SearchHit& hit, std::function<void(OpenedWith)> done = {});

 private:
  ServerSearchView(AppServices services, FoliumSearchRequest request);
  void changed();
  // The state as one run leaves it, written on the main thread when the run is current.
  void finishRun(std::uint64_t run, std::optional<SearchContext> context,
                 std::function<void()> done);

  AppServices services_;
  FoliumSearchRequest request_;
  Phase phase_ = Phase::loading();
  std::vector<SearchHit> hits_;
  std::string instanceName_;
  std::optional<SearchContext> context_;
  std::function<void()> onChange_;

  std::uint64_t currentRun_ = 0;
  std::optional<platform::CancellationToken> cancellation_;
  std::vector<std::thread> searches_;  // joined by the destructor
};

}  // namespace folium::app
