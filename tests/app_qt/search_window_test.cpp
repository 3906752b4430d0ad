#include "app/qt/search_window.hpp"

#include <gtest/gtest.h>

#include <QTest>

#include "app/server_search_view.hpp"
#include "tests/app_qt/qt_test_support.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium::testing {
namespace {

using app::SearchWindow;
using app::ServerSearchView;

constexpr const char* kHits = R"({"results":[
  {"entity_type":"Document","entity_id":"12","name":"Rapport.MD",
   "excerpt":"première ligne\nseconde ligne"},
  {"entity_type":"Folder","entity_id":"7","name":"Archives"}],"total":2})";

struct SearchFixture : QtFixture {
  ScriptedServer server{[](const RecordedRequest& request) {
    if (request.query.find("q=vide") != std::string::npos) {
      return ScriptedResponse::json(R"({"results":[]})");
    }
    return ScriptedResponse::json(kHits);
  }};

  // A connected instance "Bureau" on the scripted server, its drive registered.
  void connect() {
    const auto profile = FoliumProvisioning::decode(
        readFile(profileFile("bureau.foliumprofile", server.baseURL(), "Bureau")));
    ASSERT_TRUE(services.store.save(profile));
    manager->setDomains({{profile.domainIdentifier(), "Bureau"}});
  }

  std::unique_ptr<SearchWindow> open(const std::string& query) {
    auto window = std::make_unique<SearchWindow>(
        ServerSearchView::create(services, app::FoliumSearchRequest{query, std::nullopt}));
    window->show();
    return window;
  }
};

QAbstractButton* hitRow(const QWidget& window, const QString& name) {
  for (auto* button : window.findChildren<QAbstractButton*>()) {
    if (button->accessibleName() == name && button->isVisibleTo(&window)) return button;
  }
  return nullptr;
}

TEST(SearchWindow, ShowsTheHitsAndOpensAMarkdownHitInTheEditor) {
  SearchFixture f;
  f.connect();
  std::filesystem::create_directory(f.dir / "drive");
  const auto file = f.dir / "drive" / "Rapport.MD";
  writeFile(file, "# Rapport");
  f.manager->setUserVisibleURL("folium-127-0-0-1", platform::ItemIdentifier("do:12"), file);
  f.workspace->install({"fr.quenor.scrivel.desktop", "Scrivel"});

  auto window = f.open("rapport");
  EXPECT_EQ(window->windowTitle(), "Recherche : « rapport »");
  EXPECT_GE(window->minimumWidth(), 580);
  EXPECT_GE(window->minimumHeight(), 440);
  EXPECT_NE(findByText<QLabel>(window.get(), "Recherche…"), nullptr) << "loading first";

  ASSERT_TRUE(processEventsUntil([&] { return hitRow(*window, "Archives") != nullptr; }));
  const auto texts = visibleTexts(window.get());
  const std::vector<std::string> expected = {"« rapport »", "Bureau", "Rapport.MD",
                                             "première ligne seconde ligne", "Archives"};
  for (const auto& text : expected) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), text), texts.end()) << text;
  }
  EXPECT_NE(hitRow(*window, "Rapport.MD")->findChild<QLabel*>("doc.text"), nullptr);
  EXPECT_NE(hitRow(*window, "Archives")->findChild<QLabel*>("folder"), nullptr);

  QTest::mouseClick(hitRow(*window, "Rapport.MD"), Qt::LeftButton);
  ASSERT_TRUE(processEventsUntil([&] { return !f.workspace->opened().empty(); }));
  EXPECT_EQ(f.workspace->opened(),
            std::vector<std::string>{"app fr.quenor.scrivel.desktop " + file.string()});
}

// Which phase shows which message is the view model's (tests/app); the window shows it.
TEST(SearchWindow, AnEndingPhaseShowsItsMessageInsteadOfTheList) {
  SearchFixture f;
  f.connect();
  auto window = f.open("vide");
  auto* message = window->findChild<QLabel*>("message");
  ASSERT_TRUE(processEventsUntil([&] { return message->isVisibleTo(window.get()); }));
  EXPECT_EQ(message->text(), "Aucun résultat pour « vide ».");
  EXPECT_EQ(findByText<QLabel>(window.get(), "Recherche…"), nullptr);
}

}  // namespace
}  // namespace folium::testing
