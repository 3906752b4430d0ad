#pragma once

#include <QWidget>
#include <memory>

#include "app/connections_view.hpp"

class QVBoxLayout;
class QMenuBar;

namespace folium::app {

// The main window "Folium": draws a ConnectionsView (the connected instances, the buttons,
// the status line) and forwards the clicks to it. Its height follows its content; its
// width is fixed.
//
// Threading: main thread only.
class ConnectionsWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ConnectionsWindow(std::shared_ptr<ConnectionsView> view, QWidget* parent = nullptr);
  ~ConnectionsWindow() override;

  ConnectionsView& view() { return *view_; }
  // A menu bar above the content (the tray menu's entries on a desktop without a tray).
  void setMenuBar(QMenuBar* menuBar);

 signals:
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void render();
  QWidget* makeRow(const FoliumProvisioning& provisioning);
  void fitHeight();

  std::shared_ptr<ConnectionsView> view_;
  QVBoxLayout* outer_ = nullptr;
  QWidget* content_ = nullptr;
};

}  // namespace folium::app
