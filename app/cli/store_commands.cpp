#include <boost/json.hpp>
#include <iostream>
#include <memory>

#include "app/cli/cli_context.hpp"
#include "core/shared_store.hpp"

namespace folium::app {
namespace {

// The token goes out only when the user asked for it with --show-token.
boost::json::object profileJson(const FoliumProvisioning& profile, bool showToken) {
  boost::json::object object;
  object["domainIdentifier"] = profile.domainIdentifier();
  object["instance_url"] = profile.instanceURL.absoluteString();
  object["display_name"] = profile.displayName;
  if (showToken) object["token"] = profile.token;
  return object;
}

SharedStore openStore() { return SharedStore(SharedStore::appGroupID); }

// A read that must succeed: an unreadable store is a failure, never an empty list.
StoreContents readStore(const SharedStore& store, std::string_view when = {}) {
  StoreContents contents = store.contents();
  if (contents.state == StoreContents::State::unreadable) {
    throw CliFailure("cannot read the profile store" + std::string(when) + ": " + contents.message);
  }
  return contents;
}

void check(const StoreResult& result) {
  if (!result.ok) throw CliFailure(result.message);
}

}  // namespace

void addStoreCommands(CLI::App& app, CliContext& context) {
  CLI::App* store = app.add_subcommand("store", "the shared profile store");
  store->require_subcommand(1);
  store->fallthrough();

  auto command = [&](const char* name, const char* description) {
    CLI::App* sub = store->add_subcommand(name, description);
    sub->fallthrough();
    return sub;
  };

  {
    auto* sub = command("list", "print every stored profile as one JSON array");
    auto showToken = std::make_shared<bool>(false);
    sub->add_flag("--show-token", *showToken, "include the tokens");
    sub->callback([showToken] {
      const StoreContents contents = readStore(openStore());
      boost::json::array array;
      for (const auto& profile : contents.profiles) {
        array.push_back(profileJson(profile, *showToken));
      }
      std::cout << boost::json::serialize(array) << '\n';
    });
  }
  {
    auto* sub = command("get", "print the profile stored under a domain identifier");
    auto domain = std::make_shared<std::string>();
    sub->add_option("DOMAIN", *domain, "domain identifier")->required();
    auto showToken = std::make_shared<bool>(false);
    sub->add_flag("--show-token", *showToken, "include the token");
    sub->callback([domain, showToken] {
      const SharedStore store = openStore();
      auto profile = store.provisioning(*domain);
      if (!profile) {
        (void)readStore(store);  // an unreadable store says so, not "no profile"
        throw CliFailure("no profile stored for " + *domain);
      }
      std::cout << boost::json::serialize(profileJson(*profile, *showToken)) << '\n';
    });
  }
  {
    auto* sub = command("save", "store the profile of a .foliumprofile file");
    auto file = std::make_shared<std::string>();
    sub->add_option("FILE", *file, "profile file")->required();
    sub->callback([file] {
      const FoliumProvisioning profile = readProfileFile(*file);
      const SharedStore store = openStore();
      check(store.save(profile));
      // A store that accepts a write and loses it must not look like a success.
      const std::string id = profile.domainIdentifier();
      (void)readStore(store, " back");
      if (store.provisioning(id) != profile) {
        throw CliFailure("the profile store did not keep the profile for " + id);
      }
      std::cout << id << '\n';
    });
  }
  {
    auto* sub = command("remove", "remove the profile stored under a domain identifier");
    auto domain = std::make_shared<std::string>();
    sub->add_option("DOMAIN", *domain, "domain identifier")->required();
    sub->callback([domain] {
      const SharedStore store = openStore();
      check(store.remove(*domain));
      const StoreContents contents = readStore(store, " back");
      if (contents.state != StoreContents::State::stored || store.provisioning(*domain)) {
        throw CliFailure("the profile store still holds a profile for " + *domain);
      }
    });
  }
  command("clear", "delete the profile store with every profile")->callback([] {
    const SharedStore store = openStore();
    check(store.clearAll());
    if (readStore(store, " back").state != StoreContents::State::absent) {
      throw CliFailure("the profile store still exists after clearing it");
    }
  });

  (void)context;  // the store commands name their profiles themselves
}

}  // namespace folium::app
