#include "app/qt/folium_application.hpp"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>

#include "app/connections_view.hpp"
#include "app/domain_operations.hpp"
#include "app/qt/app_menu.hpp"
#include "app/qt/connections_window.hpp"
#include "app/qt/search_window.hpp"
#include "app/server_search_view.hpp"

namespace folium::app {
FoliumApplication::FoliumApplication(AppServices services, Options options, QObject* parent)
    : QObject(parent), services_(std::move(services)), options_(options) {
  menu_ = new QMenu(tr("Folium"));
  appMenu_ = new AppMenu(
      menu_, [this] { return services_.store.all(); }, this);
  connect(appMenu_, &AppMenu::refreshAllRequested, this, &FoliumApplication::refreshAll);
  connect(appMenu_, &AppMenu::openMainRequested, this, [this] {
    activate();
    openMainWindow();
  });
  connect(appMenu_, &AppMenu::quitRequested, this, &FoliumApplication::quitRequested);

  if (options_.withTray) {
    tray_ = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/FoliumMenuBar.svg")), this);
    tray_->setToolTip(tr("Folium"));
    tray_->setContextMenu(menu_);
    // A click opens the same menu as the context click: the icon is a menu, as in a
    // desktop's panel.
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
            });
    tray_->show();
  }
}

FoliumApplication::~FoliumApplication() {
  // Deleting a window erases its entry.
  while (!searches_.empty()) delete searches_.begin()->second;
  delete main_.data();
  delete menu_;
}

void FoliumApplication::launch() {
  reconcileDomains(services_, [] {});
  if (!options_.withTray) openMainWindow();
}

void FoliumApplication::openArguments(const QStringList& urls) {
  if (urls.isEmpty()) {
    activate();
    openMainWindow();
    return;
  }
  for (const QString& url : urls) {
    // A profile file opened from the desktop says how its import went in the main window
    // it opened, and the list shows the new instance: a file that is not a profile must not
    // vanish without a word.
    handleOpenURL(url.toStdString(), *this, services_, [this](const ImportOutcome& outcome) {
      if (main_ != nullptr) main_->view().showImportOutcome(outcome);
    });
  }
}

void FoliumApplication::activate() {
  // The window that opens next is raised and activated by openMainWindow() or
  // openSearchWindow(); a Qt application has nothing else to bring forward.
}

void FoliumApplication::openMainWindow() {
  if (main_ == nullptr) {
    auto view = ConnectionsView::create(services_, services_.store.all(), {});
    main_ = new ConnectionsWindow(view);
    main_->setAttribute(Qt::WA_DeleteOnClose);
    if (!options_.withTray) {
      auto* bar = new QMenuBar;
      bar->addMenu(menu_);
      main_->setMenuBar(bar);
      connect(main_, &ConnectionsWindow::closed, this, &FoliumApplication::quitRequested);
    }
    view->appear();
  }
  main_->show();
  main_->raise();
  main_->activateWindow();
}

void FoliumApplication::openSearchWindow(const FoliumSearchRequest& request) {
  SearchWindow*& window = searches_[request];
  if (window == nullptr) {
    window = new SearchWindow(ServerSearchView::create(services_, request));
    window->setAttribute(Qt::WA_DeleteOnClose);
    // By the time `destroyed` is emitted the window is only a QObject: the entry is found by
    // its request, never through the window.
    connect(window, &QObject::destroyed, this, [this, request] { searches_.erase(request); });
  }
  window->show();
  window->raise();
  window->activateWindow();
}

ConnectionsWindow* FoliumApplication::mainWindow() const { return main_.data(); }

SearchWindow* FoliumApplication::searchWindow(const FoliumSearchRequest& request) const {
  auto found = searches_.find(request);
  return found == searches_.end() ? nullptr : found->second;
}

void FoliumApplication::refreshAll() { app::refreshAll(services_, {}); }

}  // namespace folium::app
