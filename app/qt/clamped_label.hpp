#pragma once

#include <QWidget>

namespace folium::app {

// Plain text wrapped to the width and cut after `maxLines` lines, the last one ending in
// an ellipsis when the text goes on. QLabel cannot stop after a number of lines.
class ClampedLabel : public QWidget {
  Q_OBJECT

 public:
  ClampedLabel(QString text, int maxLines, QWidget* parent = nullptr);

  const QString& text() const { return text_; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // The lines as drawn at `width`: the text of each, the last one elided if cut.
  QStringList lines(int width) const;

  QString text_;
  int maxLines_;
};

}  // namespace folium::app
