#include "platform/fileprovider/service/service_manager.hpp"

#include <cerrno>

#include "platform/fileprovider/service/domain_registry.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/service_connection.hpp"
#include "platform/fileprovider/service/service_paths.hpp"

namespace folium::platform {
namespace json = boost::json;
using service::ServiceConnection;

namespace {

ErrorPtr replyError(const json::object& reply) {
  const json::value* error = reply.if_contains("error");
  return error ? service::errorFromJson(*error) : nullptr;
}

class ServiceDomainManager final : public DomainManager {
 public:
  ServiceDomainManager(std::shared_ptr<ServiceConnection> connection, std::string identifier)
      : connection_(std::move(connection)), identifier_(std::move(identifier)) {}

  void signalEnumerator(const ItemIdentifier& containerItemIdentifier,
                        ErrorHandler completionHandler) override {
    connection_->call(
        json::object{
            {"op", "signal"}, {"identifier", identifier_}, {"item", containerItemIdentifier}},
        [done = std::move(completionHandler)](json::object reply) { done(replyError(reply)); });
  }

  void getUserVisibleURL(const ItemIdentifier& itemIdentifier,
                         URLHandler completionHandler) override {
    connection_->call(
        json::object{{"op", "url"}, {"identifier", identifier_}, {"item", itemIdentifier}},
        [done = std::move(completionHandler)](json::object reply) {
          std::optional<std::filesystem::path> url;
          if (const json::value* path = reply.if_contains("url"); path && path->is_string()) {
            url = std::string(path->as_string());
          }
          done(std::move(url), replyError(reply));
        });
  }

 private:
  std::shared_ptr<ServiceConnection> connection_;
  std::string identifier_;
};

class ServiceManager final : public FileProviderManager {
 public:
  ServiceManager() : connection_(std::make_shared<ServiceConnection>()) {}

  void addDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) override {
    call(json::object{{"op", "addDomain"},
                      {"identifier", domain.identifier},
                      {"displayName", domain.displayName}},
         std::move(completionHandler));
  }

  void removeDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) override {
    call(json::object{{"op", "removeDomain"}, {"identifier", domain.identifier}},
         std::move(completionHandler));
  }

  void removeAllDomains(ErrorHandler completionHandler) override {
    call(json::object{{"op", "removeAllDomains"}}, std::move(completionHandler));
  }

  void getDomains(DomainsHandler completionHandler) override {
    connection_->call(json::object{{"op", "getDomains"}}, [done = std::move(completionHandler)](
                                                              json::object reply) {
      std::vector<FileProviderDomain> domains;
      ErrorPtr error = replyError(reply);
      if (const json::value* list = reply.if_contains("domains");
          !error && list && list->is_array()) {
        for (const auto& entry : list->as_array()) {
          if (!entry.is_object()) continue;
          domains.push_back({service::stringMember(entry.as_object(), "identifier"),
                             service::stringMember(entry.as_object(), "displayName")});
        }
      }
      done(std::move(domains), std::move(error));
    });
  }

  // Answered from the registry file itself: it is the service's truth, and reading it needs
  // no round trip (nor a service that runs).
  std::shared_ptr<DomainManager> managerForDomain(const FileProviderDomain& domain) override {
    try {
      for (const auto& registered : service::DomainRegistry(service::registryPath()).load()) {
        if (registered.identifier == domain.identifier) {
          return std::make_shared<ServiceDomainManager>(connection_, domain.identifier);
        }
      }
    } catch (const std::exception&) {
      // An unreadable list registers nothing; the service reports why on its next call.
    }
    return nullptr;
  }

 private:
  void call(json::object request, ErrorHandler done) {
    connection_->call(std::move(request),
                      [done = std::move(done)](json::object reply) { done(replyError(reply)); });
  }

  std::shared_ptr<ServiceConnection> connection_;
};

}  // namespace

std::shared_ptr<FileProviderManager> makeServiceManager() {
  return std::make_shared<ServiceManager>();
}

}  // namespace folium::platform
