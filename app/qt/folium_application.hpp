#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <memory>
#include <unordered_map>

#include "app/app_services.hpp"
#include "app/folium_search_request.hpp"
#include "app/url_entry.hpp"

class QMenu;
class QMenuBar;
class QSystemTrayIcon;

namespace folium::app {

class AppMenu;
class ConnectionsWindow;
class SearchWindow;

// The tray application: the tray icon and its menu, the main window, one search window per
// distinct request, and the entry for the URLs and files handed to the program.
//
// Without a tray on the desktop the main window is the application: it opens at once,
// carries the menu's entries in its menu bar, and closing it quits. With a tray, closing
// windows never quits; only "Quitter" does.
//
// Threading: main thread only.
class FoliumApplication : public QObject, public AppShell {
  Q_OBJECT

 public:
  struct Options {
    // Whether a tray icon is to be shown (normally QSystemTrayIcon::isSystemTrayAvailable()).
    bool withTray = true;
  };

  FoliumApplication(AppServices services, Options options, QObject* parent = nullptr);
  ~FoliumApplication() override;

  // Launch: reconciles the registered domains with the stored profiles; without a tray,
  // shows the main window.
  void launch();
  // The arguments of a launch, as urlFromArgument() wrote them: each goes through
  // handleOpenURL(); none at all shows the main window (the user started Folium again, from
  // the menu or a terminal).
  void openArguments(const QStringList& urls);

  void activate() override;
  void openMainWindow() override;
  void openSearchWindow(const FoliumSearchRequest& request) override;

  // Open windows, for tests and screenshots.
  ConnectionsWindow* mainWindow() const;
  SearchWindow* searchWindow(const FoliumSearchRequest& request) const;
  QSystemTrayIcon* trayIcon() const { return tray_; }
  QMenu* appMenu() const { return menu_; }

 signals:
  void quitRequested();

 private:
  void refreshAll();

  AppServices services_;
  Options options_;
  QMenu* menu_ = nullptr;  // the tray's menu, or the main window's menu without a tray
  AppMenu* appMenu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QPointer<ConnectionsWindow> main_;
  // Each entry leaves the map as its window is destroyed.
  std::unordered_map<FoliumSearchRequest, SearchWindow*> searches_;
};

}  // namespace folium::app
