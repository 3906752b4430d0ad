#include "app/qt/connections_window.hpp"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <QTranslator>

#include "app/connections_view.hpp"
#include "tests/app_qt/qt_test_support.hpp"

namespace folium::testing {
namespace {

using app::ConnectionsView;
using app::ConnectionsWindow;

QString statusText(const ConnectionsWindow& window) {
  auto* status = window.findChild<QLabel*>(QStringLiteral("status"));
  return status != nullptr && status->isVisibleTo(&window) ? status->text() : QString();
}

bool press(const QWidget& root, const QString& text) {
  QAbstractButton* button = findByText(&root, text);
  if (button == nullptr) return false;
  QTest::mouseClick(button, Qt::LeftButton);
  return true;
}

// What the operations do to the store and the drives is the view model's (tests/app); here,
// what the buttons start and what the window shows.
TEST(ConnectionsWindow, ImportOpenAndDisconnectThroughTheButtons) {
  QtFixture f;
  f.manager->setDrivesFolder(f.dir / "drives");
  f.openPanel->choices = {
      f.profileFile("bureau.foliumprofile", "https://docs.bureau.fr", "Bureau")};
  ConnectionsWindow window(ConnectionsView::create(f.services, f.services.store.all()));
  window.show();

  // Nothing connected: the placeholder, with its bold words, and only the import button.
  const auto texts = visibleTexts(&window);
  ASSERT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
    return text.find("Importe un <b>fichier de provisioning</b> téléchargé") != std::string::npos &&
           text.find("**") == std::string::npos;
  }));
  EXPECT_EQ(findByText(&window, "Rafraîchir"), nullptr);
  EXPECT_EQ(findByText(&window, "Réparer le disque"), nullptr);
  EXPECT_EQ(window.width(), 520);
  const int emptyHeight = window.height();

  ASSERT_TRUE(press(window, "Importer une instance…"));
  ASSERT_TRUE(processEventsUntil(
      [&] { return statusText(window) == "Connecté à Bureau — disponible dans le Finder."; }));
  EXPECT_EQ(
      f.openPanel->messages,
      std::vector<std::string>{"Choisis un fichier de provisioning folium (.foliumprofile)."});
  EXPECT_NE(findByText<QLabel>(&window, "Bureau"), nullptr);
  EXPECT_NE(findByText<QLabel>(&window, "https://docs.bureau.fr"), nullptr);
  for (const char* button : {"Ouvrir dans le Finder", "Déconnecter", "Rafraîchir",
                             "Réparer le disque", "Importer une instance…"}) {
    EXPECT_NE(findByText(&window, button), nullptr) << button;
  }
  EXPECT_GT(window.height(), emptyHeight) << "the window grows with its content";

  ASSERT_TRUE(press(window, "Ouvrir dans le Finder"));
  ASSERT_TRUE(processEventsUntil([&] { return !f.workspace->opened().empty(); }));
  EXPECT_EQ(f.workspace->opened(),
            std::vector<std::string>{"path " + (f.dir / "drives" / "Bureau").string()});

  ASSERT_TRUE(press(window, "Déconnecter"));
  ASSERT_TRUE(processEventsUntil([&] { return statusText(window) == "Bureau déconnectée."; }));
  EXPECT_EQ(findByText(&window, "Déconnecter"), nullptr);
  EXPECT_EQ(findByText(&window, "Rafraîchir"), nullptr);
}

// One translated status text, as a translation file would bring it.
class EnglishStatus final : public QTranslator {
 public:
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char*, int) const override {
    return QByteArray(context) == "folium" &&
                   QString::fromUtf8(source) == "Fichier de provisioning invalide : %1"
               ? QStringLiteral("Invalid profile file: %1")
               : QString();
  }
};

TEST(ConnectionsWindow, InvalidProfileSaysWhyInTheUsersLanguageAndKeepsTheList) {
  QtFixture f;
  EnglishStatus english;  // removes itself when destroyed
  QCoreApplication::installTranslator(&english);
  const auto broken = f.dir / "broken.foliumprofile";
  writeFile(broken, R"({"instance_url":"https://a.example","display_name":"A"})");
  f.openPanel->choices = {broken};
  ConnectionsWindow window(ConnectionsView::create(f.services, f.services.store.all()));
  window.show();

  ASSERT_TRUE(press(window, "Importer une instance…"));
  ASSERT_TRUE(processEventsUntil([&] { return !statusText(window).isEmpty(); }));
  EXPECT_TRUE(statusText(window).startsWith("Invalid profile file: "))
      << statusText(window).toStdString();
  EXPECT_TRUE(statusText(window).contains("token")) << statusText(window).toStdString();
  // Statuses name what files say: never read as markup.
  EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("status"))->textFormat(), Qt::PlainText);
  EXPECT_TRUE(f.services.store.all().empty());
  EXPECT_EQ(findByText(&window, "Déconnecter"), nullptr);
}

}  // namespace
}  // namespace folium::testing
