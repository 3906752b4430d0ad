#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app_services.hpp"
#include "app/qt/clamped_label.hpp"
#include "app/qt/qt_services.hpp"
#include "platform/desktop/workspace_fake.hpp"
#include "platform/fileprovider/fake_file_provider_manager.hpp"
#include "platform/http/curl_http_session.hpp"
#include "platform/secrets/file_secret_store.hpp"
#include "tests/app/app_harness.hpp"

namespace folium::testing {

// The one QApplication of the test binary, on the offscreen platform unless the run
// chose another (QT_QPA_PLATFORM).
inline QApplication& qtApp() {
  static int argc = 1;
  static char name[] = "app_qt_tests";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Runs the event loop until `done` holds; false when it did not within `limit` (a safety
// net against a lost completion, not a timing promise).
template <typename Done>
bool processEventsUntil(Done done, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The visible control of `root` whose text is `text` exactly, or null.
template <typename Widget = QAbstractButton>
Widget* findByText(const QWidget* root, const QString& text) {
  for (Widget* widget : root->findChildren<Widget*>()) {
    if (widget->isVisibleTo(root) && widget->text() == text) return widget;
  }
  return nullptr;
}

// Every visible text of `root`, labels and buttons, in creation order.
inline std::vector<std::string> visibleTexts(const QWidget* root) {
  std::vector<std::string> texts;
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(root)) continue;
    if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty()) {
      texts.push_back(label->text().toStdString());
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget);
               button && !button->text().isEmpty()) {
      texts.push_back(button->text().toStdString());
    } else if (auto* clamped = qobject_cast<app::ClampedLabel*>(widget)) {
      texts.push_back(clamped->text().toStdString());
    }
  }
  return texts;
}

// Real store (files in a temporary folder), real main queue (the Qt event loop), fakes for
// the service, the desktop and the open panel.
struct QtFixture {
  TempDir dir;
  std::shared_ptr<platform::FakeFileProviderManager> manager =
      platform::FakeFileProviderManager::make(
          platform::FakeFileProviderManager::Delivery::automatic);
  std::shared_ptr<platform::FakeWorkspace> workspace = std::make_shared<platform::FakeWorkspace>();
  std::shared_ptr<app::testing::ScriptedOpenPanel> openPanel =
      std::make_shared<app::testing::ScriptedOpenPanel>();
  QObject mainThreadOwner;
  app::AppServices services{
      .store = SharedStore(SharedStore::appGroupID,
                           std::make_shared<platform::FileSecretStore>(dir / "secrets")),
      .manager = manager,
      .workspace = workspace,
      .openPanel = openPanel,
      .fileSystem = std::make_shared<app::LocalFileSystem>(),
      .mainThread = std::make_shared<app::QtMainThreadPoster>(&mainThreadOwner),
      .http = std::make_shared<platform::CurlHttpSession>(),
  };

  QtFixture() { qtApp(); }

  // A profile file for an instance, written in the temporary folder.
  std::filesystem::path profileFile(const std::string& name, const std::string& url,
                                    const std::string& displayName) {
    return app::testing::writeProfile(dir / name, url, displayName, "t-" + displayName);
  }
};

}  // namespace folium::testing
