#include <boost/json.hpp>
#include <future>
#include <iostream>
#include <memory>

#include "app/cli/service_commands.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/service_connection.hpp"
#include "platform/fileprovider/service/service_manager.hpp"

namespace folium::app {
namespace {

using platform::ErrorPtr;
using platform::FileProviderDomain;

// Waits for one manager call; an error completes the command with its description.
void check(const ErrorPtr& error) {
  if (error) throw CliFailure(error->description());
}

template <typename Call>
ErrorPtr waitForCompletion(Call call) {
  std::promise<ErrorPtr> done;
  auto result = done.get_future();
  call([&done](ErrorPtr error) { done.set_value(std::move(error)); });
  return result.get();
}

// "@root", "@workingset" and "@trash" name the service's own containers.
std::string itemIdentifier(const std::string& text) {
  if (text == "@root") return std::string(platform::NSFileProviderRootContainerItemIdentifier);
  if (text == "@workingset") {
    return std::string(platform::NSFileProviderWorkingSetContainerItemIdentifier);
  }
  if (text == "@trash") return std::string(platform::NSFileProviderTrashContainerItemIdentifier);
  return text;
}

std::shared_ptr<platform::DomainManager> domainManager(platform::FileProviderManager& manager,
                                                       const std::string& identifier) {
  auto domain = manager.managerForDomain({identifier, identifier});
  if (!domain) {
    throw CliFailure("no drive is registered as \"" + identifier +
                     "\"; `foliumctl domains list` shows the registered ones");
  }
  return domain;
}

}  // namespace

void addDomainsCommands(CLI::App& app, CliContext&) {
  CLI::App* domains = app.add_subcommand("domains", "the drive service's list of drives");
  domains->require_subcommand(1);
  domains->fallthrough();
  auto command = [&](const char* name, const char* description) {
    CLI::App* sub = domains->add_subcommand(name, description);
    sub->fallthrough();
    return sub;
  };

  command("list", "print the registered drives as one JSON array, in registration order")
      ->callback([] {
        platform::service::ServiceConnection connection;
        const boost::json::object reply =
            connection.callAndWait(boost::json::object{{"op", "getDomains"}});
        if (const auto* error = reply.if_contains("error"); error && !error->is_null()) {
          check(platform::service::errorFromJson(*error));
        }
        const boost::json::value* list = reply.if_contains("domains");
        std::cout << boost::json::serialize(list ? *list : boost::json::array()) << '\n';
      });
  {
    auto* sub = command("add", "register a drive (again: it takes the new name)");
    auto identifier = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    sub->add_option("ID", *identifier, "domain identifier")->required();
    sub->add_option("NAME", *name, "display name")->required();
    sub->callback([identifier, name] {
      auto manager = platform::makeServiceManager();
      check(waitForCompletion([&](auto done) {
        manager->addDomain(FileProviderDomain{*identifier, *name}, done);
      }));
    });
  }
  {
    auto* sub = command("remove", "unregister a drive and unmount it");
    auto identifier = std::make_shared<std::string>();
    sub->add_option("ID", *identifier, "domain identifier")->required();
    sub->callback([identifier] {
      auto manager = platform::makeServiceManager();
      check(waitForCompletion([&](auto done) {
        manager->removeDomain(FileProviderDomain{*identifier, *identifier}, done);
      }));
    });
  }
  command("remove-all", "unregister every drive")->callback([] {
    auto manager = platform::makeServiceManager();
    check(waitForCompletion([&](auto done) { manager->removeAllDomains(done); }));
  });
  {
    auto* sub = command("signal", "ask a drive to look for changes on the server now");
    auto identifier = std::make_shared<std::string>();
    auto container = std::make_shared<std::string>("@workingset");
    sub->add_option("ID", *identifier, "domain identifier")->required();
    sub->add_option("CONTAINER", *container, "@workingset (default) or @root");
    sub->callback([identifier, container] {
      auto manager = platform::makeServiceManager();
      auto domain = domainManager(*manager, *identifier);
      check(waitForCompletion(
          [&](auto done) { domain->signalEnumerator(itemIdentifier(*container), done); }));
    });
  }
  {
    auto* sub = command("url", "print the local path of an item of a drive");
    auto identifier = std::make_shared<std::string>();
    auto item = std::make_shared<std::string>();
    sub->add_option("ID", *identifier, "domain identifier")->required();
    sub->add_option("ITEM", *item, "item identifier (do:…, fo:…, ws:…) or @root")->required();
    sub->callback([identifier, item] {
      auto manager = platform::makeServiceManager();
      auto domain = domainManager(*manager, *identifier);
      std::promise<std::pair<std::optional<std::filesystem::path>, ErrorPtr>> done;
      auto result = done.get_future();
      domain->getUserVisibleURL(itemIdentifier(*item),
                                [&done](std::optional<std::filesystem::path> url, ErrorPtr error) {
                                  done.set_value({std::move(url), std::move(error)});
                                });
      auto [url, error] = result.get();
      check(error);
      if (!url) throw CliFailure("no local location for " + *item);
      std::cout << url->string() << '\n';
    });
  }
}

}  // namespace folium::app
