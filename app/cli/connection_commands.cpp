#include "app/cli/connection_commands.hpp"

#include <boost/json.hpp>
#include <iostream>
#include <map>
#include <memory>

#include "app/connections_view.hpp"
#include "app/server_search_view.hpp"
#include "core/shared_store.hpp"
#include "platform/desktop/workspace_gio.hpp"
#include "platform/fileprovider/service/service_manager.hpp"

namespace folium::app {
namespace {

// Hands the view the file named on the command line, as if the user had chosen it.
class GivenFilePanel final : public OpenPanel {
 public:
  explicit GivenFilePanel(std::filesystem::path file) : file_(std::move(file)) {}
  std::optional<std::filesystem::path> chooseFile(const UiText&) override { return file_; }

 private:
  std::filesystem::path file_;
};

// The services of one command, on foliumctl's own main queue.
struct Session {
  std::shared_ptr<MainQueue> queue = std::make_shared<MainQueue>();
  AppServices services;

  explicit Session(std::shared_ptr<OpenPanel> panel = nullptr)
      : services{SharedStore(SharedStore::appGroupID),
                 platform::makeServiceManager(),
                 std::make_shared<platform::GioWorkspace>(),
                 std::move(panel),
                 std::make_shared<LocalFileSystem>(),
                 queue,
                 platform::sharedHttpSession()} {}

  // Runs the main queue until `finished` holds. The view models never drop a completion,
  // so running out of time means the service stopped answering.
  void wait(const std::function<bool()>& finished) {
    if (!queue->runUntil(finished)) {
      throw CliFailure(
          "the drive service did not answer; check that folium-fileproviderd can start "
          "(foliumctl status)");
    }
  }

