#pragma once

#include <QPointer>
#include <QString>

#include "app/main_thread.hpp"
#include "app/open_panel.hpp"

class QObject;

namespace folium::app {

// A view model's text in the user's language (French when no translation is installed).
QString translate(const UiText& text);

// The Qt event loop as the main queue: tasks are queued to `receiver`'s thread (the main
// thread) and run there in the order they were posted. Tasks posted after `receiver` is
// gone are dropped.
class QtMainThreadPoster final : public MainThreadPoster {
 public:
  explicit QtMainThreadPoster(QObject* receiver) : receiver_(receiver) {}
  void post(std::function<void()> task) override;

 private:
  QPointer<QObject> receiver_;
};

// The desktop's file dialog, titled with the message.
class QtOpenPanel final : public OpenPanel {
 public:
  std::optional<std::filesystem::path> chooseFile(const UiText& message) override;
};

}  // namespace folium::app
