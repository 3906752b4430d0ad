#include "app/qt/qt_services.hpp"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QMetaObject>

namespace folium::app {

void QtMainThreadPoster::post(std::function<void()> task) {
  QObject* receiver = receiver_.data();
  if (receiver == nullptr) return;
  // Queued even from the main thread: a task never runs inside post().
  QMetaObject::invokeMethod(receiver, std::move(task), Qt::QueuedConnection);
}

std::optional<std::filesystem::path> QtOpenPanel::chooseFile(const std::string& message) {
  QFileDialog dialog(nullptr, QCoreApplication::translate("ConnectionsWindow", message.c_str()));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return std::filesystem::path(
      QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString());
}

}  // namespace folium::app
