#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <string>

class QLabel;
class QWidget;

// The type scale and colours the windows share. Sizes are device-independent pixels.
namespace folium::app::look {

QFont largeTitle();  // the main window's title
QFont headline();    // the search window's query
QFont callout();     // secondary lines: addresses, status, excerpts
QFont caption();     // the instance name under the query
// The dimmer text colour of secondary lines, readable on light and dark palettes.
QColor secondaryText(const QWidget* widget);
// The style-sheet colour form of `color` ("rgba(r, g, b, a)").
QString css(const QColor& color);
// `text` as rich text, where each **…** span is bold and the asterisks are not shown; the
// rest is escaped, so names and addresses show verbatim.
QString boldMarkdown(const QString& text);
// The Folium logo, `size` pixels square, sharp on the screen of `owner`.
QLabel* logo(int size, const QWidget* owner);
// Text the core hands over (UTF-8) as Qt text.
inline QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace folium::app::look
