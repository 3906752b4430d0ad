#include "app/qt/clamped_label.hpp"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

namespace folium::app {

ClampedLabel::ClampedLabel(QString text, int maxLines, QWidget* parent)
    : QWidget(parent), text_(std::move(text)), maxLines_(maxLines) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

QStringList ClampedLabel::lines(int width) const {
  QStringList result;
  if (width <= 0) return result;
  QTextLayout layout(text_, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  for (;;) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    if (result.size() + 1 == maxLines_) {
      // The last line shown carries the rest of the text, elided.
      const QString rest = text_.mid(line.textStart()).simplified();
      result << fontMetrics().elidedText(rest, Qt::ElideRight, width);
      break;
    }
    result << text_.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  return result;
}

int ClampedLabel::heightForWidth(int width) const {
  return int(std::max<qsizetype>(1, lines(width).size())) * fontMetrics().lineSpacing();
}

QSize ClampedLabel::sizeHint() const {
  const int width = std::min(fontMetrics().horizontalAdvance(text_), 400);
  return {width, heightForWidth(width)};
}

QSize ClampedLabel::minimumSizeHint() const { return {10, fontMetrics().lineSpacing()}; }

void ClampedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  const QFontMetrics metrics = fontMetrics();
  int y = metrics.ascent();
  for (const QString& line : lines(width())) {
    painter.drawText(0, y, line);
    y += metrics.lineSpacing();
  }
}

}  // namespace folium::app
