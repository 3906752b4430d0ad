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

QString translate(const UiText& text) {
  if (text.empty()) return {};
  const QString pattern = QCoreApplication::translate(UiText::kContext, text.source);
  return QString::fromStdString(UiText::fill(pattern.toStdString(), text.arguments));
}

std::optional<std::filesystem::path> QtOpenPanel::chooseFile(const UiText& message) {
  QFileDialog dialog(nullptr, translate(message));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return std::filesystem::path(
      QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString());
}

}  // namespace folium::app
