#include "app/qt/look.hpp"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QWidget>

namespace folium::app::look {
namespace {

QFont sized(int pixels, QFont::Weight weight) {
  QFont font = QApplication::font();
  font.setPixelSize(pixels);
  font.setWeight(weight);
  return font;
}

}  // namespace

QFont largeTitle() { return sized(26, QFont::Bold); }
QFont headline() { return sized(14, QFont::DemiBold); }
QFont callout() { return sized(12, QFont::Normal); }
QFont caption() { return sized(11, QFont::Normal); }

QColor secondaryText(const QWidget* widget) {
  const QPalette palette = widget != nullptr ? widget->palette() : QApplication::palette();
  QColor color = palette.color(QPalette::WindowText);
  color.setAlphaF(0.6f);
  return color;
}

QString css(const QColor& color) {
  return QStringLiteral("rgba(%1, %2, %3, %4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(color.alpha());
}

QString boldMarkdown(const QString& text) {
  QString html;
  bool bold = false;
  qsizetype from = 0;
  for (;;) {
    const qsizetype mark = text.indexOf(QStringLiteral("**"), from);
    // An opening mark without its closing one is shown as written.
    if (mark < 0 || (!bold && text.indexOf(QStringLiteral("**"), mark + 2) < 0)) {
      html += text.mid(from).toHtmlEscaped();
      break;
    }
    html += text.mid(from, mark - from).toHtmlEscaped();
    html += bold ? QStringLiteral("</b>") : QStringLiteral("<b>");
    bold = !bold;
    from = mark + 2;
  }
  return html;
}

QLabel* logo(int size, const QWidget* owner) {
  auto* label = new QLabel;
  label->setFixedSize(size, size);
  label->setPixmap(QIcon(QStringLiteral(":/icons/FoliumLogo.svg"))
                       .pixmap(QSize(size, size), owner->devicePixelRatioF()));
  return label;
}

}  // namespace folium::app::look
