#include "app/qt/app_menu.hpp"

#include <QAction>
#include <QMenu>

namespace folium::app {

AppMenu::AppMenu(QMenu* menu, Load load, QObject* parent)
    : QObject(parent), menu_(menu), load_(std::move(load)) {
  connect(menu_, &QMenu::aboutToShow, this, &AppMenu::rebuild);
  rebuild();
}

void AppMenu::rebuild() {
  menu_->clear();
  const std::vector<FoliumProvisioning> profiles = load_();
  if (profiles.empty()) {
    menu_->addAction(tr("Aucune instance connectée"))->setEnabled(false);
  } else {
    // A titled section; a disabled bold entry, since not every style draws section titles.
    QAction* title = menu_->addAction(tr("Instances"));
    title->setEnabled(false);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    for (const FoliumProvisioning& profile : profiles) {
      // A name is shown as it is: "&" would otherwise mark a shortcut key.
      QString name = QString::fromStdString(profile.displayName);
      name.replace(QLatin1Char('&'), QStringLiteral("&&"));
      QAction* line = menu_->addAction(QStringLiteral("🟢  ") + name);
      line->setData(QString::fromStdString(profile.domainIdentifier()));
      line->setEnabled(false);
    }
    connect(menu_->addAction(tr("Rafraîchir tout")), &QAction::triggered, this,
            &AppMenu::refreshAllRequested);
  }
  menu_->addSeparator();
  connect(menu_->addAction(tr("Ouvrir Folium…")), &QAction::triggered, this,
          &AppMenu::openMainRequested);
  connect(menu_->addAction(tr("Quitter")), &QAction::triggered, this, &AppMenu::quitRequested);
}

}  // namespace folium::app
