#pragma once

#include <QWidget>
#include <memory>

#include "app/server_search_view.hpp"

class QLabel;
class QStackedLayout;
class QVBoxLayout;

namespace folium::app {

// One search window: draws a ServerSearchView (the query, the instance, then a progress
// indicator, the hits or a message) and forwards a pressed hit to it. The search starts
// when the window is created.
//
// Threading: main thread only.
class SearchWindow : public QWidget {
  Q_OBJECT

 public:
  explicit SearchWindow(std::shared_ptr<ServerSearchView> view, QWidget* parent = nullptr);
  ~SearchWindow() override;

  ServerSearchView& view() { return *view_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void render();
  QWidget* makeHitRow(const SearchHit& hit);

  std::shared_ptr<ServerSearchView> view_;
  QLabel* instanceName_ = nullptr;
  QStackedLayout* body_ = nullptr;
  QWidget* loading_ = nullptr;
  QLabel* message_ = nullptr;
  QWidget* hitsPage_ = nullptr;
  QWidget* list_ = nullptr;
  QVBoxLayout* rows_ = nullptr;
};

}  // namespace folium::app
