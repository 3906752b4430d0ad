// Search links, the search window against a real devserver, and opening hits.

#include <gtest/gtest.h>

#include "app/server_search_view.hpp"
#include "app/url_entry.hpp"
#include "core/folium_client.hpp"
#include "tests/app/app_harness.hpp"
#include "tests/devserver/api_client.hpp"
#include "tests/support/devserver.hpp"

namespace folium::app::testing {
namespace {

using ::testing::ElementsAre;

TEST(SearchLinks, ParseOnlyFoliumSearchWithAQuery) {
  struct Case {
    std::string url;
    std::optional<FoliumSearchRequest> expected;
  };
  const std::vector<Case> cases = {
      {"folium://search?q=rapport", FoliumSearchRequest{"rapport", std::nullopt}},
      {"folium://search?q=a&q=b", FoliumSearchRequest{"a", std::nullopt}},
      {"folium://search?q=a+b&drive=Mon%20disque", FoliumSearchRequest{"a+b", "Mon disque"}},
      {"folium://search?drive=X&q=%C3%A9t%C3%A9&drive=Y", FoliumSearchRequest{"été", "X"}},
      {"folium://search?q=x&drive", FoliumSearchRequest{"x", std::nullopt}},
      {"folium://search?q=x&drive=", FoliumSearchRequest{"x", ""}},
      {"folium://search?q=&drive=X", std::nullopt},
      {"folium://search?q&drive=X", std::nullopt},
      {"folium://search", std::nullopt},
      {"folium://open?q=x", std::nullopt},
      {"Folium://search?q=x", std::nullopt},
      {"folium:search?q=x", std::nullopt},
      {"folium://search?q=%zz", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoliumSearchRequest::fromURL(c.url), c.expected) << c.url;
  }

  const FoliumSearchRequest withDrive{"x", "D"}, without{"x", std::nullopt};
  EXPECT_EQ(boost::json::serialize(without.toJson()), R"({"query":"x"})");
  EXPECT_EQ(FoliumSearchRequest::fromJson(withDrive.toJson()), withDrive);
  EXPECT_EQ(FoliumSearchRequest::fromJson(boost::json::parse(R"({"drive":"D"})")), std::nullopt);
}

class RecordingShell final : public AppShell {
 public:
  std::vector<std::string> actions;
  void activate() override { actions.push_back("activate"); }
  void openMainWindow() override { actions.push_back("main"); }
  void openSearchWindow(const FoliumSearchRequest& request) override {
    actions.push_back("search " + request.query);
  }
};

TEST(UrlEntry, RoutesSearchLinksAndProfileFilesAndIgnoresTheRest) {
  AppHarness h;
  const auto profile = h.profileFile("https://bureau.example", "Bureau");
  std::filesystem::copy_file(profile, h.dir / "Mon Bureau.FOLIUMPROFILE");
  const auto json = h.dir / "Bureau.json";
  std::filesystem::copy_file(profile, json);

  struct Case {
    std::string url;
    OpenURLAction action;
    std::vector<std::string> shell;
  };
  const std::vector<Case> cases = {
      {"folium://search?q=plan", OpenURLAction::search, {"activate", "search plan"}},
      {urlFromArgument("Mon Bureau.FOLIUMPROFILE", h.dir.path()),
       OpenURLAction::importProfile,
       {"activate", "main"}},
      {urlFromArgument(json.string(), "/elsewhere"), OpenURLAction::ignored, {}},
      {"folium://open?q=x", OpenURLAction::ignored, {}},
      {"https://bureau.example/x.foliumprofile", OpenURLAction::ignored, {}},
  };
  std::vector<ImportOutcome> imported;
  for (const auto& c : cases) {
    RecordingShell shell;
    EXPECT_EQ(handleOpenURL(c.url, shell, h.services,
                            [&](ImportOutcome outcome) { imported.push_back(outcome); }),
              c.action)
        << c.url;
    EXPECT_EQ(shell.actions, c.shell) << c.url;
  }
  h.settle();
  ASSERT_EQ(imported.size(), 1u);
  EXPECT_EQ(std::get<FoliumProvisioning>(imported[0]).displayName, "Bureau");
  EXPECT_THAT(identifiers(h.manager->domains()), ElementsAre("folium-bureau-example Bureau"));

  EXPECT_EQ(urlFromArgument("a b/é.foliumprofile", "/home/u"),
            "file:///home/u/a%20b/%C3%A9.foliumprofile");
  // A link typed with raw accents and spaces, as a terminal hands it over.
  const std::string typed = urlFromArgument("folium://search?q=réunion d'équipe%21", "/home/u");
  EXPECT_EQ(typed, "folium://search?q=r%C3%A9union%20d'%C3%A9quipe%21");
  EXPECT_EQ(FoliumSearchRequest::fromURL(typed), (FoliumSearchRequest{"réunion d'équipe!", {}}));
  EXPECT_EQ(pathFromFileURL("file://localhost/home/u/a%20b"), "/home/u/a b");
  EXPECT_EQ(pathFromFileURL("file://other/home/u"), std::nullopt);
}

TEST(HitOpening, MarkdownGoesToTheEditorOtherFilesToTheDefaultAndNothingElseOpens) {
  AppHarness h;
  const platform::FileProviderDomain domain{"folium-d", "D"};
  h.manager->setDomains({domain});
  std::filesystem::create_directories(h.dir / "D/folder");
  for (const char* name : {"a.md", "b.MD", "d.txt", "e"}) {
    folium::testing::writeFile(h.dir / "D" / name, "x");
  }
  struct Case {
    std::string file;  // empty: the service has no location for the item
    bool editorInstalled;
    std::string opened;  // what the workspace was asked; empty: nothing
  };
  const std::string d = (h.dir / "D").string();
  const std::vector<Case> cases = {
      {"a.md", true, "app fr.quenor.scrivel.desktop " + d + "/a.md"},
      {"b.MD", true, "app fr.quenor.scrivel.desktop " + d + "/b.MD"},
      {"d.txt", true, "path " + d + "/d.txt"},
      {"e", true, "path " + d + "/e"},
      {"a.md", false, "path " + d + "/a.md"},
      {"folder", true, ""},
      {"missing.md", true, ""},
      {"", true, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + (c.editorInstalled ? " with the editor" : " without the editor"));
    auto workspace = std::make_shared<platform::FakeWorkspace>();
    if (c.editorInstalled) workspace->install({"fr.quenor.scrivel.desktop", "Scrivel"});
    AppServices services = h.services;
    services.workspace = workspace;
    const SearchHit hit{"DocumentFile", std::to_string(n++), "n", {}, {}, {}, {}, {}};
    h.manager->setUserVisibleURL(
        domain.identifier, "do:" + hit.entityId,
        c.file.empty() ? std::nullopt : std::optional(h.dir / "D" / c.file));
    std::optional<OpenedWith> opened;
    openHit(services, hit, domain, [&](OpenedWith with) { opened = with; });
    h.settle();
    ASSERT_TRUE(opened);
    EXPECT_EQ(workspace->opened(),
              c.opened.empty() ? std::vector<std::string>{} : std::vector{c.opened});
  }
}

// A search window on a real devserver, its drive registered with the fake manager.
class SearchWindow : public ::testing::Test {
 protected:
  SearchWindow() {
    const std::string ws = devserver::testing::createWorkspace(server_, "Projets");
    const FoliumClient client = server_.client();
    plan_ = client
                .createDocument(ws, std::nullopt, "Plan de charge.md",
                                "Le plan de charge\ndu trimestre")
                .id;
    client.createDocument(ws, std::nullopt, "Budget.txt", "Budget prévisionnel");
    // Another instance that refuses the token, reached by another host name.
    std::string other = server_.baseURL();
    other.replace(other.find("127.0.0.1"), 9, "localhost");
    const auto refused = h.profileFile(other, "Autre", "wrong-token");
    EXPECT_TRUE(
        h.services.store.save(FoliumProvisioning::decode(folium::testing::readFile(refused))).ok);
    EXPECT_TRUE(h.services.store.save(profile_).ok);
    h.manager->setDrivesFolder(h.dir / "Folium");
    h.manager->setDomains({{"folium-localhost", "Autre"}, {profile_.domainIdentifier(), "Test"}});
  }