  // Runs one operation of the connection screen and waits for its end.
  bool run(const std::function<void(ConnectionsView&, ConnectionsView::Done)>& operation,
           std::string* status = nullptr) {
    auto view = ConnectionsView::create(services, services.store.all());
    std::optional<bool> result;
    operation(*view, [&result](bool ok) { result = ok; });
    wait([&result] { return result.has_value(); });
    if (status) *status = view->status().french();
    return *result;
  }
};

// Prints the status line on success; fails with it otherwise.
void report(bool succeeded, const std::string& status) {
  if (!succeeded) throw CliFailure(status);
  if (!status.empty()) std::cout << status << '\n';
}

// NAME is a stored profile's domain identifier or its display name.
FoliumProvisioning findConnection(const SharedStore& store, const std::string& name) {
  const StoreContents contents = store.contents();
  if (contents.state == StoreContents::State::unreadable) {
    throw CliFailure("cannot read the profile store: " + contents.message);
  }
  std::vector<FoliumProvisioning> named;
  for (const auto& profile : contents.profiles) {
    if (profile.domainIdentifier() == name) return profile;
    if (profile.displayName == name) named.push_back(profile);
  }
  if (named.size() == 1) return named.front();
  if (named.empty()) {
    throw CliFailure("no connection is named " + name + "; foliumctl list shows them");
  }
  throw CliFailure("several connections are named " + name +
                   "; name one by its domain identifier (foliumctl list)");
}

boost::json::object connectionJson(const FoliumProvisioning& profile) {
  return {{"domainIdentifier", profile.domainIdentifier()},
          {"instance_url", profile.instanceURL.absoluteString()},
          {"display_name", profile.displayName}};
}

CLI::App* subcommand(CLI::App& app, const char* name, const char* description) {
  CLI::App* sub = app.add_subcommand(name, description);
  sub->fallthrough();
  sub->group("Connections");
  return sub;
}

void search(const std::string& query, const std::optional<std::string>& drive) {
  Session session;
  auto view = ServerSearchView::create(session.services, {query, drive});
  bool finished = false;
  view->start([&finished] { finished = true; });
  session.wait([&finished] { return finished; });
  if (view->phase().kind != Phase::Kind::loaded) throw CliFailure(view->message().french());
  if (view->hits().empty()) {
    std::cout << view->message().french() << '\n';
    return;
  }
  // Where the drive has each hit, asked for all hits at once.
  std::map<std::size_t, std::filesystem::path> localPaths;
  std::size_t answered = 0;
  for (std::size_t i = 0; i < view->hits().size(); ++i) {
    localFile(session.services, view->hits()[i], view->context()->domain,
              [&, i, queue = session.queue](std::optional<std::filesystem::path> path) {
                queue->post([&, i, path] {
                  if (path) localPaths[i] = *path;
                  ++answered;
                });
              });
  }
  session.wait([&] { return answered == view->hits().size(); });
  for (std::size_t i = 0; i < view->hits().size(); ++i) {
    boost::json::object hit = toJson(view->hits()[i]);
    if (auto found = localPaths.find(i); found != localPaths.end()) {
      hit["localPath"] = found->second.string();
    }
    std::cout << boost::json::serialize(hit) << '\n';
  }
}

}  // namespace

void addConnectionCommands(CLI::App& app, CliContext& context) {
  {
    auto* sub = subcommand(app, "import", "store a .foliumprofile file and register its drive");
    auto file = std::make_shared<std::string>();
    sub->add_option("FILE", *file, "profile file")->required();
    sub->callback([file] {
      Session session(std::make_shared<GivenFilePanel>(*file));
      std::string status;
      const bool ok = session.run(
          [](ConnectionsView& view, ConnectionsView::Done done) { view.importProfile(done); },
          &status);
      report(ok, status);
    });
  }
  subcommand(app, "list", "print the connected instances as one JSON array")->callback([] {
    const StoreContents contents = SharedStore(SharedStore::appGroupID).contents();
    if (contents.state == StoreContents::State::unreadable) {
      throw CliFailure("cannot read the profile store: " + contents.message);
    }
    boost::json::array array;
    for (const auto& profile : contents.profiles) array.push_back(connectionJson(profile));
    std::cout << boost::json::serialize(array) << '\n';
  });
  subcommand(app, "refresh", "ask every drive to look for changes on its server")->callback([] {
    Session().run([](ConnectionsView& view, ConnectionsView::Done done) { view.refreshAll(done); });
  });
  subcommand(app, "repair", "register every drive again")->callback([] {
    std::string status;
    const bool ok = Session().run(
        [](ConnectionsView& view, ConnectionsView::Done done) { view.repairDisk(done); }, &status);
    report(ok, status);
  });
  {
    auto* sub = subcommand(app, "open", "open a drive's folder in the file manager");
    auto name = std::make_shared<std::string>();
    sub->add_option("NAME", *name, "display name or domain identifier")->required();
    sub->callback([name] {
      Session session;
      const FoliumProvisioning profile = findConnection(session.services.store, *name);
      const bool ok = session.run([&profile](ConnectionsView& view, ConnectionsView::Done done) {
        view.openInFinder(profile, done);
      });
      if (!ok) {
        throw CliFailure("cannot open the folder of " + profile.displayName +
                         ": its drive is not mounted or no file manager is available; "
                         "foliumctl repair registers the drive again");
      }
    });
  }
  {
    auto* sub = subcommand(app, "disconnect", "remove a drive and its stored profile");
    auto name = std::make_shared<std::string>();
    sub->add_option("NAME", *name, "display name or domain identifier")->required();
    sub->callback([name] {
      Session session;
      const FoliumProvisioning profile = findConnection(session.services.store, *name);
      std::string status;
      const bool ok =
          session.run([&profile](ConnectionsView& view,
                                 ConnectionsView::Done done) { view.disconnect(profile, done); },
                      &status);
      report(ok, status);
    });
  }
  subcommand(app, "reconcile", "register the drives of stored profiles, remove the others")
      ->callback([] {
        Session().run([](ConnectionsView& view, ConnectionsView::Done done) { view.appear(done); });
      });
  {
    auto* sub = subcommand(app, "search", "search a connected instance; one JSON hit per line");
    auto query = std::make_shared<std::string>();
    auto drive = std::make_shared<std::string>();
    sub->add_option("QUERY", *query, "text to search for")
        ->required()
        ->check([](const std::string& text) {
          return text.empty() ? std::string("the query is empty") : std::string();
        });
    CLI::Option* driveOption =
        sub->add_option("--drive", *drive, "the drive's folder name (default: the first drive)");
    sub->callback([query, drive, driveOption] {
      search(*query, driveOption->count() > 0 ? std::optional(*drive) : std::nullopt);
    });
  }
  (void)context;  // these commands name their instance themselves
}

}  // namespace folium::app
