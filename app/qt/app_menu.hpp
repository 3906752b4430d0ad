#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "core/folium_provisioning.hpp"

class QMenu;

namespace folium::app {

// The application's menu: the connected instances, "Rafraîchir tout", "Ouvrir Folium…" and
// "Quitter". It is rebuilt from the store each time it opens, so it always shows the
// profiles as they are stored now. The tray icon shows it; on a desktop without a tray the
// main window carries it in its menu bar.
class AppMenu : public QObject {
  Q_OBJECT

 public:
  using Load = std::function<std::vector<FoliumProvisioning>()>;

  // `menu` is filled each time it is about to show, with the profiles `load` returns.
  AppMenu(QMenu* menu, Load load, QObject* parent = nullptr);

  // Fills the menu now.
  void rebuild();

 signals:
  void refreshAllRequested();
  void openMainRequested();
  void quitRequested();

 private:
  QMenu* menu_;
  Load load_;
};

}  // namespace folium::app