  // Starts the run and waits for the window's outcome.
  void run(const std::shared_ptr<ServerSearchView>& view) {
    bool done = false;
    view->start([&] { done = true; });
    ASSERT_TRUE(h.queue->runUntil([&] {
      h.manager->deliverAll();
      return done;
    }));
  }

  folium::testing::Devserver server_;
  AppHarness h;
  FoliumProvisioning profile_ =
      FoliumProvisioning::decode(folium::testing::readFile(server_.profilePath()));
  std::string plan_;
};

TEST_F(SearchWindow, FindsTheDriveByItsFolderAndShowsEachPhase) {
  auto view = ServerSearchView::create(h.services, {"plan", "Test"});
  int changes = 0;
  view->setOnChange([&] { ++changes; });
  EXPECT_EQ(view->windowTitle().french(), "Recherche : « plan »");
  run(view);
  EXPECT_EQ(view->phase(), Phase::loaded());
  EXPECT_EQ(view->instanceName(), "Test");
  ASSERT_EQ(view->hits().size(), 1u);
  EXPECT_EQ(view->hits()[0].entityId, plan_);
  EXPECT_EQ(view->message().french(), "");
  EXPECT_GE(changes, 2);

  view->setRequest({"introuvable", "Test"});
  ASSERT_TRUE(h.queue->runUntil([&] {
    h.manager->deliverAll();
    return view->phase() != Phase::loading();
  }));
  EXPECT_EQ(view->message().french(), "Aucun résultat pour « introuvable ».");

  // A drive no domain has: the first registered instance, which refuses the token.
  auto other = ServerSearchView::create(h.services, {"plan", "Ailleurs"});
  run(other);
  EXPECT_EQ(other->instanceName(), "Autre");
  EXPECT_EQ(other->phase().kind, Phase::Kind::error);
  EXPECT_TRUE(other->message().french().starts_with("Erreur de recherche : "))
      << other->message().french();
  ASSERT_TRUE(other->context());
  EXPECT_EQ(other->context()->domain.identifier, "folium-localhost");

  h.manager->setDomains({});
  auto none = ServerSearchView::create(h.services, {"plan", std::nullopt});
  run(none);
  EXPECT_EQ(none->message().french(), "Aucune instance Folium correspondante n'est connectée.");
  bool pressed = false;
  none->openHit(SearchHit{"DocumentFile", plan_, "Plan de charge.md", {}, {}, {}, {}, {}},
                [&](OpenedWith with) { pressed = with == OpenedWith::nothing; });
  EXPECT_TRUE(pressed);
}

TEST_F(SearchWindow, ANewerRunReplacesOneStillUnderWay) {
  h.manager->setDomains({{profile_.domainIdentifier(), "Test"}});
  auto view = ServerSearchView::create(h.services, {"budget", std::nullopt});
  view->start();
  bool newerDone = false;
  view->setRequest({"plan", std::nullopt}, [&] { newerDone = true; });
  EXPECT_THAT(h.manager->pending(), ElementsAre("getDomains", "getDomains"));
  h.manager->deliver(1);  // the newer run resolves first and completes
  ASSERT_TRUE(h.queue->runUntil([&] { return newerDone; }));
  h.manager->deliver(0);  // then the older one's listing arrives: it must not write
  h.queue->runPending();
  EXPECT_EQ(view->phase(), Phase::loaded());
  ASSERT_EQ(view->hits().size(), 1u);
  EXPECT_EQ(view->hits()[0].entityId, plan_);
}

}  // namespace
}  // namespace folium::app::testing
