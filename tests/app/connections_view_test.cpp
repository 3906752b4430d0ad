// The connection screen's operations against a manager whose completions the test releases.

#include "app/connections_view.hpp"

#include <gtest/gtest.h>

#include "app/domain_operations.hpp"
#include "tests/app/app_harness.hpp"

namespace folium::app::testing {
namespace {

using ::testing::ElementsAre;

class Connections : public ::testing::Test {
 protected:
  std::shared_ptr<ConnectionsView> view() {
    auto view = ConnectionsView::create(h.services, h.services.store.all());
    view->setOnChange([this] { ++changes; });
    return view;
  }

  AppHarness h;
  int changes = 0;
};

TEST_F(Connections, RepairRegistersEveryProfileAndReportsOnlyAfterTheLast) {
  h.stored("a.example", "Alpha");
  h.stored("b.example", "Bravo");
  h.stored("c.example", "Charlie");
  h.manager->setDomains({{"folium-old-example", "Old"}});
  h.manager->failNext("addDomain", platform::ErrorObject("test", 1, "refused"));
  auto v = view();
  bool done = false;
  v->repairDisk([&](bool ok) { done = ok; });
  EXPECT_EQ(v->status().french(), "Réparation du disque…");
  EXPECT_THAT(h.manager->pending(), ElementsAre("removeAllDomains"));

  h.manager->deliver();
  EXPECT_THAT(h.manager->pending(),
              ElementsAre("addDomain folium-a-example Alpha", "addDomain folium-b-example Bravo",
                          "addDomain folium-c-example Charlie"));
  h.manager->deliverInOrder({2, 0});  // Charlie (refused), then Alpha
  h.queue->runPending();
  EXPECT_EQ(v->status().french(), "Réparation du disque…");
  EXPECT_FALSE(done);

  h.manager->deliver();
  h.queue->runPending();
  EXPECT_EQ(v->status().french(), "Disque réparé — ouvre le Finder.");
  EXPECT_TRUE(done);
  EXPECT_THAT(identifiers(h.manager->domains()),
              ElementsAre("folium-a-example Alpha", "folium-b-example Bravo"));
  EXPECT_THAT(h.manager->calls(), ::testing::Contains("removeAllDomains").Times(1));
}

TEST_F(Connections, ReconciliationRemovesUnwantedRegistersMissingAndLeavesTheRest) {
  h.stored("a.example", "A");
  h.stored("b.example", "B");
  // B is registered under an older name: it stays as it is.
  h.manager->setDomains({{"folium-b-example", "B (old)"}, {"folium-c-example", "C"}});
  auto v = ConnectionsView::create(h.services, {});
  bool reloaded = false;
  v->appear([&](bool) { reloaded = true; });
  h.manager->deliver();  // the listing
  EXPECT_THAT(h.manager->pending(),
              ElementsAre("removeDomain folium-c-example", "addDomain folium-a-example A"));
  h.manager->deliverInOrder({1});
  h.queue->runPending();
  EXPECT_FALSE(reloaded);
  EXPECT_TRUE(v->connections().empty());
  h.manager->deliver();
  h.queue->runPending();
  EXPECT_TRUE(reloaded);
  EXPECT_THAT(names(v->connections()), ElementsAre("A", "B"));
  EXPECT_THAT(identifiers(h.manager->domains()),
              ElementsAre("folium-b-example B (old)", "folium-a-example A"));
}

TEST_F(Connections, OverlappingReconciliationsEndWithOneDomainPerProfile) {
  h.stored("a.example", "A");
  h.manager->setDomains({{"folium-c-example", "C"}});
  int completed = 0;
  reconcileDomains(h.services, [&] { ++completed; });  // at launch
  auto v = view();
  v->appear([&](bool) { ++completed; });  // the window appears meanwhile
  h.manager->deliverInOrder({1, 0});      // both listings see C and miss A
  EXPECT_THAT(h.manager->pending(),
              ElementsAre("removeDomain folium-c-example", "addDomain folium-a-example A",
                          "removeDomain folium-c-example", "addDomain folium-a-example A"));
  h.settle();
  EXPECT_EQ(completed, 2);
  EXPECT_THAT(identifiers(h.manager->domains()), ElementsAre("folium-a-example A"));
  EXPECT_THAT(names(v->connections()), ElementsAre("A"));
}

TEST_F(Connections, UnreadableStoreNeverTakesDrivesAway) {
  h.manager->setDomains({{"folium-a-example", "A"}});
  // The profile store's item cannot be read: a folder stands where its file should be.
  std::filesystem::create_directories(h.secrets->itemPath(SharedStore::itemKey()));
  auto v = view();
  bool repaired = true;
  v->repairDisk([&](bool ok) { repaired = ok; });
  v->appear();
  h.settle();
  EXPECT_FALSE(repaired);
  EXPECT_TRUE(v->status().french().starts_with("Réparation impossible : ")) << v->status().french();
  EXPECT_THAT(identifiers(h.manager->domains()), ElementsAre("folium-a-example A"));
  EXPECT_THAT(h.manager->calls(), ElementsAre("getDomains"));
}

TEST_F(Connections, ImportReportsEachOutcomeInTheStatusLine) {
  const auto wrongKey = h.dir / "wrong.foliumprofile";
  folium::testing::writeFile(
      wrongKey, R"({"instanceURL":"https://x.example","token":"t","display_name":"X"})");
  struct Case {
    std::string name;
    std::filesystem::path file;
    std::optional<platform::ErrorObject> registration;
    std::string status;  // expected start of the status line
    std::vector<std::string> listed;
    bool succeeded;
  };
  const std::vector<Case> cases = {
      {"valid",
       h.profileFile("https://bureau.example/", "Bureau"),
       std::nullopt,
       "Connecté à Bureau — disponible dans le Finder.",
       {"Bureau"},
       true},
      {"same host replaces",
       h.profileFile("http://bureau.example:81", "Bureau 2"),
       std::nullopt,
       "Connecté à Bureau 2 — disponible dans le Finder.",
       {"Bureau 2"},
       true},
      {"wrong key",
       wrongKey,
       std::nullopt,
       "Fichier de provisioning invalide : ",
       {"Bureau 2"},
       false},
      // A device chosen in the panel must neither block the window nor fill the memory.
      {"not a file",
       "/dev/zero",
       std::nullopt,
       "Fichier de provisioning illisible : ",
       {"Bureau 2"},
       false},
      {"refused by the service",
       h.profileFile("https://maison.example", "Maison"),
       platform::ErrorObject("test", 7, "service down"),
       "Domaine non enregistré : service down",
       {"Bureau 2", "Maison"},
       false},
  };
  auto v = view();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    h.panel->choices = {c.file};
    if (c.registration) h.manager->failNext("addDomain", *c.registration);
    std::optional<bool> result;
    v->importProfile([&](bool ok) { result = ok; });
    h.settle();
    EXPECT_EQ(h.panel->messages.back(),
              "Choisis un fichier de provisioning folium (.foliumprofile).");
    EXPECT_TRUE(v->status().french().starts_with(c.status)) << v->status().french();
    EXPECT_EQ(names(v->connections()), c.listed);
    EXPECT_EQ(result, c.succeeded);
  }
  EXPECT_THAT(identifiers(h.manager->domains()), ElementsAre("folium-bureau-example Bureau 2"));

  // A cancelled panel changes nothing.
  const std::string before = v->status().french();
  v->importProfile();
  h.settle();
  EXPECT_EQ(v->status().french(), before);
}

TEST_F(Connections, DisconnectRemovesTheProfileEvenWithoutItsDomain) {
  // A name is shown as written, even one that looks like a placeholder.
  const auto bureau = h.stored("bureau.example", "Bureau %1");
  const auto maison = h.stored("maison.example", "Maison");
  h.manager->setDomains({{"folium-maison-example", "Maison"}});
  auto v = view();
  v->disconnect(bureau);  // no domain registered
  h.settle();
  EXPECT_EQ(v->status().french(), "Bureau %1 déconnectée.");
  EXPECT_THAT(names(v->connections()), ElementsAre("Maison"));

  h.manager->failNext("removeDomain", platform::ErrorObject("test", 2, "busy"));
  v->disconnect(maison);
  h.settle();
  EXPECT_EQ(v->status().french(), "Maison déconnectée.");
  EXPECT_TRUE(v->connections().empty());
  EXPECT_FALSE(v->offersRefreshAndRepair());
  EXPECT_THAT(h.manager->calls(), ::testing::Contains("removeDomain folium-maison-example"));
}

TEST_F(Connections, RefreshSignalsEveryDriveAndOpenInFinderOpensItsFolder) {
  const auto bureau = h.stored("bureau.example", "Bureau");
  const auto maison = h.stored("maison.example", "Maison");
  h.manager->setDomains({{"folium-bureau-example", "Bureau"}, {"folium-x", "X"}});
  h.manager->setDrivesFolder(h.dir / "Folium");
  auto v = view();
  bool refreshed = false;
  v->refreshAll([&](bool ok) { refreshed = ok; });
  h.settle();
  EXPECT_TRUE(refreshed);
  EXPECT_THAT(h.manager->calls(),
              ElementsAre("getDomains", "managerForDomain folium-bureau-example",
                          "signalEnumerator folium-bureau-example "
                          "NSFileProviderWorkingSetContainerItemIdentifier",
                          "signalEnumerator folium-bureau-example "
                          "NSFileProviderRootContainerItemIdentifier",
                          "managerForDomain folium-x",
                          "signalEnumerator folium-x "
                          "NSFileProviderWorkingSetContainerItemIdentifier",
                          "signalEnumerator folium-x NSFileProviderRootContainerItemIdentifier"));
  EXPECT_EQ(changes, 0);

  std::optional<bool> openedBureau, openedMaison;
  v->openInFinder(bureau, [&](bool ok) { openedBureau = ok; });
  v->openInFinder(maison, [&](bool ok) { openedMaison = ok; });  // not registered
  h.settle();
  EXPECT_EQ(openedBureau, true);
  EXPECT_EQ(openedMaison, false);
  EXPECT_THAT(h.workspace->opened(), ElementsAre("path " + (h.dir / "Folium/Bureau").string()));
  EXPECT_EQ(v->status().french(), "");
}

}  // namespace
}  // namespace folium::app::testing
