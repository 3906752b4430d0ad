#include "app/qt/folium_application.hpp"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QUrl>

#include "app/qt/connections_window.hpp"
#include "app/qt/search_window.hpp"
#include "tests/app_qt/qt_test_support.hpp"

namespace folium::testing {
namespace {

using app::FoliumApplication;
using app::FoliumSearchRequest;

// The menu as it opens: each entry's text, "-" for a divider; "(off)" marks entries that
// cannot be chosen.
std::vector<std::string> menuAsShown(QMenu* menu) {
  emit menu->aboutToShow();
  std::vector<std::string> entries;
  for (QAction* action : menu->actions()) {
    if (action->isSeparator()) {
      entries.push_back("-");
    } else {
      entries.push_back(action->text().toStdString() + (action->isEnabled() ? "" : " (off)"));
    }
  }
  return entries;
}

QAction* entry(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

TEST(TrayMenu, IsRebuiltFromTheStoreEachTimeItOpens) {
  QtFixture f;
  FoliumApplication application(f.services, {.withTray = true});
  QMenu* menu = application.appMenu();

  EXPECT_EQ(menuAsShown(menu), (std::vector<std::string>{"Aucune instance connectée (off)", "-",
                                                         "Ouvrir Folium…", "Quitter"}));

  ASSERT_TRUE(f.services.store.save(FoliumProvisioning::decode(
      readFile(f.profileFile("b.foliumprofile", "https://b.example", "Bureau")))));
  ASSERT_TRUE(f.services.store.save(FoliumProvisioning::decode(
      readFile(f.profileFile("a.foliumprofile", "https://a.example", "Atelier & co")))));
  EXPECT_EQ(menuAsShown(menu),
            (std::vector<std::string>{"Instances (off)", "🟢  Atelier && co (off)",
                                      "🟢  Bureau (off)", "Rafraîchir tout", "-",
                                      "Ouvrir Folium…", "Quitter"}));

  // "Rafraîchir tout" signals every drive (in the order refreshAll() keeps, tests/app).
  f.manager->setDomains({{"folium-b-example", "Bureau"}});
  entry(menu, "Rafraîchir tout")->trigger();
  ASSERT_TRUE(processEventsUntil([&] { return f.manager->calls().size() == 4; }));
  EXPECT_EQ(f.manager->calls().back(),
            "signalEnumerator folium-b-example NSFileProviderRootContainerItemIdentifier");

  QSignalSpy quit(&application, &FoliumApplication::quitRequested);
  entry(menu, "Ouvrir Folium…")->trigger();
  ASSERT_NE(application.mainWindow(), nullptr);
  EXPECT_TRUE(application.mainWindow()->isVisible());
  application.mainWindow()->close();
  EXPECT_EQ(quit.count(), 0) << "with a tray, closing the window does not quit";
  entry(menu, "Quitter")->trigger();
  EXPECT_EQ(quit.count(), 1);
}

TEST(UrlEntry, OneWindowPerRequestAndProfileFilesImport) {
  QtFixture f;
  FoliumApplication application(f.services, {.withTray = true});

  application.openArguments({"folium://search?q=rapport", "folium://search?q=rapport",
                             "folium://search?q=rapport&drive=Bureau", "folium://open?q=x",
                             "https://example.org/x.foliumprofile"});
  const FoliumSearchRequest plain{"rapport", std::nullopt};
  const FoliumSearchRequest inDrive{"rapport", "Bureau"};
  ASSERT_NE(application.searchWindow(plain), nullptr);
  ASSERT_NE(application.searchWindow(inDrive), nullptr);
  EXPECT_NE(application.searchWindow(plain), application.searchWindow(inDrive));
  EXPECT_EQ(application.mainWindow(), nullptr) << "links open no main window";

  // The same request again brings its window forward instead of opening another.
  auto* first = application.searchWindow(plain);
  application.openArguments({"folium://search?q=rapport"});
  EXPECT_EQ(application.searchWindow(plain), first);
  first->close();
  ASSERT_TRUE(processEventsUntil([&] { return application.searchWindow(plain) == nullptr; }));

  const auto profile = f.profileFile("Bureau.FOLIUMPROFILE", "https://b.example", "Bureau");
  application.openArguments(
      {QUrl::fromLocalFile(QString::fromStdString(profile.string())).toString(QUrl::FullyEncoded)});
  ASSERT_NE(application.mainWindow(), nullptr);
  auto* window = application.mainWindow();
  const auto status = [&] {
    auto* label = window->findChild<QLabel*>("status");
    return label != nullptr && label->isVisibleTo(window) ? label->text() : QString();
  };
  // The window opened with the file shows how the import went, and the new instance.
  ASSERT_TRUE(processEventsUntil([&] { return !status().isEmpty(); }));
  EXPECT_EQ(status(), "Connecté à Bureau — disponible dans le Finder.");
  EXPECT_NE(findByText(window, "Déconnecter"), nullptr);
}

TEST(WithoutTray, TheMainWindowOpensAtOnceCarriesTheMenuAndClosingItQuits) {
  QtFixture f;
  FoliumApplication application(f.services, {.withTray = false});
  QSignalSpy quit(&application, &FoliumApplication::quitRequested);
  application.launch();

  ASSERT_NE(application.mainWindow(), nullptr);
  EXPECT_TRUE(application.mainWindow()->isVisible());
  EXPECT_EQ(application.trayIcon(), nullptr);
  auto* bar = application.mainWindow()->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->actions().size(), 1);
  EXPECT_EQ(menuAsShown(bar->actions()[0]->menu()),
            (std::vector<std::string>{"Aucune instance connectée (off)", "-", "Ouvrir Folium…",
                                      "Quitter"}));

  application.mainWindow()->close();
  EXPECT_EQ(quit.count(), 1);
}

}  // namespace
}  // namespace folium::testing
